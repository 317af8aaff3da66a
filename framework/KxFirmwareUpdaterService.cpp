#include "KxFirmwareUpdaterService.h"

#include "KxFirmwareUpdaterImpl.h"
#include "KxImplSharing.h"

std::shared_ptr<KxFirmwareUpdaterAbstractImpl> KxFirmwareUpdaterService::implementation(const QString& deviceId)
{
    static KxImplSharing<QString, KxFirmwareUpdaterAbstractImpl> table;
    return table.acquire(deviceId, [&deviceId] { return KxFirmwareUpdaterImplFactory::createKxImpl(deviceId); });
}
