#include "PeerTrust.h"

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

bool PinnedPeerTrust::allows(const QString& host, const QSslCertificate& certificate)
{
    const std::optional<Identity> device = m_lookup ? m_lookup(host) : std::nullopt;
    if (!device || KnownDevices::normalMac(device->mac).isEmpty()) {
        CORVANE_LOG(QStringLiteral("%1 is no device known by its MAC address; its key is not checked").arg(host));
        return true;
    }
    const QString shown = KnownDevices::digestOf(certificate);
    KnownDevices& store = m_store;
    switch (store.check({device->mac, shown, {}, device->model, device->name})) {
    case KnownDevices::Verdict::Match:
        return true;
    case KnownDevices::Verdict::Pinned:
        CORVANE_LOG(
            QStringLiteral("%1 (%2, %3): key pinned at first contact: %4").arg(device->name, device->mac, host, shown));
        if (!store.problem().isEmpty())
            CORVANE_LOG(QStringLiteral("known devices: %1").arg(store.problem()));
        return true;
    case KnownDevices::Verdict::Mismatch: {
        const std::optional<KnownDevices::Entry> pin = store.find(device->mac);
        const QString pinned = pin ? pin->digest : QString();
        CORVANE_LOG(QStringLiteral("%1 (%2, %3) shows another key than the one pinned: pinned %4, shown %5; "
                                   "the credential is not sent")
                        .arg(device->name, device->mac, host, pinned, shown));
        if (m_refused)
            m_refused(host, *device, pinned, shown);
        return false;
    }
    case KnownDevices::Verdict::Unusable:
        break;
    }
    // Without its store nothing can be compared: the credential waits.
    CORVANE_LOG(QStringLiteral("known devices: %1; the credential is not sent to %2").arg(store.problem(), host));
    return false;
}

QString PinnedPeerTrust::pinFor(const QString& host)
{
    const std::optional<Identity> device = m_lookup ? m_lookup(host) : std::nullopt;
    if (!device)
        return {};
    const std::optional<KnownDevices::Entry> pin = m_store.find(device->mac);
    return pin ? pin->digest : QString();
}
