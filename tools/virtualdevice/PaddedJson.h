#pragma once

#include <QByteArray>

// A JSON text whose "padding" member holds a long run of filler characters,
// handed out piece by piece: oversize answers and messages of tens of
// megabytes are generated as they are sent and never sit whole in memory.
class PaddedJson
{
public:
    static constexpr qint64 kMaxSize = 64LL * 1024 * 1024;

    PaddedJson() = default;
    // `compact` holds the member "padding" with an empty string; the string
    // grows until the text is `size` bytes long (a text already that long
    // stays as it is).
    static PaddedJson grow(const QByteArray& compact, qint64 size);

    qint64 size() const { return m_prefix.size() + m_fill + m_suffix.size(); }
    qint64 remaining() const { return size() - m_offset; }
    // The next at most `max` bytes.
    QByteArray take(qint64 max);

private:
    QByteArray m_prefix;
    qint64 m_fill = 0;
    QByteArray m_suffix;
    qint64 m_offset = 0;
};
