#pragma once

// Where a device of the family listens: its REST interface and its push
// channel share one TLS port.
namespace DeviceEndpoints {

inline constexpr int kPort = 60010;
inline constexpr int kPushPort = kPort;
inline constexpr char kPushPath[] = "/api/v1/push";

} // namespace DeviceEndpoints
