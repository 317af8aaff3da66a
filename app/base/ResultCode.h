#pragma once

#include <QLatin1Char>
#include <QString>

#include <cstdint>

// Result codes of the C++ layers: 0 or positive is success; bit 31 set is
// failure, bits 16 to 30 name the facility and the low 16 bits the case.
// 0x80000000 alone is the generic failure (a device-record access, a
// listener call). The LNDP engine's own codes stay in its C headers.
namespace ResultCode {

enum class Facility : uint16_t {
    General = 0x00,
    HttpAccess = 0x01,
    SettingsModels = 0x02,
    FileUploader = 0x03,
    FirmwareUpdate = 0x04,
    StandbyScreenImage = 0x05,
    ConfigurationImport = 0x06,
    WebSocketClient = 0x07,
    PushSession = 0x08,
    MultiPartBody = 0x09,
    DiscoveredDevices = 0x10,
    Login = 0x11,
    // The command-line tool's own verdicts on a device (not found, interrupted).
    CommandLine = 0x12,
};

inline constexpr int32_t kSuccess = 0;
inline constexpr int32_t kFailure = static_cast<int32_t>(0x80000000u);

// The failure code of `failureCase` in `facility`.
constexpr int32_t failure(Facility facility, uint16_t failureCase)
{
    return static_cast<int32_t>(0x80000000u | (static_cast<uint32_t>(facility) << 16) | failureCase);
}

constexpr bool isFailure(int32_t code)
{
    return code < 0;
}

constexpr bool isSuccess(int32_t code)
{
    return code >= 0;
}

constexpr Facility facilityOf(int32_t code)
{
    return static_cast<Facility>((static_cast<uint32_t>(code) >> 16) & 0x7FFFu);
}

constexpr uint16_t caseOf(int32_t code)
{
    return static_cast<uint16_t>(static_cast<uint32_t>(code) & 0xFFFFu);
}

// How logs write a code: "0x8007000d".
inline QString toHex(int32_t code)
{
    return QStringLiteral("0x%1").arg(static_cast<uint32_t>(code), 8, 16, QLatin1Char('0'));
}

// Success stays as it is; any failure becomes the generic failure.
constexpr int32_t toGeneric(int32_t code)
{
    return isFailure(code) ? kFailure : code;
}

} // namespace ResultCode
