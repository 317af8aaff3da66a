#include "HttpRequestParser.h"

#include <limits>

namespace {

bool isToken(const QByteArray& text)
{
    if (text.isEmpty())
        return false;
    for (char c : text) {
        const uchar u = uchar(c);
        if (u <= 32 || u >= 127 || c == '(' || c == ')' || c == '<' || c == '>' || c == '@' || c == ',' || c == ';'
            || c == ':' || c == '\\' || c == '"' || c == '/' || c == '[' || c == ']' || c == '?' || c == '=' || c == '{'
            || c == '}')
            return false;
    }
    return true;
}

bool containsToken(const QByteArray& list, const QByteArray& token)
{
    for (const QByteArray& piece : list.split(',')) {
        if (piece.trimmed().toLower() == token)
            return true;
    }
    return false;
}

} // namespace

QByteArray HttpRequestHead::header(const QByteArray& lowerName) const
{
    for (const auto& h : headers) {
        if (h.first == lowerName)
            return h.second;
    }
    return QByteArray();
}

bool HttpRequestHead::hasHeader(const QByteArray& lowerName) const
{
    for (const auto& h : headers) {
        if (h.first == lowerName)
            return true;
    }
    return false;
}

QByteArray HttpRequestHead::path() const
{
    const qsizetype q = target.indexOf('?');
    return q < 0 ? target : target.left(q);
}

bool HttpRequestHead::keepAlive() const
{
    const QByteArray connection = header("connection");
    if (version == "HTTP/1.0")
        return containsToken(connection, "keep-alive");
    return !containsToken(connection, "close");
}

bool HttpRequestHead::isWebSocketUpgrade() const
{
    return containsToken(header("upgrade"), "websocket");
}

HttpRequestParser::HttpRequestParser(Handler& handler)
    : m_handler(handler)
{
}

void HttpRequestParser::reset()
{
    m_state = State::Head;
    m_head = HttpRequestHead();
    m_line.clear();
    m_headText.clear();
    m_remaining = 0;
    m_trailerBytes = 0;
    m_errorStatus = 0;
    m_errorText.clear();
}

void HttpRequestParser::fail(int status, const QString& text)
{
    m_state = State::Failed;
    m_errorStatus = status;
    m_errorText = text;
}

qint64 HttpRequestParser::remainingContentLength() const
{
    return m_state == State::Body ? m_remaining : -1;
}

// Collects one line ending in LF (a CR before it is dropped). Returns true
// when the line is complete; fails the message when it grows beyond limit.
bool HttpRequestParser::takeLine(const char* data, qsizetype size, qsizetype& pos, QByteArray& line, qsizetype limit)
{
    const char* start = data + pos;
    const auto* lf = static_cast<const char*>(memchr(start, '\n', size_t(size - pos)));
    const qsizetype take = lf ? (lf - start) : (size - pos);
    if (m_line.size() + take > limit) {
        fail(431, QStringLiteral("request head or chunk line too long"));
        return false;
    }
    m_line.append(start, take);
    pos += take;
    if (!lf)
        return false;
    ++pos; // the LF
    if (m_line.endsWith('\r'))
        m_line.chop(1);
    line = m_line;
    m_line.clear();
    return true;
}

bool HttpRequestParser::parseHead(const QByteArray& text, HttpRequestHead& head, int& status, QString& error)
{
    QList<QByteArray> lines = text.split('\n');
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    while (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();
    if (lines.isEmpty()) {
        status = 400;
        error = QStringLiteral("empty request");
        return false;
    }
    const QList<QByteArray> parts = lines.first().split(' ');
    if (parts.size() != 3 || !isToken(parts.at(0)) || parts.at(1).isEmpty() || !parts.at(1).startsWith('/')) {
        status = 400;
        error = QStringLiteral("malformed request line");
        return false;
    }
    if (!parts.at(2).startsWith("HTTP/")) {
        status = 400;
        error = QStringLiteral("malformed request line");
        return false;
    }
    if (parts.at(2) != "HTTP/1.1" && parts.at(2) != "HTTP/1.0") {
        status = 505;
        error = QStringLiteral("HTTP version not supported");
        return false;
    }
    HttpRequestHead result;
    result.method = parts.at(0);
    result.target = parts.at(1);
    result.version = parts.at(2);
    if (lines.size() - 1 > kMaxHeaders) {
        status = 431;
        error = QStringLiteral("too many header fields");
        return false;
    }
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !isToken(line.left(colon))) {
            status = 400;
            error = QStringLiteral("malformed header field");
            return false;
        }
        result.headers.append({line.left(colon).toLower(), line.mid(colon + 1).trimmed()});
    }
    head = result;
    return true;
}

