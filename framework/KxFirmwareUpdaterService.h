#pragma once

#include <QString>

#include <memory>

class KxFirmwareUpdaterAbstractImpl;

// The process-wide sharing of firmware-updater implementations by device id,
// made by KxFirmwareUpdaterImplFactory: the updaters of one device use one
// implementation while any of them holds it; none for an empty id.
// User-interface thread only.
class KxFirmwareUpdaterService
{
public:
    KxFirmwareUpdaterService() = delete;
    static std::shared_ptr<KxFirmwareUpdaterAbstractImpl> implementation(const QString& deviceId);
};
