#include "FirmwareUpdateController.h"

#include "BatchOperation.h"
#include "DeviceEndpoints.h"
#include "DeviceFacade.h"

namespace {

const BatchOperation kFirmwareUpdate{
    "firmware update",
    {"bundle", nullptr, nullptr},
    DeviceEndpoints::kFirmwarePath,
    DeviceParameter::FirmwareUploadProgress,
    DeviceParameter::UpdateResult,
    1, // "Update failed"
    FirmwareUpdateController::kWrongSuffix,
    FirmwareUpdateController::kBusy,
    FirmwareUpdateController::kDisconnected,
    FirmwareUpdateController::kForbidden,
    ResultCode::kFailure,
    BatchOperation::BusyRule::NotIdle,
    false,
};

} // namespace

FirmwareUpdateController::FirmwareUpdateController(DeviceFacade& facade, PushSessionService* pushSessions,
                                                   QObject* parent)
    : BatchUploadController(kFirmwareUpdate, facade, pushSessions, parent)
{
}

bool FirmwareUpdateController::update(const QString& deviceId, const QString& filePath)
{
    return run(deviceId, filePath);
}
