#pragma once

#include <QByteArray>

#include <atomic>
#include <memory>

// A TLS server on 127.0.0.1 that answers an upload or a push channel's
// upgrade the way a broken, booting or hostile device does: each connection plays one of the plays below on a
// thread of its own, with blocking OpenSSL, so that what the client sees
// (which bytes come in which TLS record, a reset, a window that never opens)
// does not depend on an event loop. Its certificate is self-signed, made in
// memory for this server.
//
// Threads: created, asked and destroyed on one thread; the counters may be
// read while connections run. Destruction ends every connection.
class HostileTlsServer
{
public:
    enum class Play {
        Healthy, // reads the whole request, answers 200 with a small body
        StatusThenReset, // 200 with 1000 announced bytes, sends 10, then resets
        WholeAnswerThenReset, // a whole 200 after 64 KiB of the body, then resets
        BadChunk, // after the request: 200, chunked, then a chunk size past 64 bits
        StatusBelow100, // after the request: "HTTP/1.1 010"
        EarlyRefusal, // after 256 KiB of the body: the refusal status, then a close with unread data
        RefusalOnHead, // after the request's head: the refusal status, then a close with the body unread
        RefusalThenReset, // after the request's head: the refusal's whole head, 9 of 100 bytes, then a reset
        HeaderBomb, // 13 000 header fields within 64 KiB, then a body without end
        InterimFlood, // "100 Continue" without end
        LongAnnounced, // after the request: 200 announcing 4 MiB, and sending them
        EndlessChunks, // after the request: 200, chunked, chunks without end
        ZeroWindow, // the handshake, then reads nothing
        Trickle, // the handshake, then one byte of the connection every 100 ms
        // HTTP/2 frames whatever the client offered, after its request's head:
        Http2PingFlood, // SETTINGS, then PING frames without end
        Http2ContinuationFlood, // HEADERS without its end, then CONTINUATION frames without end
        // A push channel: the upgrade answered 101 (with the right accept
        // key), then, reading nothing more:
        PushPingFlood, // pings without end
        PushEmptyFragments, // a text message begun, then empty continuation frames without end
        PushBinaryFrames, // 200 binary messages of 60 KB, then the text message "done"
        PushMessageStream, // 200 text messages of 60 KB (a JSON notification padded), 5 ms apart, then "done"
        PushUpgradeHeaderBomb, // 101, then header fields without end
        PushInvalidText, // a text message that is not UTF-8
        PushOverlongFrame, // a frame announcing 100 MB, and its bytes without end
    };

    // `pieces`: how the play's decisive bytes are cut into TLS records (0
    // whole, 1 byte by byte, n > 1 odd pieces of n bytes); `status`: the
    // refusal of EarlyRefusal, RefusalOnHead and RefusalThenReset.
    explicit HostileTlsServer(Play play, int pieces = 0, int status = 403);
    ~HostileTlsServer();
    HostileTlsServer(const HostileTlsServer&) = delete;
    HostileTlsServer& operator=(const HostileTlsServer&) = delete;

    // 0 when it could not listen.
    quint16 port() const;
    int connections() const;
    // Body bytes the plays took, over all connections.
    qint64 bytesRead() const;

    struct State;

private:
    std::shared_ptr<State> m_state;
};
