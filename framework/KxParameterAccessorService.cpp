#include "KxParameterAccessorService.h"

#include "KxImplSharing.h"
#include "KxParameterAccessorImpl_Template.h"

#include <utility>

std::shared_ptr<KxParameterAccessorAbstractImpl> KxParameterAccessorService::implementation(const QString& deviceId,
                                                                                            KxParamID::ID paramId)
{
    static KxImplSharing<std::pair<QString, int>, KxParameterAccessorAbstractImpl> table;
    return table.acquire({deviceId, paramId},
                         [&] { return KxParameterAccessorImplFactory::createKxImpl(deviceId, paramId); });
}
