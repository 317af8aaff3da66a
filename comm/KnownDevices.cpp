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
#include <QSslSocket>
#include <QStandardPaths>

#include <openssl/x509.h>

#include <algorithm>
#include <filesystem>
#include <memory>

namespace {

// How long a caller waits for another writer, and when a lock left by a
// process that died counts as stale.
const int kLockWaitMs = 10000;
const int kStaleLockMs = 30000;
// A million devices fit; anything larger is no store of ours.
const qint64 kMaxStoreBytes = 256 * 1024 * 1024;
// Lost entries named in a problem; the rest are counted.
const int kNamedLosses = 5;
const QLatin1String kDevices("devices");
const QLatin1String kKey("publicKey");
const QLatin1String kFirstSeen("firstSeen");
const QLatin1String kModel("model");
const QLatin1String kName("name");
const QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
const QFileDevice::Permissions kOthersWrite = QFileDevice::WriteGroup | QFileDevice::WriteOther;

// A line of the file that holds no entry: the document's own braces and its
// "devices" member.
bool frameLine(const QByteArray& line)
{
    return line.startsWith("{\"devices\"")
           || std::all_of(line.cbegin(), line.cend(), [](char c) { return c == '{' || c == '}' || c == ','; });
}

QByteArray entryLine(const KnownDevices::Entry& entry)
{
    const QJsonObject pin{{kKey, entry.digest},
                          {kFirstSeen, entry.firstSeen.toUTC().toString(Qt::ISODate)},
                          {kModel, entry.model},
                          {kName, entry.name}};
    // {"<mac>":{...}} without its outer braces: one member of "devices".
    const QByteArray member = QJsonDocument(QJsonObject{{entry.mac, pin}}).toJson(QJsonDocument::Compact);
    return member.mid(1, member.size() - 2);
}

} // namespace

// The store's lock for the time of one write.
class KnownDevices::Locked
{
public:
    explicit Locked(const QString& path)
        : m_lock(path + QStringLiteral(".lock"))
    {
        m_lock.setStaleLockTime(kStaleLockMs);
        // The folder, when made here, is its owner's alone (as ~/.ssh).
        const QString folder = QFileInfo(path).absolutePath();
        if (!QFileInfo::exists(folder) && QDir().mkpath(folder))
            QFile::setPermissions(folder, kOwnerOnly | QFileDevice::ExeOwner);
        m_locked = m_lock.tryLock(kLockWaitMs);
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

KnownDevices::~KnownDevices()
{
    flush();
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
    // OpenSSL's own certificate, when Qt keeps one: decoding the key again
    // costs more than the handshake that brought it.
    static const bool openSsl = QSslSocket::activeBackend() == QLatin1String("openssl");
    if (openSsl && certificate.handle())
        return digestOfX509(static_cast<const X509*>(certificate.handle()));
    return digestOfDer(certificate.toDer());
}

QString KnownDevices::digestOfDer(const QByteArray& certificateDer)
{
    // libcrypto reads the certificate, whatever its key type (Qt's own key
    // class knows no Ed25519), and writes the SubjectPublicKeyInfo.
    const auto* data = reinterpret_cast<const unsigned char*>(certificateDer.constData());
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(d2i_X509(nullptr, &data, long(certificateDer.size())),
                                                                  &X509_free);
    return digestOfX509(certificate.get());
}

QString KnownDevices::digestOfX509(const x509_st* certificate)
{
    if (!certificate)
        return {};
    unsigned char* spki = nullptr;
    const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &spki);
    if (length <= 0)
        return {};
    const QByteArray digest
        = QCryptographicHash::hash(QByteArrayView(spki, length), QCryptographicHash::Sha256).toBase64();
    OPENSSL_free(spki);
    return QStringLiteral("sha256//") + QString::fromLatin1(digest);
}

bool KnownDevices::validDigest(const QString& digest)
{
    static const QRegularExpression form(QStringLiteral("^sha256//[A-Za-z0-9+/]{43}=$"));
    return form.match(digest).hasMatch();
}

QString KnownDevices::normalMac(const QString& mac)
{
    static const QRegularExpression form(QStringLiteral("^[0-9A-F]{2}([:-][0-9A-F]{2}){5}$"));
    QString upper = mac.trimmed().toUpper();
    if (!form.match(upper).hasMatch())
        return {};
    return upper.replace(QLatin1Char('-'), QLatin1Char(':'));
}

KnownDevices::Stamp KnownDevices::stamp() const
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path file(QFile::encodeName(m_path).toStdString());
    Stamp now;
    const fs::file_status status = fs::status(file, error);
    // A path through a file is no store to start empty, but one that cannot
    // be read.
    if (error == std::errc::not_a_directory || (error && error != std::errc::no_such_file_or_directory)) {
        now.exists = true;
        return now;
    }
    if (!fs::exists(status))
        return now;
    now.exists = true;
    const std::uintmax_t size = fs::file_size(file, error);
    now.size = error ? -1 : qint64(size);
    now.modified = qint64(fs::last_write_time(file, error).time_since_epoch().count());
    return now;
}

