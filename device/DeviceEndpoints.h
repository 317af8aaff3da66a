#pragma once

// Where and how a device of the family is reached: its REST interface and its
// push channel share one TLS port.
namespace DeviceEndpoints {

inline constexpr int kPort = 60010;
inline constexpr int kPushPort = kPort;

inline constexpr char kScheme[] = "https";
inline constexpr char kPushScheme[] = "wss";

inline constexpr char kAuthenticatePath[] = "/api/v1/auth/authenticate";
inline constexpr char kSettingsPath[] = "/api/v1/settings/self";
inline constexpr char kFirmwarePath[] = "/api/v1/files/firmware";
inline constexpr char kImportPath[] = "/api/v1/files/import";
inline constexpr char kStandbyImagePath[] = "/api/v1/files/standby-image";
inline constexpr char kPushPath[] = "/api/v1/push";

} // namespace DeviceEndpoints
