#pragma once

#include "StreamedBody.h"

#include <QList>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPair>

#include <memory>

class PeerTrust;
class TransferLoop;
class UploadJob;

// A reply's dynamic properties: why a trust refused its connection, as
// PeerTrust::Verdict (the reply's error is then SslHandshakeFailedError), and
// the digest of the key the device showed; set by the access manager and by
// uploads alike.
inline constexpr char kRefusedProperty[] = "corvaneRefused";
inline constexpr char kShownKeyProperty[] = "corvaneShownKey";

// Who an upload is for: the trust that judges the key its connection shows
// (none: every key is taken) and the device it is meant for.
struct UploadPeer
{
    std::shared_ptr<PeerTrust> trust;
    QString deviceId;
};

// What one upload may take from a device: the answer's size (its body; the
// head has bounds of its own), and how long the transfer may move no byte at
// all before it ends as a time-out (also while connecting and while waiting
// for the answer).
struct UploadLimits
{
    qint64 maxResponseBytes = 1024 * 1024;
    unsigned stallSeconds = 60;
};

// The thread that carries uploads of streamed bodies, on libcurl's multi
// interface: each upload's connection, TLS, file reads and answer run there,
// so that the caller's thread (the user interface's) only hears of progress
// and of the answer, and the body's bytes never cross threads. Uploads on it
// run side by side, each on a connection of its own.
//
// Threads: created, used and destroyed on the caller's thread. Destruction
// stops what still runs, in silence, and waits for the thread to end.
class TransferThread
{
public:
    TransferThread();
    ~TransferThread();
    TransferThread(const TransferThread&) = delete;
    TransferThread& operator=(const TransferThread&) = delete;

    // Takes the job over and starts it on the thread.
    void start(std::unique_ptr<UploadJob> job);
    // Stops the job `id` without a word to anyone (its reply is told by the
    // caller); nothing when it has ended.
    void cancel(quint64 id);

private:
    std::unique_ptr<TransferLoop> m_loop;
};

// The caller's side of one upload on the transfer thread: a QNetworkReply,
// so that the access manager reads the status, header fields and body, and
// hears of progress, of the end and of aborts, as from Qt's own replies. The
// request is sent as given, with the body's header fields, a Content-Length,
// no Expect and no Accept-Encoding; redirects are answers.
//
// The verdict: an answer ends without an error only when it came whole
// (framing kept, the connection not lost before its end) and, for a 2xx
// status, after the whole body was sent. Otherwise the reply's error tells
// what broke, and the status (when one came) stays readable beside it:
// - TimeoutError: the transfer moved no byte for the stall time;
// - ProtocolFailure: not a sound HTTP answer (a status below 100, a bad
//   chunk, more interim answers or header fields than any device sends);
// - UnknownContentError: the answer's body grew past its limit (the data
//   received so far is delivered, so that the reader sees it is too large);
// - RemoteHostClosedError and the other network errors: the connection.
class UploadReply : public QNetworkReply
{
    Q_OBJECT

public:
    UploadReply(const std::shared_ptr<TransferThread>& thread, const QNetworkRequest& request,
                std::unique_ptr<StreamedBody> body, const UploadLimits& limits, const UploadPeer& peer,
                QObject* parent = nullptr);
    ~UploadReply() override;

    void abort() override;
    void close() override;
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;

private:
    void onAnswered(int status, const QByteArray& reason, const QList<QPair<QByteArray, QByteArray>>& headers,
                    qint64 length);
    void onReceived(const QByteArray& bytes);
    void end(NetworkError error, const QString& message);

    std::weak_ptr<TransferThread> m_thread;
    quint64 m_id = 0;
    QByteArray m_body;
    qint64 m_received = 0;
    qint64 m_length = -1;
};
