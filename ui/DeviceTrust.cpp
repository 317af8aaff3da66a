#include "DeviceTrust.h"

#include "DeviceFacade.h"
#include "DeviceParameter.h"
#include "PeerTrust.h"
#include "Services.h"

DeviceTrust::DeviceTrust(QObject* parent)
    : QObject(parent)
{
}

std::shared_ptr<PinnedPeerTrust> DeviceTrust::pinnedFor(DeviceFacade& facade)
{
    return PinnedPeerTrust::forDevices(
        facade, [&facade](const QString&, const PinnedPeerTrust::Identity& device, const QString&, const QString&) {
            // Posted to the facade: gone with it, never run after it.
            QMetaObject::invokeMethod(
                &facade,
                [&facade, mac = device.mac] {
                    facade.setDeviceParameter(mac, DeviceParameter::IdentityChanged, true, DeviceFindPolicy::ById);
                },
                Qt::QueuedConnection);
        });
}

bool DeviceTrust::pinning() const
{
    return Services::process().trust != nullptr;
}

QVariantMap DeviceTrust::refusal(const QString& deviceId) const
{
    PinnedPeerTrust* trust = Services::process().trust;
    const std::optional<PinnedPeerTrust::Refusal> refused = trust ? trust->refusalOf(deviceId) : std::nullopt;
    if (!refused)
        return {};
    return {{QStringLiteral("pinned"), refused->pinned}, {QStringLiteral("shown"), refused->shown}};
}

bool DeviceTrust::acceptShownKey(const QString& deviceId)
{
    PinnedPeerTrust* trust = Services::process().trust;
    const std::optional<PinnedPeerTrust::Refusal> refused = trust ? trust->refusalOf(deviceId) : std::nullopt;
    // Only a key the operator saw is taken; one not told is met again first.
    if (!refused || refused->shown.isEmpty() || !trust->accept(deviceId, refused->shown))
        return false;
    settled(deviceId);
    return true;
}

bool DeviceTrust::forget(const QString& deviceId)
{
    PinnedPeerTrust* trust = Services::process().trust;
    if (!trust || !trust->forget(deviceId))
        return false;
    settled(deviceId);
    return true;
}

void DeviceTrust::settled(const QString& deviceId)
{
    if (DeviceFacade* facade = Services::process().facade)
        facade->setDeviceParameter(deviceId, DeviceParameter::IdentityChanged, false, DeviceFindPolicy::ById);
}
