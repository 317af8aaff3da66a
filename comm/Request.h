#pragma once

#include <QEventLoop>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>

#include <functional>
#include <memory>

// One HTTP exchange of the HttpAccessManager: the built request, how its
// sender waits, and, once sent, the reply, which stays readable until the
// request is destroyed. Lives on the thread that created it.
class Request : public QObject
{
    Q_OBJECT

public:
    enum class SyncMode : int {
        Sync = 1,  // the send blocks in a nested event loop until the end or the time-out
        Async = 2, // the send returns at once; the callback reports the end
    };

    using Callback = std::function<void(int)>;

    static constexpr int kDefaultTimeoutMs = 30000;

    Request(int requestId, const QNetworkRequest& networkRequest, SyncMode syncMode, QObject* parent = nullptr);
    ~Request() override;

    int requestId() const { return m_requestId; }
    const QNetworkRequest& networkRequest() const { return m_networkRequest; }
    SyncMode syncMode() const { return m_syncMode; }

    // Null until sent. The request owns the reply and hands it to deferred
    // deletion when the last owner lets go.
    QNetworkReply* reply() const { return m_reply.get(); }
    void setReply(QNetworkReply* reply);

    const Callback& callback() const { return m_callback; }
    void setCallback(const Callback& callback) { m_callback = callback; }

    unsigned timeout() const { return m_timeout; }
    void setTimeout(unsigned milliseconds) { m_timeout = milliseconds; }

    // Sync mode only (null otherwise): the loop the synchronous send waits in.
    const std::shared_ptr<QEventLoop>& eventLoop() const { return m_eventLoop; }

Q_SIGNALS:
    void uploadProgress(qint64 bytesSent, qint64 bytesTotal, int requestId);

public Q_SLOTS:
    // Relays the reply's progress with the request id, only while the total
    // size is known (greater than 0).
    void onReceivedUploadProgress(qint64 bytesSent, qint64 bytesTotal);

private:
    const int m_requestId;
    const QNetworkRequest m_networkRequest;
    const SyncMode m_syncMode;
    std::shared_ptr<QNetworkReply> m_reply;
    Callback m_callback;
    unsigned m_timeout = kDefaultTimeoutMs;
    std::shared_ptr<QEventLoop> m_eventLoop;
};
