#include "Converter.h"

#include "StrUtils.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t kIpv4PieceCount = 4;
constexpr std::size_t kIpv4PieceMaxDigits = 3;
constexpr std::size_t kMacPieceCount = 6;
constexpr std::size_t kMacPieceMaxDigits = 2;

// Locale-independent on purpose: std::isdigit/isxdigit depend on the C
// locale and are undefined for negative char values.
int decimalDigit(char c)
{
    return (c >= '0' && c <= '9') ? c - '0' : -1;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Parses a piece of at most `maxDigits` digits of the given base. The length
// limit keeps the accumulator far from overflow whatever the input.
bool parsePiece(const std::string& piece, std::size_t maxDigits, int base, int (*digit)(char), unsigned& out)
{
    if (piece.empty() || piece.size() > maxDigits)
        return false;
    unsigned value = 0;
    for (const char c : piece) {
        const int d = digit(c);
        if (d < 0)
            return false;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    }
    out = value;
    return true;
}

// A trailing delimiter would be swallowed by splitStr ("1.2.3.4." splits into
// four pieces), so it is rejected up front.
bool endsWith(const std::string& text, char c)
{
    return !text.empty() && text.back() == c;
}

} // namespace

int Converter::macUint8ArrayToCharArray(const uint8_t (&mac)[6], char* text)
{
    if (text == nullptr)
        return 0;
    const int written = std::snprintf(text, kMacTextLength + 1, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2],
                                      mac[3], mac[4], mac[5]);
    return written < 0 ? 0 : written;
}

std::string Converter::macUint8ArrayToStr(const uint8_t (&mac)[6])
{
    char text[kMacTextLength + 1] = {};
    const int written = macUint8ArrayToCharArray(mac, text);
    return std::string(text, static_cast<std::size_t>(written));
}

QString Converter::macUint8ArrayToQStr(const uint8_t (&mac)[6])
{
    return QString::fromStdString(macUint8ArrayToStr(mac));
}

bool Converter::ipStrToUint32(const std::string& text, uint32_t& value)
{
    if (endsWith(text, '.'))
        return false;
    const std::vector<std::string> pieces = StrUtils::splitStr(text, '.');
    if (pieces.size() != kIpv4PieceCount)
        return false;
    uint32_t address = 0;
    for (const std::string& piece : pieces) {
        unsigned octet = 0;
        if (!parsePiece(piece, kIpv4PieceMaxDigits, 10, decimalDigit, octet) || octet > 255)
            return false;
        address = (address << 8) | octet;
    }
    value = address;
    return true;
}

bool Converter::macStrToUint8Array(const std::string& text, uint8_t* mac)
{
    if (mac == nullptr || endsWith(text, ':'))
        return false;
    const std::vector<std::string> pieces = StrUtils::splitStr(text, ':');
    if (pieces.size() != kMacPieceCount)
        return false;
    uint8_t bytes[kMacPieceCount] = {};
    for (std::size_t i = 0; i < kMacPieceCount; ++i) {
        unsigned byte = 0;
        if (!parsePiece(pieces[i], kMacPieceMaxDigits, 16, hexDigit, byte))
            return false;
        bytes[i] = static_cast<uint8_t>(byte);
    }
    std::memcpy(mac, bytes, sizeof(bytes));
    return true;
}
