#pragma once

#include "DeviceParameter.h"

#include <array>
#include <cstdint>

// How one batch operation differs from the others: one constant row per
// operation, read by BatchUploadController.
struct BatchOperation
{
    // Which running statuses keep the upload away.
    enum class BusyRule {
        NotIdle, // anything but 0 (busy or in a call)
        OnlyBusy, // exactly 1 (a call may go on meanwhile)
    };

    const char* name; // for log lines
    std::array<const char*, 3> suffixes; // accepted, lower case, in order; unused ones null
    const char* uploadPath;
    DeviceParameter progressParameter; // upload percentage, by IP address
    DeviceParameter resultParameter; // failure value, by device id
    int failedResult;

    int32_t wrongSuffix;
    int32_t busy;
    int32_t disconnected;
    int32_t forbidden;
    // Not logged in, or the logged-in flag, connection status or running
    // status cannot be read.
    int32_t notReady;
    BusyRule busyRule;
    // No IP address or authentication code: true returns false at once,
    // silently; false fails the device with notReady.
    bool silentWithoutAddress;
};
