#include "PeerTrust.h"

#include "DeviceFacade.h"
#include "DeviceParameter.h"
#include "KnownDevices.h"
#include "Logger.h"

#include <QMutex>
#include <QSslCertificate>

#include <utility>

namespace {

QMutex g_lock;
std::shared_ptr<PeerTrust> g_trust;

} // namespace

void PeerTrust::install(std::shared_ptr<PeerTrust> trust)
{
    QMutexLocker locker(&g_lock);
    g_trust = std::move(trust);
}

std::shared_ptr<PeerTrust> PeerTrust::installed()
{
    QMutexLocker locker(&g_lock);
    return g_trust;
}

bool PeerTrust::pinningWanted()
{
    return qEnvironmentVariable("CORVANE_KEY_PINNING").compare(QLatin1String("off"), Qt::CaseInsensitive) != 0;
}

QSslConfiguration PeerTrust::everyKeyAsked(QSslConfiguration base)
{
    // No authority at all: no certificate verifies on its own.
    base.setCaCertificates({});
    base.setPeerVerifyMode(QSslSocket::VerifyPeer);
    return base;
}

QSslCertificate PeerTrust::shownIn(const QSslConfiguration& connection, const QList<QSslError>& errors)
{
    QSslCertificate shown = connection.peerCertificate();
    for (auto it = errors.cbegin(); shown.isNull() && it != errors.cend(); ++it)
        shown = it->certificate();
    return shown;
}

PinnedPeerTrust::PinnedPeerTrust(QString storePath, Lookup lookup, Refused refused)
    : m_store(storePath)
    , m_lookup(std::move(lookup))
    , m_refused(std::move(refused))
{
}

std::shared_ptr<PinnedPeerTrust> PinnedPeerTrust::forDevices(const DeviceFacade& facade, Refused refused)
{
    Lookup lookup = [&facade](const QString& host) -> std::optional<Identity> {
        const auto read = [&](DeviceParameter type) {
            QVariant value;
            return facade.getDeviceParameter(host, type, value, DeviceFindPolicy::ByIpAddress) ? value.toString()
                                                                                               : QString();
        };
        const QString mac = read(DeviceParameter::DeviceId);
        if (mac.isEmpty())
            return std::nullopt;
        return Identity{mac, read(DeviceParameter::ModelName), read(DeviceParameter::HostName)};
    };
    return std::make_shared<PinnedPeerTrust>(KnownDevices::defaultPath(), std::move(lookup), std::move(refused));
}

PeerTrust::Verdict PinnedPeerTrust::judge(const QString& host, const QSslCertificate& certificate)
{
    const std::optional<Identity> device = m_lookup ? m_lookup(host) : std::nullopt;
    if (!device || KnownDevices::normalMac(device->mac).isEmpty()) {
        CORVANE_LOG(QStringLiteral("%1 is no device known by its MAC address; its key is not checked").arg(host));
        return Verdict::Allowed;
    }
    const QString shown = KnownDevices::digestOf(certificate);
    KnownDevices& store = m_store;
    switch (store.check({device->mac, shown, {}, device->model, device->name})) {
    case KnownDevices::Verdict::Match:
        m_refusals.remove(KnownDevices::normalMac(device->mac));
        return Verdict::Allowed;
    case KnownDevices::Verdict::Pinned:
        CORVANE_LOG(
            QStringLiteral("%1 (%2, %3): key pinned at first contact: %4").arg(device->name, device->mac, host, shown));
        if (!store.problem().isEmpty())
            CORVANE_LOG(QStringLiteral("known devices: %1").arg(store.problem()));
        return Verdict::Allowed;
    case KnownDevices::Verdict::Mismatch:
        refuse(host, *device, shown);
        return Verdict::KeyChanged;
    case KnownDevices::Verdict::Unusable:
        break;
    }
    // Without its store nothing can be compared: the credential waits.
    CORVANE_LOG(QStringLiteral("known devices: %1; the credential is not sent to %2").arg(store.problem(), host));
    return Verdict::Unavailable;
}

std::optional<QString> PinnedPeerTrust::pinFor(const QString& host)
{
    const std::optional<Identity> device = m_lookup ? m_lookup(host) : std::nullopt;
    if (!device)
        return QString();
    std::optional<KnownDevices::Entry> pin;
    if (!m_store.lookUp(device->mac, pin)) {
        CORVANE_LOG(QStringLiteral("known devices: %1; nothing is sent to %2").arg(m_store.problem(), host));
        return std::nullopt;
    }
    return pin ? pin->digest : QString();
}

void PinnedPeerTrust::refusedElsewhere(const QString& host)
{
    if (const std::optional<Identity> device = m_lookup ? m_lookup(host) : std::nullopt)
        refuse(host, *device, QString());
}

void PinnedPeerTrust::refuse(const QString& host, const Identity& device, const QString& shown)
{
    const std::optional<KnownDevices::Entry> pin = m_store.find(device.mac);
    const QString pinned = pin ? pin->digest : QString();
    const QString mac = KnownDevices::normalMac(device.mac);
    // A transport that did not tell the key keeps the one seen before.
    const QString known = shown.isEmpty() ? m_refusals.value(mac).shown : shown;
    m_refusals.insert(mac, {device, pinned, known});
    CORVANE_LOG(QStringLiteral("%1 (%2, %3) shows another key than the one pinned: pinned %4, shown %5; "
                               "the credential is not sent")
                    .arg(device.name, device.mac, host, pinned, known.isEmpty() ? QStringLiteral("?") : known));
    if (m_refused)
        m_refused(host, device, pinned, known);
}

std::optional<PinnedPeerTrust::Refusal> PinnedPeerTrust::refusalOf(const QString& mac) const
{
    const auto it = m_refusals.constFind(KnownDevices::normalMac(mac));
    if (it == m_refusals.cend())
        return std::nullopt;
    return *it;
}

bool PinnedPeerTrust::accept(const QString& mac, const QString& digest)
{
    const std::optional<Refusal> refusal = refusalOf(mac);
    KnownDevices::Entry entry{KnownDevices::normalMac(mac), digest, QDateTime::currentDateTimeUtc(), {}, {}};
    if (refusal) {
        entry.model = refusal->device.model;
        entry.name = refusal->device.name;
    }
    if (!m_store.accept(entry))
        return false;
    CORVANE_LOG(QStringLiteral("%1: the operator accepted the key %2").arg(entry.mac, digest));
    m_refusals.remove(entry.mac);
    return true;
}

bool PinnedPeerTrust::forget(const QString& mac)
{
    m_refusals.remove(KnownDevices::normalMac(mac));
    const bool forgotten = m_store.forget(mac);
    if (forgotten)
        CORVANE_LOG(QStringLiteral("%1: the operator forgot the device's key").arg(KnownDevices::normalMac(mac)));
    return forgotten;
}
