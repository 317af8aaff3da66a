#pragma once

#include "KxMeterID.h"

#include <QString>

#include <memory>

class KxMeterDataAccessorAbstractImpl;

// The process-wide sharing of meter implementations, by device id and then
// by meter id, made by KxMeterDataAccessorImplFactory: the accessors of one
// meter use one implementation while any of them holds it; none for an empty
// device id or an id that names no meter. User-interface thread only.
class KxMeterDataAccessorService
{
public:
    KxMeterDataAccessorService() = delete;
    static std::shared_ptr<KxMeterDataAccessorAbstractImpl> implementation(const QString& deviceId,
                                                                           KxMeterID::ID meterId);
};
