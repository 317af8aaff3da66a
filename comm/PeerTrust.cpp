#include "PeerTrust.h"

#include "DeviceFacade.h"
#include "DeviceParameter.h"
#include "KnownDevices.h"
#include "Logger.h"

#include <QMutexLocker>
#include <QSslCertificate>
#include <QThread>
#include <QTimer>

#include <utility>

bool PeerTrust::pinningWanted()
{
    return qEnvironmentVariable("CORVANE_KEY_PINNING").compare(QLatin1String("off"), Qt::CaseInsensitive) != 0;
}

QString PeerTrust::pinningOffWarning()
{
    return QStringLiteral("key pinning is off (CORVANE_KEY_PINNING=off): the password's code goes to any key, so a "
                          "machine that answers for a device's address receives it");
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

PinnedPeerTrust::PinnedPeerTrust(QString storePath, Devices devices, Refused refused)
    : m_store(storePath)
    , m_devices(std::move(devices))
    , m_refused(std::move(refused))
{
}

std::shared_ptr<PinnedPeerTrust> PinnedPeerTrust::forDevices(const DeviceFacade& facade, Refused refused)
{
    Devices devices;
    devices.identity = [&facade](const QString& deviceId) -> std::optional<Identity> {
        const auto read = [&](DeviceParameter type) {
            QVariant value;
            return facade.getDeviceParameter(deviceId, type, value, DeviceFindPolicy::ById) ? value.toString()
                                                                                            : QString();
        };
        return Identity{deviceId, read(DeviceParameter::ModelName), read(DeviceParameter::HostName)};
    };
    devices.sharing = [&facade](const QString& deviceId, const QString& host) {
        QStringList others = facade.devicesSeenAt(host);
        others.removeAll(deviceId);
        return others;
    };
    return std::make_shared<PinnedPeerTrust>(KnownDevices::defaultPath(), std::move(devices), std::move(refused));
}

PeerTrust::Verdict PinnedPeerTrust::assessLocked(const Identity& device, const QString& host,
                                                 const QString& shownDigest, QString& pinned, QString& other)
{
    if (KnownDevices::normalMac(device.mac).isEmpty() || shownDigest.isEmpty()) {
        CORVANE_LOG(QStringLiteral("%1: %2; the credential is not sent")
                        .arg(host, shownDigest.isEmpty() ? QStringLiteral("the key shown could not be read")
                                                         : QStringLiteral("no device to judge its key for")));
        return Verdict::Unavailable;
    }
    QString owner;
    switch (m_store.check(device.mac, shownDigest, &owner)) {
    case KnownDevices::Verdict::Match:
        return Verdict::Allowed;
    case KnownDevices::Verdict::Mismatch:
        if (const std::optional<KnownDevices::Entry> pin = m_store.find(device.mac))
            pinned = pin->digest;
        return Verdict::KeyChanged;
    case KnownDevices::Verdict::NoPin:
    case KnownDevices::Verdict::KeyOfAnother: {
        // A first contact where two devices claim the address could be
        // either: neither is taken. Asked only here: it looks through every
        // device, and a pinned key needs it not.
        const QStringList sharing = m_devices.sharing ? m_devices.sharing(device.mac, host) : QStringList();
        if (!sharing.isEmpty()) {
            other = sharing.join(QStringLiteral(", "));
            return Verdict::AddressShared;
        }
        if (!owner.isEmpty()) {
            other = owner;
            return Verdict::KeyOfAnother;
        }
        return Verdict::NewKey;
    }
    case KnownDevices::Verdict::Unusable:
        break;
    }
    CORVANE_LOG(QStringLiteral("known devices: %1; the credential is not sent to %2").arg(m_store.problem(), host));
    return Verdict::Unavailable;
}

PeerTrust::Verdict PinnedPeerTrust::assess(const QString& deviceId, const QString& host, const QString& shownDigest,
                                           QString* other)
{
    const Identity device = m_devices.identity ? m_devices.identity(deviceId).value_or(Identity{deviceId, {}, {}})
                                               : Identity{deviceId, {}, {}};
    QString pinned;
    QString others;
    QMutexLocker locker(&m_lock);
    const Verdict verdict = assessLocked(device, host, shownDigest, pinned, others);
    if (other)
        *other = others;
    return verdict;
}

PeerTrust::Verdict PinnedPeerTrust::judge(const QString& deviceId, const QString& host, const QString& shownDigest)
{
    const Identity device = m_devices.identity ? m_devices.identity(deviceId).value_or(Identity{deviceId, {}, {}})
                                               : Identity{deviceId, {}, {}};
    Refusal refusal{device, Verdict::Allowed, host, {}, shownDigest, {}};
    {
        QMutexLocker locker(&m_lock);
        refusal.verdict = assessLocked(device, host, shownDigest, refusal.pinned, refusal.other);
        const QString mac = KnownDevices::normalMac(device.mac);
        if (refusal.verdict == Verdict::Allowed) {
            m_refusals.remove(mac);
            return Verdict::Allowed;
        }
        // A transport that could not read the key keeps the one seen before.
        if (refusal.shown.isEmpty())
            refusal.shown = m_refusals.value(mac).shown;
        if (!mac.isEmpty())
            m_refusals.insert(mac, refusal);
    }
    if (refusal.verdict == Verdict::KeyChanged)
        CORVANE_LOG(QStringLiteral("%1 (%2, %3) shows another key than the one pinned: pinned %4, shown %5; "
                                   "the credential is not sent")
                        .arg(device.name, device.mac, host, refusal.pinned, refusal.shown));
    else if (refusal.verdict != Verdict::Unavailable)
        CORVANE_LOG(QStringLiteral("%1 (%2, %3): key %4 not trusted (%5%6); the credential is not sent")
                        .arg(device.name, device.mac, host, refusal.shown,
                             refusal.verdict == Verdict::NewKey         ? QStringLiteral("not accepted yet")
                             : refusal.verdict == Verdict::KeyOfAnother ? QStringLiteral("pinned to ")
                                                                        : QStringLiteral("address also claimed by "),
                             refusal.other));
    if (m_refused) {
        if (QThread::currentThread() == m_home.thread())
            m_refused(refusal);
        else
            QMetaObject::invokeMethod(
                &m_home, [this, refusal] { m_refused(refusal); }, Qt::QueuedConnection);
    }
    return refusal.verdict;
}

std::optional<PinnedPeerTrust::Refusal> PinnedPeerTrust::refusalOf(const QString& mac) const
{
    QMutexLocker locker(&m_lock);
    const auto it = m_refusals.constFind(KnownDevices::normalMac(mac));
    if (it == m_refusals.cend())
        return std::nullopt;
    return *it;
}

bool PinnedPeerTrust::accept(const QList<KnownDevices::Entry>& entries)
{
    QMutexLocker locker(&m_lock);
    if (!m_store.accept(entries))
        return false;
    for (const KnownDevices::Entry& entry : entries) {
        CORVANE_LOG(QStringLiteral("%1: the key %2 accepted").arg(KnownDevices::normalMac(entry.mac), entry.digest));
        m_refusals.remove(KnownDevices::normalMac(entry.mac));
    }
    return true;
}

bool PinnedPeerTrust::accept(const QString& mac, const QString& digest)
{
    const Identity device
        = m_devices.identity ? m_devices.identity(mac).value_or(Identity{mac, {}, {}}) : Identity{mac, {}, {}};
    QMutexLocker locker(&m_lock);
    if (!m_store.stage({mac, digest, {}, device.model, device.name}))
        return false;
    CORVANE_LOG(QStringLiteral("%1: the key %2 accepted").arg(KnownDevices::normalMac(mac), digest));
    m_refusals.remove(KnownDevices::normalMac(mac));
    if (!m_flushDue) {
        m_flushDue = true;
        QTimer::singleShot(kCoalesceMs, &m_home, [this] { flush(); });
    }
    return true;
}

bool PinnedPeerTrust::flush()
{
    QMutexLocker locker(&m_lock);
    m_flushDue = false;
    if (m_store.flush())
        return true;
    CORVANE_LOG(
        QStringLiteral("known devices: %1; the keys accepted are written when it next can").arg(m_store.problem()));
    return false;
}

bool PinnedPeerTrust::forget(const QString& mac)
{
    QMutexLocker locker(&m_lock);
    m_refusals.remove(KnownDevices::normalMac(mac));
    const bool forgotten = m_store.forget(mac);
    if (forgotten)
        CORVANE_LOG(QStringLiteral("%1: the operator forgot the device's key").arg(KnownDevices::normalMac(mac)));
    return forgotten;
}

bool PinnedPeerTrust::pinOf(const QString& mac, std::optional<KnownDevices::Entry>& pin)
{
    QMutexLocker locker(&m_lock);
    return m_store.lookUp(mac, pin);
}

QString PinnedPeerTrust::problem() const
{
    QMutexLocker locker(&m_lock);
    return m_store.problem();
}

QStringList PinnedPeerTrust::warnings()
{
    QMutexLocker locker(&m_lock);
    return m_store.warnings();
}

int PinnedPeerTrust::storeWrites() const
{
    QMutexLocker locker(&m_lock);
    return m_store.writes();
}
