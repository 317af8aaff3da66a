#include "HttpResponseParser.h"

namespace {

bool allOf(const QByteArray& text, bool (*accept)(char))
{
    if (text.isEmpty())
        return false;
    for (char c : text) {
        if (!accept(c))
            return false;
    }
    return true;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isHexDigit(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The end of the head (just past its empty line), or -1. Bare line feeds
// count as line ends too, as most clients read them.
qsizetype headEnd(const QByteArray& buffer)
{
    qsizetype from = 0;
    for (;;) {
        const qsizetype lineFeed = buffer.indexOf('\n', from);
        if (lineFeed < 0)
            return -1;
        const qsizetype next = lineFeed + 1;
        if (next < buffer.size() && buffer.at(next) == '\n')
            return next + 1;
        if (next + 1 < buffer.size() && buffer.at(next) == '\r' && buffer.at(next + 1) == '\n')
            return next + 2;
        from = next;
    }
}

// The next line without its end, removed from `buffer`; false while no line
// end has come.
bool takeLine(QByteArray& buffer, QByteArray& line)
{
    const qsizetype lineFeed = buffer.indexOf('\n');
    if (lineFeed < 0)
        return false;
    line = buffer.left(lineFeed);
    if (line.endsWith('\r'))
        line.chop(1);
    buffer.remove(0, lineFeed + 1);
    return true;
}

constexpr qsizetype kMaxChunkLine = 4096;

} // namespace

HttpResponseParser::State HttpResponseParser::feed(const QByteArray& bytes, QByteArray& body)
{
    if (m_state == State::Complete || m_state == State::Malformed)
        return m_state;
    m_buffer += bytes;
    while (m_state == State::Head) {
        // Anything else than an answer is known from its first bytes.
        const QByteArray prefix("HTTP/");
        if (!prefix.startsWith(m_buffer.left(prefix.size())))
            return m_state = State::Malformed;
        const qsizetype end = headEnd(m_buffer);
        if (end < 0 || end > kMaxHeadBytes) {
            if (m_buffer.size() > kMaxHeadBytes)
                m_state = State::Malformed;
            return m_state;
        }
        const QByteArray head = m_buffer.left(end);
        m_buffer.remove(0, end);
        if (!parseHead(head))
            return m_state = State::Malformed;
        if (m_status >= 100 && m_status < 200) {
            m_headers.clear(); // interim: the answer follows
            continue;
        }
        m_state = State::Body;
        if (m_status == 204 || m_status == 304 || (m_framing == Framing::Length && m_remaining == 0))
            m_state = State::Complete;
    }
    if (m_state == State::Body)
        takeBody(body);
    return m_state;
}

HttpResponseParser::State HttpResponseParser::finish()
{
    if (m_state == State::Body && m_framing == Framing::Close)
        m_state = State::Complete;
    else if (m_state != State::Complete)
        m_state = State::Malformed;
    return m_state;
}

bool HttpResponseParser::parseHead(const QByteArray& head)
{
    QList<QByteArray> lines = head.split('\n');
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    // "HTTP/1.1 200 OK": a version, a three-digit status, a reason that may be
    // empty or missing.
    const QByteArray statusLine = lines.value(0);
    const qsizetype space = statusLine.indexOf(' ');
    if (space < 0 || !statusLine.startsWith("HTTP/1."))
        return false;
    const QByteArray code = statusLine.mid(space + 1, 3);
    if (code.size() != 3 || !allOf(code, isDigit) || (statusLine.size() > space + 4 && statusLine.at(space + 4) != ' '))
        return false;
    m_status = code.toInt();
    m_reason = statusLine.mid(space + 5);

    m_headers.clear();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        if (line.isEmpty())
            continue;
        if ((line.startsWith(' ') || line.startsWith('\t')) && !m_headers.isEmpty()) {
            m_headers.last().second += ' ' + line.trimmed(); // an old-style folded line
            continue;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || line.left(colon).contains(' ') || line.left(colon).contains('\t'))
            return false;
        m_headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
    }

    m_framing = Framing::Close;
    m_contentLength = -1;
    for (const auto& [name, value] : std::as_const(m_headers)) {
        const QByteArray lower = name.toLower();
        if (lower == "transfer-encoding" && value.toLower().trimmed().endsWith("chunked")) {
            m_framing = Framing::Chunked;
        } else if (lower == "content-length" && m_framing != Framing::Chunked) {
            bool ok = false;
            const qint64 length = allOf(value, isDigit) ? value.toLongLong(&ok) : -1;
            // Two different lengths: no way to tell where the answer ends.
            if (!ok || (m_contentLength >= 0 && length != m_contentLength))
                return false;
            m_contentLength = length;
            m_framing = Framing::Length;
        }
    }
    if (m_framing == Framing::Chunked)
        m_contentLength = -1;
    m_remaining = m_framing == Framing::Length ? m_contentLength : 0;
    m_chunkStep = ChunkStep::Size;
    return true;
}

void HttpResponseParser::takeBody(QByteArray& body)
{
    switch (m_framing) {
    case Framing::Close:
        body += m_buffer;
        m_buffer.clear();
        return;
    case Framing::Length:
        if (takeRemaining(body))
            m_state = State::Complete;
        return;
    case Framing::Chunked:
        if (!takeChunked(body))
            m_state = State::Malformed;
        return;
    }
}

// Moves what has come of the remaining bytes into `body`; true once none
// remain.
bool HttpResponseParser::takeRemaining(QByteArray& body)
{
    const qsizetype taken = static_cast<qsizetype>(std::min<qint64>(m_remaining, m_buffer.size()));
    body += m_buffer.left(taken);
    m_buffer.remove(0, taken);
    m_remaining -= taken;
    return m_remaining == 0;
}

// Decodes as many chunks as have come; false for a malformed one.
bool HttpResponseParser::takeChunked(QByteArray& body)
{
    for (;;) {
        QByteArray line;
        switch (m_chunkStep) {
        case ChunkStep::Size: {
            if (!takeLine(m_buffer, line))
                return m_buffer.size() <= kMaxChunkLine;
            const qsizetype extensions = line.indexOf(';'); // ignored
            const QByteArray size = (extensions < 0 ? line : line.left(extensions)).trimmed();
            bool ok = false;
            m_remaining = allOf(size, isHexDigit) && size.size() <= 15 ? size.toLongLong(&ok, 16) : -1;
            if (!ok)
                return false;
            m_chunkStep = m_remaining == 0 ? ChunkStep::Trailer : ChunkStep::Data;
            break;
        }
        case ChunkStep::Data:
            if (!takeRemaining(body))
                return true;
            m_chunkStep = ChunkStep::DataEnd;
            break;
        case ChunkStep::DataEnd:
            if (!takeLine(m_buffer, line))
                return m_buffer.size() < 2;
            if (!line.isEmpty())
                return false;
            m_chunkStep = ChunkStep::Size;
            break;
        case ChunkStep::Trailer:
            if (!takeLine(m_buffer, line))
                return m_buffer.size() <= kMaxChunkLine;
            if (line.isEmpty()) {
                m_state = State::Complete;
                return true;
            }
            break; // a trailer field: not kept
        }
    }
}
