#include "KxMeterDataAccessorService.h"

#include "KxImplSharing.h"
#include "KxMeterDataAccessorImpl_Template.h"

#include <utility>

std::shared_ptr<KxMeterDataAccessorAbstractImpl> KxMeterDataAccessorService::implementation(const QString& deviceId,
                                                                                            KxMeterID::ID meterId)
{
    static KxImplSharing<std::pair<QString, int>, KxMeterDataAccessorAbstractImpl> table;
    return table.acquire({deviceId, meterId},
                         [&] { return KxMeterDataAccessorImplFactory::createKxImpl(deviceId, meterId); });
}