// Reads the file again when it changed since this object last read or wrote
// it. False (and the problem said) when it cannot be read at all.
bool KnownDevices::refresh()
{
    const Stamp now = stamp();
    if (m_read && now == m_stamp)
        return true;
    m_read = false;
    if (!now.exists) {
        m_pins.clear();
        m_owners.clear();
        m_damaged = false;
        m_warnings.clear();
    } else {
        QFile file(m_path);
        if (!file.open(QIODevice::ReadOnly)) {
            m_problem = QStringLiteral("cannot read %1: %2").arg(m_path, file.errorString());
            return false;
        }
        const QByteArray bytes = file.read(kMaxStoreBytes + 1);
        if (bytes.size() > kMaxStoreBytes || file.error() != QFileDevice::NoError) {
            m_problem = QStringLiteral("cannot read %1: %2")
                            .arg(m_path, file.error() != QFileDevice::NoError ? file.errorString()
                                                                              : QStringLiteral("it is too large"));
            return false;
        }
        parse(bytes);
        checkPermissions();
    }
    overlayStaged();
    m_stamp = now;
    m_read = true;
    return true;
}

// Keeps every entry that can be read: the document's, or, when it is not
// whole, each line's that still is one.
bool KnownDevices::parse(const QByteArray& bytes)
{
    m_pins.clear();
    m_conflicts.clear();
    QStringList lost;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (bytes.trimmed().isEmpty()) {
        lost << QStringLiteral("it is empty");
    } else if (error.error == QJsonParseError::NoError && document.object().value(kDevices).isObject()) {
        const QJsonObject devices = document.object().value(kDevices).toObject();
        for (auto it = devices.constBegin(); it != devices.constEnd(); ++it) {
            if (!keep(it.key(), it.value()))
                lost << QStringLiteral("entry \"%1\"").arg(it.key().left(40));
        }
    } else {
        lost << (error.error != QJsonParseError::NoError
                     ? QStringLiteral("%1 at byte %2").arg(error.errorString()).arg(error.offset)
                     : QStringLiteral("no \"devices\" object"));
        const QList<QByteArray> lines = bytes.split('\n');
        for (qsizetype i = 0; i < lines.size(); ++i) {
            QByteArray line = lines.at(i).trimmed();
            if (line.endsWith(','))
                line.chop(1);
            if (frameLine(line))
                continue;
            const QJsonObject member = QJsonDocument::fromJson('{' + line + '}').object();
            if (member.size() != 1 || !keep(member.constBegin().key(), member.constBegin().value()))
                lost << QStringLiteral("line %1").arg(i + 1);
        }
    }
    index();
    m_damaged = !lost.isEmpty();
    m_damage.clear();
    if (m_damaged) {
        const qsizetype more = lost.size() - kNamedLosses;
        m_damage = lost.mid(0, kNamedLosses).join(QStringLiteral("; "));
        if (more > 0)
            m_damage += QStringLiteral("; %1 more").arg(more);
        m_problem = QStringLiteral("%1 is damaged (%2); its %3 readable entries are used, and a device it holds no "
                                   "pin for is refused until it is mended or a key is accepted")
                        .arg(m_path, m_damage)
                        .arg(m_pins.size());
    }
    return !m_damaged;
}

