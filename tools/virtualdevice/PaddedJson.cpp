#include "PaddedJson.h"

PaddedJson PaddedJson::grow(const QByteArray& compact, qint64 size)
{
    // Only a member name is followed by a colon, and quotes inside strings
    // are escaped: this marker is the padding member and nothing else.
    static const QByteArray marker = QByteArrayLiteral("\"padding\":\"\"");
    PaddedJson text;
    const qsizetype at = compact.indexOf(marker);
    if (at < 0) {
        text.m_prefix = compact;
        return text;
    }
    const qsizetype split = at + marker.size() - 1; // between the two quotes
    text.m_prefix = compact.left(split);
    text.m_suffix = compact.mid(split);
    text.m_fill = qMax<qint64>(0, size - compact.size());
    return text;
}

QByteArray PaddedJson::take(qint64 max)
{
    QByteArray out;
    out.reserve(qsizetype(qMin(max, remaining())));
    const qint64 prefixEnd = m_prefix.size();
    const qint64 fillEnd = prefixEnd + m_fill;
    while (out.size() < max && m_offset < size()) {
        const qint64 want = max - out.size();
        if (m_offset < prefixEnd) {
            const qint64 n = qMin(want, prefixEnd - m_offset);
            out.append(m_prefix.constData() + m_offset, qsizetype(n));
            m_offset += n;
        } else if (m_offset < fillEnd) {
            const qint64 n = qMin(want, fillEnd - m_offset);
            out.append(qsizetype(n), 'x');
            m_offset += n;
        } else {
            const qint64 n = qMin(want, size() - m_offset);
            out.append(m_suffix.constData() + (m_offset - fillEnd), qsizetype(n));
            m_offset += n;
        }
    }
    return out;
}
