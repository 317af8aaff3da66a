#include "Request.h"

Request::Request(int requestId, const QUrl& url, const QList<QByteArray>& headerLines, SyncMode syncMode,
                 QObject* parent)
    : QObject(parent)
    , m_requestId(requestId)
    , m_url(url)
    , m_headerLines(headerLines)
    , m_syncMode(syncMode)
{
    if (m_syncMode == SyncMode::Sync)
        m_eventLoop = std::make_shared<QEventLoop>();
    m_deadline.setSingleShot(true);
    m_deadline.setTimerType(Qt::PreciseTimer);
}

Request::~Request() = default;

bool Request::settle(Outcome outcome)
{
    if (m_outcome != Outcome::Running)
        return false;
    m_outcome = outcome;
    m_deadline.stop();
    return true;
}

void Request::restart(quint64 transfer)
{
    m_outcome = Outcome::Running;
    m_transfer = transfer;
    m_answer.reset();
}

QByteArray Request::takeBody()
{
    if (!m_answer)
        return {};
    QByteArray body;
    body.swap(m_answer->body);
    return body;
}

void Request::onReceivedUploadProgress(qint64 bytesSent, qint64 bytesTotal)
{
    if (bytesTotal > 0)
        Q_EMIT uploadProgress(bytesSent, bytesTotal, m_requestId);
}
