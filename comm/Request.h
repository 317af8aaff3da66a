#pragma once

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QTimer>

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
        Sync = 1, // the send blocks in a nested event loop until the end or the time-out
        Async = 2, // the send returns at once; the callback reports the end
    };

    using Callback = std::function<void(int)>;

    // What became of the reply. Only the first end counts: a reply aborted
    // after its time-out still finishes, but stays TimedOut.
    enum class Outcome {
        NotSent,
        Running,
        Finished, // the reply ended by itself (an answer or a transport failure)
        TimedOut, // no end within the time-out; the reply was aborted
        TooLarge, // the answer grew past its limit; the reply was aborted
        Interrupted, // the application quit while a send waited; the reply was aborted
        Aborted, // the caller ended it (abortRequest); the reply was aborted
    };

    static constexpr int kDefaultTimeoutMs = 30000;
    // No answer of a device's REST interface comes near this; a larger one is
    // cut off rather than buffered.
    static constexpr qint64 kDefaultMaxResponseBytes = 1024 * 1024;
    // A streamed upload that moves no byte for this long has stalled.
    static constexpr unsigned kDefaultStallTimeoutS = 60;

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

    qint64 maxResponseBytes() const { return m_maxResponseBytes; }
    void setMaxResponseBytes(qint64 bytes) { m_maxResponseBytes = bytes; }

    unsigned stallTimeout() const { return m_stallTimeout; }
    void setStallTimeout(unsigned seconds) { m_stallTimeout = seconds; }

    // The device the request is meant for (its id); empty for none.
    const QString& deviceId() const { return m_deviceId; }
    void setDeviceId(const QString& deviceId) { m_deviceId = deviceId; }

    Outcome outcome() const { return m_outcome; }
    // Settles the outcome once: true when this call settled it.
    bool settle(Outcome outcome);
    // Back to Running for a new send.
    void restart() { m_outcome = Outcome::Running; }

    // The connection pool the reply runs in; the request shares its
    // ownership, so that a pool retired meanwhile outlives the reply.
    const std::shared_ptr<QNetworkAccessManager>& pool() const { return m_pool; }
    void setPool(const std::shared_ptr<QNetworkAccessManager>& pool) { m_pool = pool; }

    // Times the send out; started by the manager with each send.
    QTimer& deadline() { return m_deadline; }

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
    // Before the reply: members go in reverse order, the reply first.
    std::shared_ptr<QNetworkAccessManager> m_pool;
    std::shared_ptr<QNetworkReply> m_reply;
    Callback m_callback;
    unsigned m_timeout = kDefaultTimeoutMs;
    qint64 m_maxResponseBytes = kDefaultMaxResponseBytes;
    unsigned m_stallTimeout = kDefaultStallTimeoutS;
    QString m_deviceId;
    Outcome m_outcome = Outcome::NotSent;
    QTimer m_deadline;
    std::shared_ptr<QEventLoop> m_eventLoop;
};
