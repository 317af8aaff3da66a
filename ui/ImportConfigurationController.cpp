#include "ImportConfigurationController.h"

#include "BatchOperation.h"
#include "DeviceEndpoints.h"
#include "DeviceFacade.h"

namespace {

const BatchOperation kConfigurationImport{
    "configuration import",
    {"xml", nullptr, nullptr},
    DeviceEndpoints::kImportPath,
    DeviceParameter::ConfigUploadProgress,
    DeviceParameter::ImportResult,
    5, // "Import failed"
    ImportConfigurationController::kWrongSuffix,
    ImportConfigurationController::kBusy,
    ImportConfigurationController::kDisconnected,
    ImportConfigurationController::kForbidden,
    ResultCode::kSuccess, // failed without a toast
    BatchOperation::BusyRule::NotIdle,
    true,
};

} // namespace

ImportConfigurationController::ImportConfigurationController(DeviceFacade& facade, PushSessionService* pushSessions,
                                                             QObject* parent)
    : BatchUploadController(kConfigurationImport, facade, pushSessions, parent)
{
}

bool ImportConfigurationController::execute(const QString& deviceId, const QString& filePath)
{
    return run(deviceId, filePath);
}
