#include "StandbyScreenImageChangeController.h"

#include "BatchOperation.h"
#include "DeviceEndpoints.h"
#include "DeviceFacade.h"

StandbyScreenImageChangeController::StandbyScreenImageChangeController(DeviceFacade& facade,
                                                                       PushSessionService* pushSessions,
                                                                       QObject* parent)
    : BatchUploadController(BatchOperations::kStandbyScreenImageChange, facade, pushSessions, parent)
{
}

bool StandbyScreenImageChangeController::execute(const QString& deviceId, const QString& filePath)
{
    return run(deviceId, filePath);
}
