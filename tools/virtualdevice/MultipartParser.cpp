#include "MultipartParser.h"

namespace {

// Splits "value; a=b; c=\"d;e\"" at semicolons outside quotes.
QList<QByteArray> splitParameters(const QByteArray& value)
{
    QList<QByteArray> out;
    QByteArray current;
    bool quoted = false;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const char c = value.at(i);
        if (quoted && c == '\\' && i + 1 < value.size()) {
            current.append(c).append(value.at(++i));
            continue;
        }
        if (c == '"')
            quoted = !quoted;
        if (c == ';' && !quoted) {
            out.append(current.trimmed());
            current.clear();
            continue;
        }
        current.append(c);
    }
    out.append(current.trimmed());
    return out;
}

QByteArray unquote(const QByteArray& value)
{
    if (value.size() < 2 || !value.startsWith('"') || !value.endsWith('"'))
        return value;
    QByteArray out;
    for (qsizetype i = 1; i + 1 < value.size(); ++i) {
        char c = value.at(i);
        if (c == '\\' && i + 2 < value.size())
            c = value.at(++i);
        out.append(c);
    }
    return out;
}

} // namespace

bool MultipartParser::parseContentType(const QByteArray& value, QByteArray& mediaType, QByteArray& boundary,
                                       QString& error)
{
    const QList<QByteArray> pieces = splitParameters(value);
    const QByteArray type = pieces.value(0).toLower();
    if (!type.startsWith("multipart/")) {
        error = QStringLiteral("content type \"%1\" is not multipart").arg(QString::fromLatin1(type));
        return false;
    }
    QByteArray found;
    for (qsizetype i = 1; i < pieces.size(); ++i) {
        const qsizetype eq = pieces.at(i).indexOf('=');
        if (eq > 0 && pieces.at(i).left(eq).trimmed().toLower() == "boundary")
            found = unquote(pieces.at(i).mid(eq + 1).trimmed());
    }
    if (found.isEmpty() || found.size() > 70) {
        error = QStringLiteral("multipart content type without a usable boundary");
        return false;
    }
    mediaType = type;
    boundary = found;
    return true;
}

bool MultipartParser::parseDisposition(const QByteArray& value, PartHead& head)
{
    const QList<QByteArray> pieces = splitParameters(value);
    head.disposition = pieces.value(0).toLower();
    for (qsizetype i = 1; i < pieces.size(); ++i) {
        const qsizetype eq = pieces.at(i).indexOf('=');
        if (eq <= 0)
            return false;
        const QByteArray key = pieces.at(i).left(eq).trimmed().toLower();
        const QByteArray parameter = unquote(pieces.at(i).mid(eq + 1).trimmed());
        if (key == "name") {
            head.name = parameter;
        } else if (key == "filename") {
            head.fileName = parameter;
            head.hasFileName = true;
        }
    }
    return !head.disposition.isEmpty();
}

MultipartParser::MultipartParser(const QByteArray& boundary, Handler& handler)
    : m_handler(handler)
    , m_delimiter(QByteArrayLiteral("\r\n--") + boundary)
    , m_buffer(QByteArrayLiteral("\r\n")) // lets a delimiter at the very start match like any other
{
}

void MultipartParser::fail(const QString& error)
{
    if (m_error.isEmpty())
        m_error = error;
}

void MultipartParser::feed(const char* data, qsizetype size)
{
    if (hasFailed() || size <= 0)
        return;
    if (m_state == State::Epilogue)
        return; // anything after the closing delimiter is ignored
    m_buffer.append(data, size);
    process();
}

void MultipartParser::process()
{
    for (;;) {
        switch (m_state) {
        case State::Preamble:
        case State::PartBody: {
            const qsizetype at = m_buffer.indexOf(m_delimiter);
            if (at < 0) {
                // Hand on all but the bytes that could begin a delimiter.
                const qsizetype keep = qMin(m_buffer.size(), m_delimiter.size() - 1);
                const qsizetype pass = m_buffer.size() - keep;
                if (pass > 0) {
                    if (m_state == State::PartBody)
                        m_handler.onPartData(m_buffer.constData(), pass);
                    m_buffer.remove(0, pass);
                }
                return;
            }
            if (m_state == State::PartBody) {
                if (at > 0)
                    m_handler.onPartData(m_buffer.constData(), at);
                m_handler.onPartEnd();
            }
            m_buffer.remove(0, at + m_delimiter.size());
            m_state = State::AfterDelimiter;
            break;
        }
        case State::AfterDelimiter: {
            if (m_buffer.size() < 2)
                return;
            if (m_buffer.startsWith("--")) {
                m_state = State::Epilogue;
                m_buffer.clear();
                return;
            }
            // Transport padding (spaces, tabs) may precede the line break.
            qsizetype i = 0;
            while (i < m_buffer.size() && (m_buffer.at(i) == ' ' || m_buffer.at(i) == '\t'))
                ++i;
            if (i > 256) {
                fail(QStringLiteral("malformed multipart delimiter line"));
                return;
            }
            if (i + 2 > m_buffer.size())
                return;
            if (m_buffer.at(i) != '\r' || m_buffer.at(i + 1) != '\n') {
                fail(QStringLiteral("malformed multipart delimiter line"));
                return;
            }
            m_buffer.remove(0, i + 2);
            m_state = State::PartHead;
            break;
        }
        case State::PartHead: {
            qsizetype end = -1;
            qsizetype skip = 0;
            if (m_buffer.startsWith("\r\n")) {
                end = 0;
                skip = 2;
            } else {
                end = m_buffer.indexOf("\r\n\r\n");
                skip = end + 4;
            }
            if (end < 0) {
                if (m_buffer.size() > kMaxPartHead)
                    fail(QStringLiteral("multipart part head too long"));
                return;
            }
            if (end > kMaxPartHead) {
                fail(QStringLiteral("multipart part head too long"));
                return;
            }
            PartHead head;
            const QByteArray text = m_buffer.left(end);
            m_buffer.remove(0, skip);
            for (const QByteArray& line : text.split('\n')) {
                const QByteArray trimmed = line.endsWith('\r') ? line.chopped(1) : line;
                if (trimmed.isEmpty())
                    continue;
                const qsizetype colon = trimmed.indexOf(':');
                if (colon <= 0) {
                    fail(QStringLiteral("malformed multipart part header"));
                    return;
                }
                const QByteArray name = trimmed.left(colon).trimmed().toLower();
                const QByteArray value = trimmed.mid(colon + 1).trimmed();
                head.headers.append({name, value});
                if (name == "content-disposition") {
                    if (!parseDisposition(value, head)) {
                        fail(QStringLiteral("malformed Content-Disposition"));
                        return;
                    }
                } else if (name == "content-type") {
                    head.contentType = value.split(';').value(0).trimmed().toLower();
                }
            }
            ++m_parts;
            m_state = State::PartBody;
            m_handler.onPartBegin(head);
            if (hasFailed())
                return;
            break;
        }
        case State::Epilogue:
            m_buffer.clear();
            return;
        }
    }
}

void MultipartParser::finish()
{
    if (hasFailed())
        return;
    if (m_state != State::Epilogue)
        fail(m_parts == 0 ? QStringLiteral("multipart body holds no part")
                          : QStringLiteral("multipart body ends before its closing delimiter"));
}
