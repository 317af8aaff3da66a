#pragma once

#include "DeviceParameter.h"

#include <QObject>
#include <QString>

#include <functional>

class DeviceFacade;
class FileUploader;

// Lets one upload's progress through until the device reports on the file
// itself. Upload progress and the device's own reports travel apart (the
// progress from the transfer thread, the reports over the push channel). The
// whole body's 100 % is told before the device can have it, so it comes
// first; what the transfer says after the device reported (its end) would
// cover the device's result for good and is dropped. Whatever progress is
// still queued when the gate goes is dropped with it: make one per upload,
// living as long as the upload.
//
// Threads: the user-interface thread.
class UploadProgressGate : public QObject
{
    Q_OBJECT

public:
    using Store = std::function<void(const QString& device, qint64 bytesSent, qint64 bytesTotal)>;

    // `store` is called with the uploader's progress until the device's
    // record changes `resultParameter`, its running status or its update
    // progress.
    UploadProgressGate(const DeviceFacade& facade, const QString& deviceId, DeviceParameter resultParameter,
                       const FileUploader& uploader, const Store& store);

    bool deviceReported() const { return m_deviceReported; }

private:
    bool m_deviceReported = false;
};
