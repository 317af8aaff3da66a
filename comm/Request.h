#pragma once

#include "HttpAnswer.h"

#include <QByteArray>
#include <QEventLoop>
#include <QList>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

// One HTTP exchange of the HttpAccessManager: the built request, how its
// sender waits, and, once it ended, the answer record the transport filled,
// which stays readable until the request is destroyed. Lives on the thread
// that created it.
class Request : public QObject
{
    Q_OBJECT

public:
    enum class SyncMode : int {
        Sync = 1, // the send blocks in a nested event loop until the end or the time-out
        Async = 2, // the send returns at once; the callback reports the end
    };

    using Callback = std::function<void(int)>;

    // What became of the send. Only the first end counts: an exchange ended
    // after its time-out still reports, but stays TimedOut.
    enum class Outcome {
        NotSent,
        Running,
        Finished, // the exchange ended by itself (an answer or a transport failure)
        TimedOut, // no end within the time-out, or no byte moved for the stall time
        TooLarge, // the answer passed its limit; it was cut off
        Interrupted, // the application quit while a send waited
        Aborted, // the caller ended it (abortRequest)
    };

    static constexpr int kDefaultTimeoutMs = 30000;
    // No answer of a device's REST interface comes near this; a larger one is
    // cut off rather than buffered.
    static constexpr qint64 kDefaultMaxResponseBytes = 1024 * 1024;
    // An exchange that moves no byte for this long has stalled.
    static constexpr unsigned kDefaultStallTimeoutS = 60;

    Request(int requestId, const QUrl& url, const QList<QByteArray>& headerLines, SyncMode syncMode,
            QObject* parent = nullptr);
    ~Request() override;

    int requestId() const { return m_requestId; }
    const QUrl& url() const { return m_url; }
    // "Name: value" lines, the authorisation among them: never logged.
    const QList<QByteArray>& headerLines() const { return m_headerLines; }
    SyncMode syncMode() const { return m_syncMode; }

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
    // Back to Running for a new send, with no answer yet.
    void restart(quint64 transfer);
    // The transfer carrying the send; 0 when none ran.
    quint64 transfer() const { return m_transfer; }

    // The transport's record, once the exchange ended (also when it was cut
    // off at its deadline: what came so far).
    const std::optional<HttpAnswer>& answer() const { return m_answer; }
    void setAnswer(const HttpAnswer& answer) { m_answer = answer; }
    // The body not read yet; a read drains it.
    QByteArray takeBody();

    // Times the send out; started by the manager with each send.
    QTimer& deadline() { return m_deadline; }

    // Sync mode only (null otherwise): the loop the synchronous send waits in.
    const std::shared_ptr<QEventLoop>& eventLoop() const { return m_eventLoop; }

Q_SIGNALS:
    void uploadProgress(qint64 bytesSent, qint64 bytesTotal, int requestId);

public Q_SLOTS:
    // Relays the transfer's progress with the request id, only while the
    // total size is known (greater than 0).
    void onReceivedUploadProgress(qint64 bytesSent, qint64 bytesTotal);

private:
    const int m_requestId;
    const QUrl m_url;
    const QList<QByteArray> m_headerLines;
    const SyncMode m_syncMode;
    Callback m_callback;
    unsigned m_timeout = kDefaultTimeoutMs;
    qint64 m_maxResponseBytes = kDefaultMaxResponseBytes;
    unsigned m_stallTimeout = kDefaultStallTimeoutS;
    QString m_deviceId;
    Outcome m_outcome = Outcome::NotSent;
    quint64 m_transfer = 0;
    std::optional<HttpAnswer> m_answer;
    QTimer m_deadline;
    std::shared_ptr<QEventLoop> m_eventLoop;
};
