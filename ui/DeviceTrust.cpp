#include "DeviceTrust.h"

#include "DeviceFacade.h"
#include "DeviceParameter.h"
#include "KeyProbe.h"
#include "Logger.h"
#include "PeerTrust.h"
#include "Services.h"

DeviceTrust::DeviceTrust(QObject* parent)
    : QObject(parent)
{
}

std::shared_ptr<PinnedPeerTrust> DeviceTrust::pinnedFor(DeviceFacade& facade)
{
    return PinnedPeerTrust::forDevices(facade, [&facade](const PinnedPeerTrust::Refusal& refusal) {
        if (refusal.verdict != PeerTrust::Verdict::KeyChanged)
            return;
        // Posted to the facade: gone with it, never run after it.
        QMetaObject::invokeMethod(
            &facade,
            [&facade, mac = refusal.device.mac] {
                facade.setDeviceParameter(mac, DeviceParameter::IdentityChanged, true, DeviceFindPolicy::ById);
            },
            Qt::QueuedConnection);
    });
}

bool DeviceTrust::pinning() const
{
    return Services::process().trust != nullptr;
}

QString DeviceTrust::warning() const
{
    PinnedPeerTrust* trust = Services::process().trust;
    if (!trust)
        return PeerTrust::pinningOffWarning();
    return trust->warnings().join(QLatin1Char('\n'));
}

void DeviceTrust::readKey(const QString& deviceId)
{
    PinnedPeerTrust* trust = Services::process().trust;
    DeviceFacade* facade = Services::process().facade;
    QVariant address;
    if (!trust || !facade
        || !facade->getDeviceParameter(deviceId, DeviceParameter::IpAddress, address, DeviceFindPolicy::ById)) {
        QMetaObject::invokeMethod(
            this,
            [this, deviceId, pinning = trust != nullptr] {
                Q_EMIT keyRead(deviceId, QStringLiteral("unread"), {},
                               pinning ? QStringLiteral("no such device") : QStringLiteral("key pinning is off"));
            },
            Qt::QueuedConnection);
        return;
    }
    auto* probe = new KeyProbe(this);
    const QString host = address.toString();
    connect(probe, &KeyProbe::read, this, [this, probe, deviceId, host](const QString& digest, const QString& why) {
        probe->deleteLater();
        PinnedPeerTrust* current = Services::process().trust;
        if (digest.isEmpty() || !current) {
            CORVANE_LOG(QStringLiteral("key of %1 not read: %2").arg(deviceId, why));
            Q_EMIT keyRead(deviceId, QStringLiteral("unread"), {}, why);
            return;
        }
        QString other;
        QString state;
        QString detail;
        switch (current->assess(deviceId, host, digest, &other)) {
        case PeerTrust::Verdict::Allowed:
            state = QStringLiteral("known");
            break;
        case PeerTrust::Verdict::NewKey:
            state = QStringLiteral("new");
            break;
        case PeerTrust::Verdict::KeyChanged: {
            state = QStringLiteral("changed");
            std::optional<KnownDevices::Entry> pin;
            if (current->pinOf(deviceId, pin) && pin)
                detail = pin->digest;
            break;
        }
        case PeerTrust::Verdict::KeyOfAnother:
            state = QStringLiteral("other");
            detail = other;
            break;
        case PeerTrust::Verdict::AddressShared:
            state = QStringLiteral("shared");
            detail = other;
            break;
        case PeerTrust::Verdict::Unavailable:
            state = QStringLiteral("unavailable");
            detail = current->problem();
            break;
        }
        CORVANE_LOG(QStringLiteral("key of %1 read: %2 %3").arg(deviceId, state, digest));
        Q_EMIT keyRead(deviceId, state, digest, detail);
    });
    probe->start(host);
}

namespace {

// The operator's word on a key they were shown, taken when the trust still
// judges it as then: the store or the devices may have changed meanwhile.
bool acceptJudged(const QString& deviceId, const QString& digest, PeerTrust::Verdict shown)
{
    PinnedPeerTrust* trust = Services::process().trust;
    DeviceFacade* facade = Services::process().facade;
    QVariant address;
    if (!trust || !facade
        || !facade->getDeviceParameter(deviceId, DeviceParameter::IpAddress, address, DeviceFindPolicy::ById))
        return false;
    const PeerTrust::Verdict now = trust->assess(deviceId, address.toString(), digest);
    // Taken already (a second try after a wrong password): nothing to do.
    if (now == PeerTrust::Verdict::Allowed)
        return true;
    return now == shown && trust->accept(deviceId, digest);
}

} // namespace

bool DeviceTrust::acceptNewKey(const QString& deviceId, const QString& digest)
{
    return acceptJudged(deviceId, digest, PeerTrust::Verdict::NewKey);
}

bool DeviceTrust::acceptChangedKey(const QString& deviceId, const QString& digest)
{
    if (!acceptJudged(deviceId, digest, PeerTrust::Verdict::KeyChanged))
        return false;
    settled(deviceId);
    return true;
}

QVariantMap DeviceTrust::refusal(const QString& deviceId) const
{
    PinnedPeerTrust* trust = Services::process().trust;
    const std::optional<PinnedPeerTrust::Refusal> refused = trust ? trust->refusalOf(deviceId) : std::nullopt;
    if (!refused || refused->verdict != PeerTrust::Verdict::KeyChanged)
        return {};
    return {{QStringLiteral("pinned"), refused->pinned}, {QStringLiteral("shown"), refused->shown}};
}

bool DeviceTrust::acceptShownKey(const QString& deviceId)
{
    PinnedPeerTrust* trust = Services::process().trust;
    const std::optional<PinnedPeerTrust::Refusal> refused = trust ? trust->refusalOf(deviceId) : std::nullopt;
    // Only a key the operator saw is taken; one not told is met again first.
    if (!refused || refused->verdict != PeerTrust::Verdict::KeyChanged || refused->shown.isEmpty()
        || !trust->accept(deviceId, refused->shown))
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
