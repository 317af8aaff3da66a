#include "CtlKeys.h"

#include "CtlCommon.h"
#include "HttpAccessManager.h"
#include "KeyProbe.h"
#include "PeerTrust.h"
#include "Services.h"
#include "Terminal.h"

#include <QEventLoop>
#include <QTextStream>

#include <cstdio>
#include <functional>

namespace Ctl {

namespace {

// Handshakes under way at once while keys are read.
constexpr int kReadsAtOnce = 32;

// A key that could not be read is refused as new: no pin can vouch for it.
constexpr int32_t kKeyUnread = HttpAccessManager::kKeyNew;

KeyCheck refused(int32_t code, const QString& digest = {}, const QString& detail = {})
{
    return {KeyCheck::State::Refused, code, digest, detail};
}

QString described(const DeviceIdentity& device)
{
    return QStringLiteral("%1 (%2, %3)").arg(printable(device.hostName), device.ipAddress, device.macAddress);
}

} // namespace

void addNewKeyOptions(QCommandLineParser& parser)
{
    parser.addOption({QStringLiteral("trust-new"),
                      QStringLiteral("Pin the key of a device met for the first time and send it the password's code, "
                                     "without asking (also CORVANE_TRUST=accept-new). Without it new keys are asked "
                                     "about on a terminal and left out otherwise.")});
}

std::optional<NewKeys> readNewKeys(const QCommandLineParser& parser, const QString& command, QTextStream& err)
{
    if (parser.isSet(QStringLiteral("trust-new")))
        return NewKeys::Accept;
    const QString chosen = qEnvironmentVariable("CORVANE_TRUST").trimmed().toLower();
    if (chosen == QLatin1String("accept-new"))
        return NewKeys::Accept;
    if (chosen == QLatin1String("refuse"))
        return NewKeys::Refuse;
    if (!chosen.isEmpty() && chosen != QLatin1String("ask")) {
        err << "corvanectl " << command << ": CORVANE_TRUST takes ask, accept-new or refuse, not \""
            << printable(chosen) << "\"\n";
        return std::nullopt;
    }
    return isTerminal(stdin) && isTerminal(stderr) ? NewKeys::Ask : NewKeys::Refuse;
}

QString KeyCheck::word() const
{
    switch (state) {
    case State::Unchecked:
        return QStringLiteral("unchecked");
    case State::Known:
        return QStringLiteral("known");
    case State::New:
        return QStringLiteral("new");
    case State::Refused:
        break;
    }
    if (code == HttpAccessManager::kKeyRefused)
        return QStringLiteral("changed");
    return code == HttpAccessManager::kTrustUnavailable ? QStringLiteral("unknown") : QStringLiteral("new");
}

QHash<QString, ShownKey> readKeys(const QList<DeviceIdentity>& devices)
{
    QHash<QString, ShownKey> shown;
    QEventLoop loop;
    qsizetype next = 0;
    int running = 0;
    std::function<void()> startMore = [&] {
        while (running < kReadsAtOnce && next < devices.size()) {
            const DeviceIdentity& device = devices.at(next++);
            auto* probe = new KeyProbe(&loop);
            ++running;
            QObject::connect(probe, &KeyProbe::read, &loop,
                             [&, probe, mac = device.macAddress](const QString& digest, const QString& why) {
                                 shown.insert(mac, {digest, why});
                                 probe->deleteLater();
                                 --running;
                                 startMore();
                                 if (running == 0)
                                     loop.quit();
                             });
            probe->start(device.ipAddress);
        }
    };
    startMore();
    if (running > 0)
        loop.exec();
    return shown;
}

QHash<QString, KeyCheck> settleKeys(const Services& services, const QList<DeviceIdentity>& devices, NewKeys newKeys,
                                    const QString& command, QTextStream& err)
{
    const QString prefix = QStringLiteral("corvanectl %1: ").arg(command);
    QHash<QString, KeyCheck> keys;
    PinnedPeerTrust* trust = services.trust;
    if (!trust) {
        for (const DeviceIdentity& device : devices)
            keys.insert(device.macAddress, {});
        return keys;
    }
    QList<DeviceIdentity> unpinned;
    for (const DeviceIdentity& device : devices) {
        std::optional<KnownDevices::Entry> pin;
        if (!trust->pinOf(device.macAddress, pin))
            keys.insert(device.macAddress, refused(HttpAccessManager::kTrustUnavailable, {}, trust->problem()));
        else if (pin)
            keys.insert(device.macAddress, {KeyCheck::State::Known, 0, pin->digest, {}});
        else
            unpinned.append(device);
    }
    if (unpinned.isEmpty())
        return keys;
    if (newKeys == NewKeys::Refuse) {
        err << prefix << unpinned.size() << (unpinned.size() == 1 ? " device has" : " devices have")
            << " no pinned key and nothing was sent to them (new key):";
        for (const DeviceIdentity& device : std::as_const(unpinned)) {
            err << "\n  " << described(device);
            keys.insert(device.macAddress, refused(HttpAccessManager::kKeyNew));
        }
        err << "\nPin their keys once, on a network you trust, with 'corvanectl trust enroll', or give --trust-new "
               "(CORVANE_TRUST=accept-new) to take new keys as they come.\n";
        return keys;
    }

    // The keys they show now, judged as a connection would judge them.
    QHash<QString, KeyCheck> judged = judgeShownKeys(*trust, unpinned, readKeys(unpinned), command, err);
    QList<DeviceIdentity> offered;
    for (const DeviceIdentity& device : std::as_const(unpinned)) {
        if (judged.value(device.macAddress).state == KeyCheck::State::New)
            offered.append(device);
    }
    if (newKeys == NewKeys::Ask && !offered.isEmpty()) {
        err << prefix << offered.size() << (offered.size() == 1 ? " device shows a key" : " devices show keys")
            << " not met before:\n";
        for (const DeviceIdentity& device : std::as_const(offered))
            err << "  " << described(device) << "  " << judged.value(device.macAddress).digest << '\n';
        err << "Trust " << (offered.size() == 1 ? "this key" : "these keys")
            << " and send the password's code? Compare them with the devices' own where you can. [y/N] ";
        err.flush();
        char answer[16] = {};
        const bool yes = std::fgets(answer, sizeof answer, stdin) != nullptr && (answer[0] == 'y' || answer[0] == 'Y');
        if (!yes) {
            for (const DeviceIdentity& device : std::as_const(offered)) {
                KeyCheck& key = judged[device.macAddress];
                key = refused(HttpAccessManager::kKeyNew, key.digest, QStringLiteral("not accepted"));
            }
            err << prefix << "nothing was sent to them\n";
        }
    }
    pinNewKeys(*trust, unpinned, judged, QStringLiteral("pinned at first contact"), err);
    keys.insert(judged);
    return keys;
}

QHash<QString, KeyCheck> judgeShownKeys(PinnedPeerTrust& trust, const QList<DeviceIdentity>& devices,
                                        const QHash<QString, ShownKey>& shown, const QString& command, QTextStream& err)
{
    const QString prefix = QStringLiteral("corvanectl %1: ").arg(command);
    QHash<QString, KeyCheck> keys;
    QHash<QString, QString> firstWithKey; // a new digest's first device, by digest
    for (const DeviceIdentity& device : devices) {
        const ShownKey key = shown.value(device.macAddress);
        if (key.digest.isEmpty()) {
            keys.insert(device.macAddress, refused(kKeyUnread, {}, key.why));
            err << prefix << described(device) << ": its key could not be read (" << key.why
                << "); nothing was sent to it\n";
            continue;
        }
        QString other;
        switch (trust.assess(device.macAddress, device.ipAddress, key.digest, &other)) {
        case PeerTrust::Verdict::Allowed:
            keys.insert(device.macAddress, {KeyCheck::State::Known, 0, key.digest, {}});
            continue;
        case PeerTrust::Verdict::NewKey:
            break;
        case PeerTrust::Verdict::AddressShared:
            keys.insert(device.macAddress, refused(HttpAccessManager::kAddressShared, key.digest, other));
            err << prefix << described(device) << ": its address is also claimed by " << other
                << "; a new key is not taken there, and nothing was sent to it\n";
            continue;
        case PeerTrust::Verdict::KeyOfAnother:
            keys.insert(device.macAddress, refused(HttpAccessManager::kKeyOfAnother, key.digest, other));
            err << prefix << described(device) << ": it shows the key pinned to " << other
                << "; nothing was sent to it\n";
            continue;
        case PeerTrust::Verdict::KeyChanged:
            keys.insert(device.macAddress, refused(HttpAccessManager::kKeyRefused, key.digest));
            err << prefix << described(device) << ": identity changed: it shows " << key.digest
                << ", not its pinned key; nothing was sent to it\n";
            continue;
        case PeerTrust::Verdict::Unavailable:
            keys.insert(device.macAddress, refused(HttpAccessManager::kTrustUnavailable, key.digest, trust.problem()));
            continue;
        }
        // Two devices met first with one key: one machine answers for both.
        const auto twin = firstWithKey.constFind(key.digest);
        if (twin != firstWithKey.cend()) {
            keys.insert(*twin, refused(HttpAccessManager::kKeyOfAnother, key.digest, device.macAddress));
            keys.insert(device.macAddress, refused(HttpAccessManager::kKeyOfAnother, key.digest, *twin));
            err << prefix << device.macAddress << " and " << *twin
                << " show one key; neither is taken, and nothing was sent to them\n";
            continue;
        }
        firstWithKey.insert(key.digest, device.macAddress);
        keys.insert(device.macAddress, {KeyCheck::State::New, 0, key.digest, {}});
    }
    return keys;
}

bool pinNewKeys(PinnedPeerTrust& trust, const QList<DeviceIdentity>& devices, QHash<QString, KeyCheck>& keys,
                const QString& said, QTextStream& err)
{
    QList<KnownDevices::Entry> entries;
    for (const DeviceIdentity& device : devices) {
        const KeyCheck& key = keys.value(device.macAddress);
        if (key.state == KeyCheck::State::New)
            entries.append({device.macAddress, key.digest, {}, device.model, device.hostName});
    }
    if (entries.isEmpty())
        return true;
    if (!trust.accept(entries)) {
        err << "corvanectl: the keys could not be pinned: " << trust.problem() << '\n';
        for (const KnownDevices::Entry& entry : std::as_const(entries))
            keys.insert(entry.mac, refused(HttpAccessManager::kTrustUnavailable, entry.digest, trust.problem()));
        return false;
    }
    for (const KnownDevices::Entry& entry : std::as_const(entries))
        err << "corvanectl: " << said << ": " << entry.mac << ' ' << printable(entry.name) << ' ' << entry.digest
            << '\n';
    return true;
}

QList<DeviceIdentity> trustedDevices(const QList<DeviceIdentity>& devices, const QHash<QString, KeyCheck>& keys)
{
    QList<DeviceIdentity> trusted;
    for (const DeviceIdentity& device : devices) {
        if (keys.value(device.macAddress).state != KeyCheck::State::Refused)
            trusted.append(device);
    }
    return trusted;
}

void addRefusals(const QHash<QString, KeyCheck>& keys, QHash<QString, Login>& logins)
{
    for (auto it = keys.cbegin(); it != keys.cend(); ++it) {
        if (it->state == KeyCheck::State::Refused)
            logins[it.key()].result = it->code;
    }
}

} // namespace Ctl
