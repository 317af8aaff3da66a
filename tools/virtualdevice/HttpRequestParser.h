#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// The head of one HTTP/1.x request. Header names are kept in lower case.
struct HttpRequestHead
{
    QByteArray method;
    QByteArray target;
    QByteArray version; // "HTTP/1.0" or "HTTP/1.1"
    QList<QPair<QByteArray, QByteArray>> headers;

    QByteArray header(const QByteArray& lowerName) const;
    bool hasHeader(const QByteArray& lowerName) const;
    QByteArray path() const; // the target without its query
    bool keepAlive() const;
    bool isWebSocketUpgrade() const;
};

// An incremental HTTP/1.1 request parser: the head is collected (bounded), the
// body is handed on as it arrives, whether framed by Content-Length or by
// chunked transfer coding, so that a request of any size passes through a
// small, constant amount of memory. One parser handles one message at a time;
// reset() readies it for the next request on a kept-alive connection.
class HttpRequestParser
{
public:
    class Handler
    {
    public:
        virtual ~Handler() = default;
        virtual void onHead(const HttpRequestHead& head) = 0;
        virtual void onBodyData(const char* data, qsizetype size) = 0;
        virtual void onMessageEnd() = 0;
    };

    enum class State { Head, Body, ChunkSize, ChunkData, ChunkDataEnd, Trailers, Done, Failed };

    static constexpr qsizetype kMaxHeadSize = 64 * 1024;
    static constexpr int kMaxHeaders = 100;

    explicit HttpRequestParser(Handler& handler);

    // Consumes bytes up to the end of the current message at most and returns
    // how many it took; the rest belongs to the next request. After a failure
    // nothing more is consumed.
    qsizetype feed(const char* data, qsizetype size);

    // How many body bytes a Content-Length message still expects (-1 when the
    // body is chunked or the body is not being read).
    qint64 remainingContentLength() const;

    State state() const { return m_state; }
    bool isDone() const { return m_state == State::Done; }
    bool hasFailed() const { return m_state == State::Failed; }
    bool atMessageStart() const { return m_state == State::Head && m_line.isEmpty() && m_headText.isEmpty(); }
    int errorStatus() const { return m_errorStatus; }
    QString errorText() const { return m_errorText; }
    const HttpRequestHead& head() const { return m_head; }

    void reset();

    // Parses a complete request head (request line and header lines, without
    // the empty line). Used for requests that are inspected before they are
    // read, such as the push channel's upgrade.
    static bool parseHead(const QByteArray& text, HttpRequestHead& head, int& status, QString& error);

private:
    void fail(int status, const QString& text);
    bool finishHead();
    bool takeLine(const char* data, qsizetype size, qsizetype& pos, QByteArray& line, qsizetype limit);

    Handler& m_handler;
    State m_state = State::Head;
    HttpRequestHead m_head;
    QByteArray m_line; // a line still being collected (head, chunk size, trailers)
    QByteArray m_headText; // head lines so far
    qint64 m_remaining = 0; // body or chunk bytes still to come
    qsizetype m_trailerBytes = 0;
    int m_errorStatus = 0;
    QString m_errorText;
};
