#pragma once

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
    static constexpr int32_t kWrongSuffix = ResultCode::failure(ResultCode::Facility::ConfigurationImport, 0x0001);
    static constexpr int32_t kBusy = ResultCode::failure(ResultCode::Facility::ConfigurationImport, 0x0002);
    static constexpr int32_t kDisconnected = ResultCode::failure(ResultCode::Facility::ConfigurationImport, 0x0003);
    static constexpr int32_t kForbidden = ResultCode::failure(ResultCode::Facility::ConfigurationImport, 0x0004);

    // `facade` must outlive the controller's calls; `pushSessions` may be null.
    ImportConfigurationController(DeviceFacade& facade, PushSessionService* pushSessions, QObject* parent = nullptr);

    // One device; true when it accepted the file.
    bool execute(const QString& deviceId, const QString& filePath);
};
