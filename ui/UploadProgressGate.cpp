#include "UploadProgressGate.h"

#include "DeviceData.h"
#include "DeviceFacade.h"
#include "FileUploader.h"

#include <memory>

UploadProgressGate::UploadProgressGate(const DeviceFacade& facade, const QString& deviceId,
                                       DeviceParameter resultParameter, const FileUploader& uploader,
                                       const Store& store)
{
    std::shared_ptr<DeviceData> record;
    if (facade.getDeviceData(deviceId, record)) {
        connect(record.get(), &DeviceData::dataChanged, this,
                [this, resultParameter](const QString&, DeviceParameter type) {
                    if (type == resultParameter || type == DeviceParameter::RunningStatus
                        || type == DeviceParameter::UpdateProgress)
                        m_deviceReported = true;
                });
    }
    connect(&uploader, &FileUploader::uploadProgress, this,
            [this, store](const QString& host, qint64 bytesSent, qint64 bytesTotal) {
                if (!m_deviceReported)
                    store(host, bytesSent, bytesTotal);
            });
}
