#pragma once

#include "BatchOperation.h"

#include "BatchUploadController.h"
#include "ResultCode.h"

#include <cstdint>

// Uploads a configuration file (".xml", any case) to one device at a time
// (POST /api/v1/files/import). Failures store 5 ("failed") as the device's
// import result and raise an alert with the codes below, the body builder's
// and the HTTP layer's codes, or 0 (no toast) when the device is not logged
// in, its state cannot be read or the HTTP status is unexpected. A device
// whose address or authentication code cannot be read is left alone: false,
// nothing stored, no alert. Busy or in a call (running status not 0) both
// block the import.
class ImportConfigurationController : public BatchUploadController
{
    Q_OBJECT

public:
    static constexpr int32_t kWrongSuffix = BatchOperations::kConfigurationImport.wrongSuffix;
    static constexpr int32_t kBusy = BatchOperations::kConfigurationImport.busy;
    static constexpr int32_t kDisconnected = BatchOperations::kConfigurationImport.disconnected;
    static constexpr int32_t kForbidden = BatchOperations::kConfigurationImport.forbidden;

    // `facade` must outlive the controller's calls; `pushSessions` may be null.
    ImportConfigurationController(DeviceFacade& facade, PushSessionService* pushSessions, QObject* parent = nullptr);

    // One device; true when it accepted the file.
    bool execute(const QString& deviceId, const QString& filePath);
};
