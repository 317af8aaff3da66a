#include "ImportConfigurationController.h"

#include "BatchOperation.h"
#include "DeviceFacade.h"

namespace {

const BatchOperation kConfigurationImport{
    "configuration import",
    {"xml", nullptr, nullptr},
    "/api/v1/files/import",
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

ImportConfigurationController::ImportConfigurationController(QObject* parent)
    : BatchUploadController(kConfigurationImport, DeviceFacade::getInstance(), nullptr, true, parent)
{
}

ImportConfigurationController::ImportConfigurationController(DeviceFacade& facade, PushSessionService* pushSessions,
                                                             QObject* parent)
    : BatchUploadController(kConfigurationImport, facade, pushSessions, false, parent)
{
}

bool ImportConfigurationController::execute(const QString& deviceId, const QString& filePath)
{
    return run(deviceId, filePath);
}
