#include "KxDeviceListService.h"

#include "KxDeviceListImpl.h"
#include "KxImplSharing.h"

std::shared_ptr<KxDeviceListAbstractImpl> KxDeviceListService::implementation()
{
    static KxImplSharing<int, KxDeviceListAbstractImpl> table;
    return table.acquire(0, [] { return KxDeviceListImplFactory::createKxImpl(); });
}
