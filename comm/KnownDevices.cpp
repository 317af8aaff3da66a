#include "KnownDevices.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QStandardPaths>

#include <algorithm>

namespace {

// How long a caller waits for another writer, and when a lock left by a
// process that died counts as stale.
const int kLockWaitMs = 10000;
const int kStaleLockMs = 30000;
const QLatin1String kDevices("devices");
const QLatin1String kKey("publicKey");
const QLatin1String kFirstSeen("firstSeen");
const QLatin1String kModel("model");
const QLatin1String kName("name");

bool validDigest(const QString& digest)
{
    static const QRegularExpression form(QStringLiteral("^sha256//[A-Za-z0-9+/]{43}=$"));
    return form.match(digest).hasMatch();
}

} // namespace

// The store's lock for the time of one call.
class KnownDevices::Locked
{
public:
    explicit Locked(const QString& path)
        : m_lock(path + QStringLiteral(".lock"))
    {
        m_lock.setStaleLockTime(kStaleLockMs);
        m_locked = QDir().mkpath(QFileInfo(path).absolutePath()) && m_lock.tryLock(kLockWaitMs);
    }
    bool locked() const { return m_locked; }

private:
    QLockFile m_lock;
    bool m_locked = false;
};

KnownDevices::KnownDevices(const QString& path)
    : m_path(path)
{
}

QString KnownDevices::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/corvane/known-devices.json");
}

QString KnownDevices::digestOf(const QSslCertificate& certificate)
{
    if (certificate.isNull())
        return {};
    // A public key's DER form is its SubjectPublicKeyInfo.
    const QByteArray spki = certificate.publicKey().toDer();
    if (spki.isEmpty())
        return {};
    return QStringLiteral("sha256//")
           + QString::fromLatin1(QCryptographicHash::hash(spki, QCryptographicHash::Sha256).toBase64());
}

QString KnownDevices::normalMac(const QString& mac)
{
    static const QRegularExpression form(QStringLiteral("^[0-9A-F]{2}([:-][0-9A-F]{2}){5}$"));
    QString upper = mac.trimmed().toUpper();
    if (!form.match(upper).hasMatch())
        return {};
    return upper.replace(QLatin1Char('-'), QLatin1Char(':'));
}

KnownDevices::Verdict KnownDevices::check(const Entry& seen)
{
    const QString mac = normalMac(seen.mac);
    if (mac.isEmpty() || !validDigest(seen.digest)) {
        m_problem = QStringLiteral("no MAC address or key digest to check");
        return Verdict::Unusable;
    }
    const Locked lock(m_path);
    QList<Entry> all;
    if (!load(lock, all))
        return Verdict::Unusable;
    const auto pinned = std::find_if(all.cbegin(), all.cend(), [&mac](const Entry& e) { return e.mac == mac; });
    if (pinned != all.cend())
        return pinned->digest == seen.digest ? Verdict::Match : Verdict::Mismatch;
    Entry entry = seen;
    entry.mac = mac;
    entry.firstSeen = QDateTime::currentDateTimeUtc();
    all.append(entry);
    return write(all) ? Verdict::Pinned : Verdict::Unusable;
}

bool KnownDevices::accept(const Entry& entry)
{
    const QString mac = normalMac(entry.mac);
    if (mac.isEmpty() || !validDigest(entry.digest)) {
        m_problem = QStringLiteral("no MAC address or key digest to accept");
        return false;
    }
    const Locked lock(m_path);
    QList<Entry> all;
    if (!load(lock, all))
        return false;
    all.erase(std::remove_if(all.begin(), all.end(), [&mac](const Entry& e) { return e.mac == mac; }), all.end());
    Entry accepted = entry;
    accepted.mac = mac;
    accepted.firstSeen = QDateTime::currentDateTimeUtc();
    all.append(accepted);
    return write(all);
}

