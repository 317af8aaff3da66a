#include "Request.h"

#include <QPointer>

Request::Request(int requestId, const QNetworkRequest& networkRequest, SyncMode syncMode, QObject* parent)
    : QObject(parent)
    , m_requestId(requestId)
    , m_networkRequest(networkRequest)
    , m_syncMode(syncMode)
{
    if (m_syncMode == SyncMode::Sync)
        m_eventLoop = std::make_shared<QEventLoop>();
    m_deadline.setSingleShot(true);
    m_deadline.setTimerType(Qt::PreciseTimer);
}

Request::~Request() = default;

void Request::setReply(QNetworkReply* reply)
{
    // A request sent again forgets the progress of its earlier reply.
    if (m_reply)
        disconnect(m_reply.get(), nullptr, this, nullptr);
    // The network access manager parents its replies and deletes them when it
    // goes first; the guard keeps the deleter from touching a deleted reply.
    // Deferred deletion, because the last owner may let go inside one of the
    // reply's own signals.
    QPointer<QNetworkReply> guard(reply);
    m_reply = std::shared_ptr<QNetworkReply>(reply, [guard](QNetworkReply*) {
        if (guard)
            guard->deleteLater();
    });
}

bool Request::settle(Outcome outcome)
{
    if (m_outcome != Outcome::Running)
        return false;
    m_outcome = outcome;
    m_deadline.stop();
    return true;
}

void Request::onReceivedUploadProgress(qint64 bytesSent, qint64 bytesTotal)
{
    if (bytesTotal > 0)
        Q_EMIT uploadProgress(bytesSent, bytesTotal, m_requestId);
}
