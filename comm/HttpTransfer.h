#pragma once

#include "HttpAnswer.h"
#include "StreamedBody.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QUrl>

#include <functional>
#include <memory>

class PeerTrust;
class TransferLoop;
class TransferJob;

// One exchange for the transfer thread: where, what, and its bounds. Its
// connection is its own (no reuse), speaks HTTP/1.1 over TLS 1.2 or later,
// follows no redirect and goes through no proxy.
struct TransferRequest
{
    QUrl url;
    // "Name: value" lines sent as given (the authorisation among them).
    QList<QByteArray> headerLines;
    bool post = false;
    QByteArray body; // a POST's body when `streamed` is null
    std::unique_ptr<StreamedBody> streamed; // a POST's body that is mostly one file
    // The answer's body past this is cut off (TooLarge).
    qint64 maxBodyBytes = 1024 * 1024;
    // No byte either way for this long ends the exchange (Stalled); so does
    // a connection or handshake that takes as long.
    unsigned stallSeconds = 60;
    // Who judges the key the device shows (none: every key is taken), and
    // the device the exchange is for.
    std::shared_ptr<PeerTrust> trust;
    QString deviceId;
};

// The thread that carries every HTTPS exchange with the devices, on
// libcurl's multi interface: connections, TLS, reads of files and the
// answers run there, so that the caller's thread (the user interface's) only
// hears of progress and of the end. Exchanges run side by side.
//
// Bounds that hold for every answer, whatever a device sends: its head at
// most 64 KiB and 100 fields, at most 8 interim answers (each past them is
// Broken), its body at most the request's limit (TooLarge), and no byte
// moved for the stall time (Stalled).
//
// Threads: created, used and destroyed on the caller's thread. Destruction
// stops what still runs, in silence, and waits for the thread to end.
class TransferThread
{
public:
    using Progress = std::function<void(qint64 sent, qint64 total)>;
    using Ended = std::function<void(const HttpAnswer& answer)>;

    TransferThread();
    ~TransferThread();
    TransferThread(const TransferThread&) = delete;
    TransferThread& operator=(const TransferThread&) = delete;

    // Starts an exchange; `progressed` (a POST's body going out) and `ended`
    // (once) are called on `context`'s thread, never after `context` is
    // gone. Returns its id for cancel().
    quint64 start(TransferRequest request, QObject* context, const Progress& progressed, const Ended& ended);
    // Ends the exchange `id`: `ended` comes with End::Aborted and what came
    // so far (a status may have). Nothing when it has ended.
    void cancel(quint64 id);

private:
    std::unique_ptr<TransferLoop> m_loop;
};
