#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

// Reads one HTTP/1.x answer from the bytes of a connection as they come: the
// status line, the header fields, then the body framed by chunked transfer
// coding, by Content-Length, or by the end of the connection. Interim 1xx
// answers are skipped. Pure and single-threaded; no I/O of its own.
class HttpResponseParser
{
public:
    enum class State {
        Head, // waiting for the rest of the status line and header fields
        Body, // the head is read; body bytes may follow
        Complete, // the answer is whole; later bytes are ignored
        Malformed, // not an HTTP answer, or past a limit: give up
    };

    // Longest head (status line and fields) accepted.
    static constexpr int kMaxHeadBytes = 64 * 1024;

    // Takes the next bytes of the connection. Body bytes decoded by this call
    // are appended to `body`.
    State feed(const QByteArray& bytes, QByteArray& body);
    // The peer closed the connection: an answer framed by the close is whole
    // now; one still waiting for its length or head is Malformed.
    State finish();

    State state() const { return m_state; }
    int status() const { return m_status; }
    QByteArray reason() const { return m_reason; }
    // In the order received, names as sent.
    const QList<QPair<QByteArray, QByteArray>>& headers() const { return m_headers; }
    // The body's announced length, -1 when unknown (chunked or close-framed).
    qint64 contentLength() const { return m_contentLength; }

private:
    bool parseHead(const QByteArray& head);
    void takeBody(QByteArray& body);
    bool takeChunked(QByteArray& body);
    bool takeRemaining(QByteArray& body);

    State m_state = State::Head;
    QByteArray m_buffer;
    int m_status = 0;
    QByteArray m_reason;
    QList<QPair<QByteArray, QByteArray>> m_headers;
    enum class Framing { Length, Chunked, Close } m_framing = Framing::Close;
    qint64 m_contentLength = -1;
    qint64 m_remaining = 0; // of the body (Length) or of the current chunk (Chunked)
    enum class ChunkStep { Size, Data, DataEnd, Trailer } m_chunkStep = ChunkStep::Size;
};
