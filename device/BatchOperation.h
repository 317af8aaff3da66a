#pragma once

#include "DeviceEndpoints.h"
#include "DeviceParameter.h"
#include "ResultCode.h"

#include <array>
#include <cstdint>

// How one batch operation differs from the others: one constant row per
// operation (below), read by the window's batch controllers and by the
// command-line tool.
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

    // The code of an upload's answer with an HTTP status that is no success
    // (403 aside, which is `forbidden`): the operation's facility with the
    // status as the case, as a login's device errors are (409 in a firmware
    // update: 0x80040199).
    constexpr int32_t refusedWith(int status) const
    {
        return ResultCode::failure(ResultCode::facilityOf(busy), static_cast<uint16_t>(status));
    }
};

namespace BatchOperations {

using ResultCode::Facility;

inline constexpr BatchOperation kFirmwareUpdate{
    "firmware update",
    {"bundle", nullptr, nullptr},
    DeviceEndpoints::kFirmwarePath,
    DeviceParameter::FirmwareUploadProgress,
    DeviceParameter::UpdateResult,
    1, // "Update failed"
    ResultCode::failure(Facility::FirmwareUpdate, 0x0001),
    ResultCode::failure(Facility::FirmwareUpdate, 0x0002),
    ResultCode::failure(Facility::FirmwareUpdate, 0x0003),
    ResultCode::failure(Facility::FirmwareUpdate, 0x0004),
    ResultCode::kFailure,
    BatchOperation::BusyRule::NotIdle,
    false,
};

inline constexpr BatchOperation kConfigurationImport{
    "configuration import",
    {"xml", nullptr, nullptr},
    DeviceEndpoints::kImportPath,
    DeviceParameter::ConfigUploadProgress,
    DeviceParameter::ImportResult,
    5, // "Import failed"
    ResultCode::failure(Facility::ConfigurationImport, 0x0001),
    ResultCode::failure(Facility::ConfigurationImport, 0x0002),
    ResultCode::failure(Facility::ConfigurationImport, 0x0003),
    ResultCode::failure(Facility::ConfigurationImport, 0x0004),
    ResultCode::kSuccess, // failed without a toast
    BatchOperation::BusyRule::NotIdle,
    true,
};

inline constexpr BatchOperation kStandbyScreenImageChange{
    "standby-screen image change",
    {"png", "jpg", "jpeg"},
    DeviceEndpoints::kStandbyImagePath,
    DeviceParameter::StandbyScreenImageUploadProgress,
    DeviceParameter::StandbyImageResult,
    1, // "Uploaded Stand-by screen image is invalid"
    ResultCode::failure(Facility::StandbyScreenImage, 0x0001),
    ResultCode::failure(Facility::StandbyScreenImage, 0x0002),
    ResultCode::failure(Facility::StandbyScreenImage, 0x0003),
    ResultCode::failure(Facility::StandbyScreenImage, 0x0004),
    ResultCode::kSuccess, // failed without a toast
    BatchOperation::BusyRule::OnlyBusy,
    true,
};

} // namespace BatchOperations
