#pragma once

#include <QString>

#include <memory>

class KxDeviceAbstractImpl;

// The process-wide sharing of device implementations, made by
// KxDeviceImplFactory: every KxDevice with the same id uses one
// implementation while any of them holds it; none for an empty id.
// User-interface thread only.
class KxDeviceService
{
public:
    KxDeviceService() = delete;
    static std::shared_ptr<KxDeviceAbstractImpl> implementation(const QString& deviceId);
};
