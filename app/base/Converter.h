#pragma once

#include <QString>

#include <cstdint>
#include <string>

// Conversions between the textual and binary forms of IPv4 and MAC addresses.
// MAC text form: six upper-case two-digit hex bytes joined by ':'
// ("02:1A:2B:3C:4D:5E"), which is also the device id.
class Converter
{
public:
    Converter() = delete;

    // Characters in the MAC text form, without the terminating NUL.
    static constexpr int kMacTextLength = 17;

    // Writes the MAC text form and a NUL into `text`, which must hold at least
    // kMacTextLength + 1 bytes. Returns the characters written (17), or 0 and
    // writes nothing when `text` is null.
    static int macUint8ArrayToCharArray(const uint8_t (&mac)[6], char* text);
    static std::string macUint8ArrayToStr(const uint8_t (&mac)[6]);
    static QString macUint8ArrayToQStr(const uint8_t (&mac)[6]);

    // Dotted decimal to a 32-bit address, first octet in the most significant
    // byte. Exactly four pieces of 1 to 3 decimal digits worth 0..255 each.
    // On false `value` is left untouched.
    static bool ipStrToUint32(const std::string& text, uint32_t& value);

    // "xx:xx:xx:xx:xx:xx" (hex digits of either case, one or two per piece) to
    // six bytes in text order. On false `mac` is left untouched; a null `mac`
    // gives false.
    static bool macStrToUint8Array(const std::string& text, uint8_t* mac);
};
