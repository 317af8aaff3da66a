#pragma once

#include "KxParamID.h"

#include <QString>

#include <memory>

class KxParameterAccessorAbstractImpl;

// The process-wide sharing of parameter implementations, by device id and
// then by parameter id, made by KxParameterAccessorImplFactory: the accessors
// of one device value use one implementation while any of them holds it;
// none for an empty device id or an id that names no value.
// User-interface thread only.
class KxParameterAccessorService
{
public:
    KxParameterAccessorService() = delete;
    static std::shared_ptr<KxParameterAccessorAbstractImpl> implementation(const QString& deviceId,
                                                                           KxParamID::ID paramId);
};
