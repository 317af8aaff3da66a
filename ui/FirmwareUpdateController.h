#pragma once

#include "BatchOperation.h"

#include "BatchUploadController.h"
#include "ResultCode.h"

#include <cstdint>

// Uploads a firmware file (".bundle", any case) to one device at a time
// (POST /api/v1/files/firmware). Failures store 1 ("failed") as the device's
// update result and raise an alert: the codes below, 0x80000000 when the
// device is not logged in or its record cannot be read, the body builder's
// and the HTTP layer's codes, or 0 for an unexpected HTTP status. Busy or in
// a call (running status not 0) both block the update.
class FirmwareUpdateController : public BatchUploadController
{
    Q_OBJECT

public:
    static constexpr int32_t kWrongSuffix = BatchOperations::kFirmwareUpdate.wrongSuffix;
    static constexpr int32_t kBusy = BatchOperations::kFirmwareUpdate.busy;
    static constexpr int32_t kDisconnected = BatchOperations::kFirmwareUpdate.disconnected;
    static constexpr int32_t kForbidden = BatchOperations::kFirmwareUpdate.forbidden;

    // `facade` must outlive the controller's calls; `pushSessions` may be null.
    FirmwareUpdateController(DeviceFacade& facade, PushSessionService* pushSessions, QObject* parent = nullptr);

    // One device; true when it accepted the file.
    bool update(const QString& deviceId, const QString& filePath);
};
