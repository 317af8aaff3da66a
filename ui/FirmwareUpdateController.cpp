#include "FirmwareUpdateController.h"

#include "BatchOperation.h"
#include "DeviceEndpoints.h"
#include "DeviceFacade.h"

FirmwareUpdateController::FirmwareUpdateController(DeviceFacade& facade, PushSessionService* pushSessions,
                                                   QObject* parent)
    : BatchUploadController(BatchOperations::kFirmwareUpdate, facade, pushSessions, parent)
{
}

bool FirmwareUpdateController::update(const QString& deviceId, const QString& filePath)
{
    return run(deviceId, filePath);
}