bool HttpRequestParser::finishHead()
{
    int status = 0;
    QString error;
    if (!parseHead(m_headText, m_head, status, error)) {
        fail(status, error);
        return false;
    }
    m_headText.clear();
    const QByteArray transferEncoding = m_head.header("transfer-encoding");
    bool hasLength = false;
    qint64 length = 0;
    for (const auto& h : m_head.headers) {
        if (h.first != "content-length")
            continue;
        bool ok = false;
        const qint64 value = h.second.toLongLong(&ok);
        if (!ok || value < 0 || h.second.startsWith('+') || (hasLength && value != length)) {
            fail(400, QStringLiteral("bad Content-Length"));
            return false;
        }
        hasLength = true;
        length = value;
    }
    if (!transferEncoding.isEmpty()) {
        if (hasLength) {
            fail(400, QStringLiteral("both Content-Length and Transfer-Encoding"));
            return false;
        }
        if (transferEncoding.trimmed().toLower() != "chunked") {
            fail(501, QStringLiteral("unsupported transfer coding"));
            return false;
        }
        m_state = State::ChunkSize;
    } else {
        m_remaining = length;
        m_state = State::Body;
    }
    m_handler.onHead(m_head);
    if (m_state == State::Body && m_remaining == 0) {
        m_state = State::Done;
        m_handler.onMessageEnd();
    }
    return true;
}

qsizetype HttpRequestParser::feed(const char* data, qsizetype size)
{
    qsizetype pos = 0;
    while (pos < size || (m_state == State::Body && m_remaining == 0)) {
        switch (m_state) {
        case State::Head: {
            QByteArray line;
            if (!takeLine(data, size, pos, line, kMaxHeadSize - m_headText.size()))
                return pos;
            if (line.isEmpty()) {
                if (m_headText.isEmpty())
                    continue; // blank lines before a request are tolerated
                if (!finishHead())
                    return pos;
                break;
            }
            m_headText.append(line).append('\n');
            break;
        }
        case State::Body: {
            if (m_remaining == 0) {
                m_state = State::Done;
                m_handler.onMessageEnd();
                return pos;
            }
            const qsizetype take = qsizetype(qMin<qint64>(m_remaining, size - pos));
            m_handler.onBodyData(data + pos, take);
            pos += take;
            m_remaining -= take;
            if (m_remaining == 0) {
                m_state = State::Done;
                m_handler.onMessageEnd();
                return pos;
            }
            break;
        }
        case State::ChunkSize: {
            QByteArray line;
            if (!takeLine(data, size, pos, line, 1024))
                return pos;
            const qsizetype semicolon = line.indexOf(';');
            const QByteArray sizeText = (semicolon < 0 ? line : line.left(semicolon)).trimmed();
            bool ok = !sizeText.isEmpty() && sizeText.size() <= 15;
            qint64 chunk = ok ? sizeText.toLongLong(&ok, 16) : 0;
            if (!ok || chunk < 0 || sizeText.startsWith('+') || sizeText.startsWith('-')) {
                fail(400, QStringLiteral("bad chunk size"));
                return pos;
            }
            m_remaining = chunk;
            m_state = chunk == 0 ? State::Trailers : State::ChunkData;
            break;
        }
        case State::ChunkData: {
            const qsizetype take = qsizetype(qMin<qint64>(m_remaining, size - pos));
            m_handler.onBodyData(data + pos, take);
            pos += take;
            m_remaining -= take;
            if (m_remaining == 0)
                m_state = State::ChunkDataEnd;
            break;
        }
        case State::ChunkDataEnd: {
            QByteArray line;
            if (!takeLine(data, size, pos, line, 2)) {
                if (m_state == State::Failed)
                    fail(400, QStringLiteral("chunk not followed by CRLF"));
                return pos;
            }
            if (!line.isEmpty()) {
                fail(400, QStringLiteral("chunk not followed by CRLF"));
                return pos;
            }
            m_state = State::ChunkSize;
            break;
        }
        case State::Trailers: {
            QByteArray line;
            const qsizetype before = pos;
            const bool complete = takeLine(data, size, pos, line, kMaxHeadSize - m_trailerBytes);
            m_trailerBytes += pos - before;
            if (!complete)
                return pos;
            if (line.isEmpty()) {
                m_state = State::Done;
                m_handler.onMessageEnd();
                return pos;
            }
            break;
        }
        case State::Done:
        case State::Failed:
            return pos;
        }
        if (m_state == State::Failed)
            return pos;
    }
    return pos;
}