bool KnownDevices::forget(const QString& mac)
{
    const QString wanted = normalMac(mac);
    const Locked lock(m_path);
    QList<Entry> all;
    if (!load(lock, all))
        return false;
    const auto kept = std::remove_if(all.begin(), all.end(), [&wanted](const Entry& e) { return e.mac == wanted; });
    if (kept == all.end()) {
        m_problem = QStringLiteral("%1 is not a known device").arg(mac);
        return false;
    }
    all.erase(kept, all.end());
    return write(all);
}

std::optional<KnownDevices::Entry> KnownDevices::find(const QString& mac)
{
    std::optional<Entry> found;
    lookUp(mac, found);
    return found;
}

bool KnownDevices::lookUp(const QString& mac, std::optional<Entry>& found)
{
    found.reset();
    const QString wanted = normalMac(mac);
    const Locked lock(m_path);
    QList<Entry> all;
    if (!load(lock, all))
        return false;
    for (const Entry& entry : std::as_const(all)) {
        if (entry.mac == wanted)
            found = entry;
    }
    return true;
}

QList<KnownDevices::Entry> KnownDevices::entries()
{
    const Locked lock(m_path);
    QList<Entry> all;
    if (!load(lock, all))
        return {};
    std::sort(all.begin(), all.end(), [](const Entry& a, const Entry& b) { return a.mac < b.mac; });
    return all;
}

bool KnownDevices::load(const Locked& lock, QList<Entry>& entries)
{
    if (!lock.locked()) {
        m_problem = QStringLiteral("cannot lock %1").arg(m_path);
        return false;
    }
    return read(entries);
}

// Under the lock. A missing file is an empty store; one that is not a
// store is set aside, and the store starts empty.
bool KnownDevices::read(QList<Entry>& entries)
{
    entries.clear();
    QFile file(m_path);
    if (!file.exists()) {
        m_bytes.clear();
        m_entries.clear();
        return true;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        m_problem = QStringLiteral("cannot read %1: %2").arg(m_path, file.errorString());
        return false;
    }
    const QByteArray bytes = file.readAll();
    file.close();
    if (!bytes.isEmpty() && bytes == m_bytes) {
        entries = m_entries;
        return true;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    bool sound = error.error == QJsonParseError::NoError && document.isObject()
                 && document.object().value(kDevices).isObject();
    const QJsonObject devices = document.object().value(kDevices).toObject();
    for (auto it = devices.constBegin(); sound && it != devices.constEnd(); ++it) {
        const QJsonObject pin = it.value().toObject();
        Entry entry{normalMac(it.key()), pin.value(kKey).toString(),
                    QDateTime::fromString(pin.value(kFirstSeen).toString(), Qt::ISODate), pin.value(kModel).toString(),
                    pin.value(kName).toString()};
        sound = !entry.mac.isEmpty() && validDigest(entry.digest);
        entries.append(entry);
    }
    if (sound) {
        m_bytes = bytes;
        m_entries = entries;
        return true;
    }
    entries.clear();
    const QString stem = m_path + QStringLiteral(".damaged-")
                         + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddThhmmss"));
    QString aside = stem;
    for (int n = 2; QFile::exists(aside); ++n)
        aside = stem + QStringLiteral("~%1").arg(n);
    if (!QFile::rename(m_path, aside)) {
        m_problem = QStringLiteral("%1 is damaged and cannot be set aside").arg(m_path);
        return false;
    }
    m_problem = QStringLiteral("%1 was damaged; it is kept as %2 and the store starts empty").arg(m_path, aside);
    return true;
}

bool KnownDevices::write(const QList<Entry>& entries)
{
    QJsonObject devices;
    for (const Entry& entry : entries) {
        devices.insert(entry.mac, QJsonObject{{kKey, entry.digest},
                                              {kFirstSeen, entry.firstSeen.toUTC().toString(Qt::ISODate)},
                                              {kModel, entry.model},
                                              {kName, entry.name}});
    }
    const QByteArray bytes = QJsonDocument(QJsonObject{{kDevices, devices}}).toJson();
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) < 0 || !file.commit()) {
        m_problem = QStringLiteral("cannot write %1: %2").arg(m_path, file.errorString());
        return false;
    }
    m_bytes = bytes;
    m_entries = entries;
    return true;
}
