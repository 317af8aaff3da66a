#include "FirmwareUpdateController.h"

#include "BatchOperation.h"
#include "DeviceFacade.h"

namespace {

const BatchOperation kFirmwareUpdate{
    "firmware update",
    {"bundle", nullptr, nullptr},
    "/api/v1/files/firmware",
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

FirmwareUpdateController::FirmwareUpdateController(QObject* parent)
    : BatchUploadController(kFirmwareUpdate, DeviceFacade::getInstance(), nullptr, true, parent)
{
}

FirmwareUpdateController::FirmwareUpdateController(DeviceFacade& facade, PushSessionService* pushSessions,
                                                   QObject* parent)
    : BatchUploadController(kFirmwareUpdate, facade, pushSessions, false, parent)
{
}

bool FirmwareUpdateController::update(const QString& deviceId, const QString& filePath)
{
    return run(deviceId, filePath);
}
