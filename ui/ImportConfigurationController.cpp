#include "ImportConfigurationController.h"

#include "BatchOperation.h"
#include "DeviceEndpoints.h"
#include "DeviceFacade.h"

ImportConfigurationController::ImportConfigurationController(DeviceFacade& facade, PushSessionService* pushSessions,
                                                             QObject* parent)
    : BatchUploadController(BatchOperations::kConfigurationImport, facade, pushSessions, parent)
{
}

bool ImportConfigurationController::execute(const QString& deviceId, const QString& filePath)
{
    return run(deviceId, filePath);
}
