#pragma once

#include "BatchOperation.h"

#include "BatchUploadController.h"
#include "ResultCode.h"

#include <cstdint>

// Uploads a standby-screen image (".png", ".jpg" or ".jpeg", any case) to one
// device at a time (POST /api/v1/files/standby-image); the image itself is
// judged by the device. Failures store 1 as the device's standby image result
// and raise an alert with the codes below, the body builder's and the HTTP
// layer's codes, or 0 (no toast) when the device is not logged in, its state
// cannot be read or the HTTP status is unexpected. A device whose address or
// authentication code cannot be read is left alone: false, nothing stored, no
// alert. Only a busy device (running status exactly 1) is skipped; one in a
// call gets the image.
class StandbyScreenImageChangeController : public BatchUploadController
{
    Q_OBJECT

public:
    static constexpr int32_t kWrongSuffix = BatchOperations::kStandbyScreenImageChange.wrongSuffix;
    static constexpr int32_t kBusy = BatchOperations::kStandbyScreenImageChange.busy;
    static constexpr int32_t kDisconnected = BatchOperations::kStandbyScreenImageChange.disconnected;
    static constexpr int32_t kForbidden = BatchOperations::kStandbyScreenImageChange.forbidden;

    // `facade` must outlive the controller's calls; `pushSessions` may be null.
    StandbyScreenImageChangeController(DeviceFacade& facade, PushSessionService* pushSessions,
                                       QObject* parent = nullptr);

    // One device; true when it accepted the file.
    bool execute(const QString& deviceId, const QString& filePath);
};
