#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

class QSslCertificate;

// The devices this user has met, as ssh's known_hosts keeps hosts: each by
// its MAC address with the digest of the public key it showed at first
// contact, when that was, and its model and name then. One file in the
// user's configuration folder, shared by the window and corvanectl.
//
// Every call takes a lock file beside the store, reads the file (parsing it
// again only when its bytes changed since this object last read or wrote
// it), and writes it back whole,
// so that the window and a corvanectl run (or two of either) that pin
// devices at once lose no entry; a write replaces the file in one
// step (a crash leaves the old file or the new one). A file that cannot be
// read as a store is renamed aside ("<file>.damaged-<time>"), never emptied
// in place, and problem() says where it went.
//
// Not thread-safe as an object; separate objects (threads, processes) may
// use one file at once.
class KnownDevices
{
public:
    struct Entry
    {
        QString mac; // "02:00:0A:D5:00:0A"
        QString digest; // digestOf()
        QDateTime firstSeen; // UTC
        QString model;
        QString name;
    };

    enum class Verdict {
        Pinned, // first contact: the key is now the device's
        Match, // the key is the pinned one
        Mismatch, // another key than the pinned one: the credential must not go
        Unusable, // the store could not be read or written: see problem()
    };

    explicit KnownDevices(const QString& path = defaultPath());

    // "<configuration folder>/corvane/known-devices.json".
    static QString defaultPath();
    QString path() const { return m_path; }

    // "sha256//" and the base64 of SHA-256 over the certificate's
    // SubjectPublicKeyInfo: the form libcurl's public-key pinning takes.
    // Empty for a null certificate.
    static QString digestOf(const QSslCertificate& certificate);

    // The MAC address in the store's form (upper case, colons); empty when
    // `mac` is none.
    static QString normalMac(const QString& mac);

    // Compares `seen.digest` with the pin of `seen.mac`, pinning it (with
    // `seen`'s model and name and the time now) when there is none.
    Verdict check(const Entry& seen);

    // Pins `digest` for `mac` whatever was pinned before (the operator's
    // word); false when the store could not be written.
    bool accept(const Entry& entry);
    // Drops the pin; false when there was none or the store failed.
    bool forget(const QString& mac);

    std::optional<Entry> find(const QString& mac);
    // The same, false when the store could not be read (see problem()).
    bool lookUp(const QString& mac, std::optional<Entry>& found);
    // Every pin, by MAC address.
    QList<Entry> entries();

    // What went wrong last (a damaged file set aside, a lock not taken, a
    // write refused), or empty.
    QString problem() const { return m_problem; }

private:
    class Locked;
    bool load(const Locked& lock, QList<Entry>& entries);
    bool read(QList<Entry>& entries);
    bool write(const QList<Entry>& entries);

    QString m_path;
    QString m_problem;
    // The file's bytes as this object last read or wrote them, and the
    // entries they hold.
    QByteArray m_bytes;
    QList<Entry> m_entries;
};
