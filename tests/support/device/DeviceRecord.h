#pragma once

#include "DeviceFacade.h"

#include <QString>
#include <QVariant>

// What the facade's record of the device `deviceId` holds for `parameter`;
// an invalid QVariant when there is no such record.
inline QVariant recordValue(const DeviceFacade& facade, const QString& deviceId, DeviceParameter parameter)
{
    QVariant value;
    facade.getDeviceParameter(deviceId, parameter, value, DeviceFindPolicy::ById);
    return value;
}
