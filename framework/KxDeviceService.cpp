#include "KxDeviceService.h"

#include "KxDeviceImpl.h"
#include "KxImplSharing.h"

std::shared_ptr<KxDeviceAbstractImpl> KxDeviceService::implementation(const QString& deviceId)
{
    static KxImplSharing<QString, KxDeviceAbstractImpl> table;
    return table.acquire(deviceId, [&deviceId] { return KxDeviceImplFactory::createKxImpl(deviceId); });
}
