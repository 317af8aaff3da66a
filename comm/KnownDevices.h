#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

class QJsonValue;
class QSslCertificate;
struct x509_st;

// The devices this user has met, as ssh's known_hosts keeps hosts: each by
// its MAC address with the digest of the public key the operator accepted
// for it, when that was, and its model and name then. One file in the
// user's configuration folder, shared by the window and corvanectl, written
// one device per line and readable only by its owner.
//
// Reading: the file is parsed again only when its size or modification time
// changed, so that a check costs a file status and a look-up whatever the
// store's size. A file that is not whole keeps every entry that can still be
// read; the others are named in problem() (by line or by key) and the store
// counts as damaged: a device it holds no pin for is refused (Unusable),
// since its pin may be among the lost lines, until the operator's word on a
// key writes the store again (the damaged file is then kept beside it as
// "<file>.damaged-<time>").
//
// Writing: only the operator's word writes (accept, forget), under a lock
// file beside the store, after reading again what another program may have
// written meanwhile, and in one step (a crash leaves the old file or the new
// one). Every step of a write is checked: a full disk leaves the old store
// in place and the call false. Several pins go in one write. Pins that come
// one at a time (a batch login's first contacts) are staged: checked against
// at once, written together by flush(), and at the latest when the object
// goes; a write that failed keeps them staged for the next.
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
        Match, // the key is the one pinned for the device
        Mismatch, // another key than the pinned one: the credential must not go
        NoPin, // no key is pinned for the device, and this one is no other's
        KeyOfAnother, // no key is pinned for the device, and this one is another device's
        Unusable, // the store cannot be read, or is damaged and holds no pin for the device: see problem()
    };

    explicit KnownDevices(const QString& path = defaultPath());
    // Writes what is staged.
    ~KnownDevices();
    KnownDevices(const KnownDevices&) = delete;
    KnownDevices& operator=(const KnownDevices&) = delete;

    // "<configuration folder>/corvane/known-devices.json".
    static QString defaultPath();
    QString path() const { return m_path; }

    // "sha256//" and the base64 of SHA-256 over the certificate's
    // SubjectPublicKeyInfo, for any type of key (RSA, ECDSA, Ed25519): the
    // form libcurl's public-key pinning takes. Empty for a null or
    // unreadable certificate.
    static QString digestOf(const QSslCertificate& certificate);
    static QString digestOfDer(const QByteArray& certificateDer);
    // The same of a certificate libcrypto holds already (a connection's
    // peer): nothing is decoded again.
    static QString digestOfX509(const x509_st* certificate);
    static bool validDigest(const QString& digest);

    // The MAC address in the store's form (upper case, colons); empty when
    // `mac` is none.
    static QString normalMac(const QString& mac);

    // Compares `digest` with the pin of `mac`; writes nothing. For
    // KeyOfAnother, `owner` gets the device the key is pinned to.
    Verdict check(const QString& mac, const QString& digest, QString* owner = nullptr);

    // Pins each entry's digest for its MAC address whatever was pinned before
    // (the operator's word), in one write; false when the store could not
    // be read or written (nothing changed then).
    bool accept(const QList<Entry>& entries);
    bool accept(const Entry& entry) { return accept(QList<Entry>{entry}); }
    // The same word, written later (flush()): checks see the pins at once.
    // False when the store could not be read (nothing staged then).
    bool stage(const QList<Entry>& entries);
    bool stage(const Entry& entry) { return stage(QList<Entry>{entry}); }
    // Writes the staged pins in one write, merged with what another program
    // wrote meanwhile; true when none is left staged.
    bool flush();
    int staged() const { return int(m_staged.size()); }
    // Drops the pin; false when there was none or the store failed.
    bool forget(const QString& mac);
    // Writes a damaged store anew with the entries that can still be read
    // (the damaged file kept beside it); true when it is whole afterwards.
    bool repair();

    std::optional<Entry> find(const QString& mac);
    // The same, false when the store could not be read (see problem()).
    bool lookUp(const QString& mac, std::optional<Entry>& found);
    // Every pin, by MAC address.
    QList<Entry> entries();

    // Whether the store as last read lost entries (see the class comment).
    bool damaged() const { return m_damaged; }
    // What went wrong last (a damaged file, a lock not taken, a write
    // refused), or empty.
    QString problem() const { return m_problem; }
    // Why the store is unsafe to rely on, though it can be used: it or its
    // folder can be written by others.
    QStringList warnings()
    {
        refresh();
        return m_warnings;
    }
    // How many times this object wrote the file.
    int writes() const { return m_writes; }

private:
    // What tells a changed file from the one read last.
    struct Stamp
    {
        bool exists = false;
        qint64 size = -1;
        qint64 modified = 0; // nanoseconds
        bool operator==(const Stamp& other) const
        {
            return exists == other.exists && size == other.size && modified == other.modified;
        }
    };
    class Locked;

    Stamp stamp() const;
    bool refresh();
    void overlayStaged();
    bool readLocked(const Locked& lock);
    bool parse(const QByteArray& bytes);
    bool keep(const QString& key, const QJsonValue& value);
    void index();
    void checkPermissions();
    bool writeStaged(bool mendDamage);
    bool write(const QHash<QString, Entry>& pins);
    bool setDamagedCopyAside();

    QString m_path;
    QString m_problem;
    QStringList m_warnings;
    // The file as this object last read or wrote it.
    Stamp m_stamp;
    bool m_read = false;
    bool m_damaged = false;
    QString m_damage; // what was lost, for problem()
    QHash<QString, Entry> m_pins; // by normal MAC, the staged ones among them
    QHash<QString, Entry> m_staged; // accepted here, not written yet
    QSet<QString> m_conflicts; // MACs written with two keys: none is kept
    QHash<QString, QString> m_owners; // a device by its pinned digest
    int m_writes = 0;
};
