#pragma once

#include <memory>

class KxDeviceListAbstractImpl;

// The one device-list implementation of the process, made by
// KxDeviceListImplFactory and shared while any KxDeviceList front holds it.
// User-interface thread only.
class KxDeviceListService
{
public:
    KxDeviceListService() = delete;
    static std::shared_ptr<KxDeviceListAbstractImpl> implementation();
};
