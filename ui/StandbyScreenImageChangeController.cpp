#include "StandbyScreenImageChangeController.h"

#include "BatchOperation.h"
#include "DeviceEndpoints.h"
#include "DeviceFacade.h"

namespace {

const BatchOperation kStandbyScreenImageChange{
    "standby-screen image change",
    {"png", "jpg", "jpeg"},
    DeviceEndpoints::kStandbyImagePath,
    DeviceParameter::StandbyScreenImageUploadProgress,
    DeviceParameter::StandbyImageResult,
    1, // "Uploaded Stand-by screen image is invalid"
    StandbyScreenImageChangeController::kWrongSuffix,
    StandbyScreenImageChangeController::kBusy,
    StandbyScreenImageChangeController::kDisconnected,
    StandbyScreenImageChangeController::kForbidden,
    ResultCode::kSuccess, // failed without a toast
    BatchOperation::BusyRule::OnlyBusy,
    true,
};

} // namespace

StandbyScreenImageChangeController::StandbyScreenImageChangeController(DeviceFacade& facade,
                                                                       PushSessionService* pushSessions,
                                                                       QObject* parent)
    : BatchUploadController(kStandbyScreenImageChange, facade, pushSessions, parent)
{
}

bool StandbyScreenImageChangeController::execute(const QString& deviceId, const QString& filePath)
{
    return run(deviceId, filePath);
}
