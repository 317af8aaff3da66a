#pragma once

// Names and fixed values of the device's push notification:
//   {"command": {"type": "settings-notification", "device": "self"},
//    "body": {"sys": {...}, "display": {...}, "net": {...}}}
// Compared case-sensitively, byte for byte.
namespace NetworkDefine {

inline constexpr char NOTIFY_JSON_COMMAND[] = "command";
inline constexpr char NOTIFY_JSON_BODY[] = "body";
inline constexpr char NOTIFY_JSON_COMMAND_TYPE[] = "type";
inline constexpr char NOTIFY_JSON_COMMAND_DEVICE[] = "device";

inline constexpr char NOTIFY_COMMAND_TYPE_SETTINGS[] = "settings-notification";
inline constexpr char NOTIFY_COMMAND_DEVICE_SELF[] = "self";

} // namespace NetworkDefine