bool KnownDevices::keep(const QString& key, const QJsonValue& value)
{
    const QJsonObject pin = value.toObject();
    const Entry entry{normalMac(key), pin.value(kKey).toString(),
                      QDateTime::fromString(pin.value(kFirstSeen).toString(), Qt::ISODate),
                      pin.value(kModel).toString(), pin.value(kName).toString()};
    if (!value.isObject() || entry.mac.isEmpty() || !validDigest(entry.digest))
        return false;
    // One device written twice with two keys: neither can be trusted.
    const auto known = m_pins.constFind(entry.mac);
    if (m_conflicts.contains(entry.mac) || (known != m_pins.cend() && known->digest != entry.digest)) {
        m_pins.remove(entry.mac);
        m_conflicts.insert(entry.mac);
        return false;
    }
    m_pins.insert(entry.mac, entry);
    return true;
}

// The pins staged here stand over what the file says: they are this
// program's operator's latest word.
void KnownDevices::overlayStaged()
{
    if (m_staged.isEmpty())
        return;
    for (const Entry& entry : std::as_const(m_staged)) {
        m_pins.insert(entry.mac, entry);
        m_conflicts.remove(entry.mac);
    }
    index();
}

void KnownDevices::index()
{
    m_owners.clear();
    for (const Entry& entry : std::as_const(m_pins))
        m_owners.insert(entry.digest, entry.mac);
}

void KnownDevices::checkPermissions()
{
    m_warnings.clear();
    const QFileInfo file(m_path);
    const QFileInfo folder(file.absolutePath());
    if (file.permissions() & kOthersWrite)
        m_warnings << QStringLiteral("%1 can be written by others, who could make Corvane trust any key (chmod 600 %1)")
                          .arg(m_path);
    if (folder.permissions() & kOthersWrite)
        m_warnings << QStringLiteral("%1 can be written by others, who could replace the store of known devices "
                                     "(chmod 700 %1)")
                          .arg(folder.absoluteFilePath());
}

KnownDevices::Verdict KnownDevices::check(const QString& mac, const QString& digest, QString* owner)
{
    const QString normal = normalMac(mac);
    if (normal.isEmpty() || !validDigest(digest)) {
        m_problem = QStringLiteral("no MAC address or key digest to check");
        return Verdict::Unusable;
    }
    if (!refresh())
        return Verdict::Unusable;
    const auto pinned = m_pins.constFind(normal);
    if (pinned != m_pins.cend())
        return pinned->digest == digest ? Verdict::Match : Verdict::Mismatch;
    const auto other = m_owners.constFind(digest);
    if (other != m_owners.cend()) {
        if (owner)
            *owner = *other;
        return Verdict::KeyOfAnother;
    }
    // Its pin may be among what was lost.
    return m_damaged ? Verdict::Unusable : Verdict::NoPin;
}

bool KnownDevices::accept(const QList<Entry>& entries)
{
    const QHash<QString, Entry> before = m_staged;
    if (!stage(entries))
        return false;
    // The operator's word also mends a damaged store.
    if (writeStaged(true))
        return true;
    // Not written: this word is not taken at all, as the caller is told.
    const QString problem = m_problem;
    m_staged = before;
    m_read = false;
    refresh();
    m_problem = problem;
    return false;
}

bool KnownDevices::stage(const QList<Entry>& entries)
{
    for (const Entry& entry : entries) {
        if (normalMac(entry.mac).isEmpty() || !validDigest(entry.digest)) {
            m_problem = QStringLiteral("no MAC address or key digest to accept");
            return false;
        }
    }
    if (!refresh())
        return false;
    for (Entry entry : entries) {
        entry.mac = normalMac(entry.mac);
        const auto known = m_pins.constFind(entry.mac);
        if (known != m_pins.cend() && known->digest == entry.digest)
            continue;
        entry.firstSeen = QDateTime::currentDateTimeUtc();
        m_staged.insert(entry.mac, entry);
    }
    overlayStaged();
    return true;
}

bool KnownDevices::flush()
{
    return m_staged.isEmpty() || writeStaged(false);
}

bool KnownDevices::writeStaged(bool mendDamage)
{
    const Locked lock(m_path);
    // Read again under the lock: what another program pinned meanwhile is
    // kept beside this one's.
    if (!readLocked(lock))
        return false;
    return (m_staged.isEmpty() && !(mendDamage && m_damaged)) || write(m_pins);
}

bool KnownDevices::forget(const QString& mac)
{
    const QString wanted = normalMac(mac);
    const Locked lock(m_path);
    if (!readLocked(lock))
        return false;
    m_staged.remove(wanted);
    QHash<QString, Entry> pins = m_pins;
    if (pins.remove(wanted) == 0) {
        m_problem = QStringLiteral("%1 is not a known device").arg(mac);
        return false;
    }
    return write(pins);
}

// Under the lock, for a write: the file as another program may have left it.
bool KnownDevices::readLocked(const Locked& lock)
{
    if (!lock.locked()) {
        m_problem = QStringLiteral("cannot lock %1").arg(m_path);
        return false;
    }
    return refresh();
}

bool KnownDevices::repair()
{
    const Locked lock(m_path);
    if (!readLocked(lock))
        return false;
    return !m_damaged || write(m_pins);
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
    if (!refresh())
        return false;
    const auto pinned = m_pins.constFind(normalMac(mac));
    if (pinned != m_pins.cend())
        found = *pinned;
    return true;
}

QList<KnownDevices::Entry> KnownDevices::entries()
{
    if (!refresh())
        return {};
    QList<Entry> all = m_pins.values();
    std::sort(all.begin(), all.end(), [](const Entry& a, const Entry& b) { return a.mac < b.mac; });
    return all;
}

// Under the lock. A damaged store is copied aside first: what could not be
// read is the operator's to look at.
bool KnownDevices::setDamagedCopyAside()
{
    const QString stem = m_path + QStringLiteral(".damaged-")
                         + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddThhmmss"));
    QString aside = stem;
    for (int n = 2; QFile::exists(aside); ++n)
        aside = stem + QStringLiteral("~%1").arg(n);
    if (!QFile::copy(m_path, aside)) {
        m_problem = QStringLiteral("%1 is damaged and cannot be kept as %2; nothing was written").arg(m_path, aside);
        return false;
    }
    QFile::setPermissions(aside, kOwnerOnly);
    m_problem = QStringLiteral("%1 was damaged (%2); it is kept as %3, and the store was written anew with its "
                               "readable entries")
                    .arg(m_path, m_damage, aside);
    return true;
}

// Under the lock: the whole store, one device per line, by MAC address.
bool KnownDevices::write(const QHash<QString, Entry>& pins)
{
    if (m_damaged && !setDamagedCopyAside())
        return false;
    QList<QString> macs = pins.keys();
    std::sort(macs.begin(), macs.end());
    QByteArray bytes("{\"devices\": {\n");
    for (qsizetype i = 0; i < macs.size(); ++i)
        bytes += entryLine(pins.value(macs.at(i))) + (i + 1 < macs.size() ? ",\n" : "\n");
    bytes += "}}\n";

    QSaveFile file(m_path);
    const auto failed = [this, &file](const QString& why) {
        m_problem = QStringLiteral("cannot write %1: %2; the store is unchanged").arg(m_path, why);
        file.cancelWriting();
        return false;
    };
    if (!file.open(QIODevice::WriteOnly))
        return failed(file.errorString());
    if (!file.setPermissions(kOwnerOnly))
        return failed(file.errorString());
    // A write that fits the buffer fails only when it is flushed, which the
    // commit would not report: each step is checked.
    if (file.write(bytes) != bytes.size() || !file.flush() || file.error() != QFileDevice::NoError)
        return failed(file.errorString());
    if (!file.commit())
        return failed(file.errorString());
    ++m_writes;
    m_staged.clear();
    m_pins = pins;
    index();
    m_damaged = false;
    m_damage.clear();
    m_stamp = stamp();
    m_read = true;
    checkPermissions();
    return true;
}
