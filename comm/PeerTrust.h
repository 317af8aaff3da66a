#pragma once

#include "KnownDevices.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QSslConfiguration>
#include <QSslError>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class DeviceFacade;
class QSslCertificate;

// Whether a device's TLS key may be given the credential. Every connection
// to a device (a request, an upload, the push channel) is made for one device,
// named by its id (its MAC address), and asks once its TLS handshake has
// shown the key and before any byte of the request goes; a refusal ends the
// connection there. The key is judged against that device's own pin, never
// against whichever device claims the address. The front end makes the trust
// and hands it to the transports (HttpAccessManager, the push sessions);
// with none every key is taken, as the devices sign their own certificates.
//
// judge() may be called on any thread at once.
class PeerTrust
{
public:
    enum class Verdict {
        Allowed, // the key is the one pinned for the device
        KeyChanged, // another key than the one pinned for the device
        Unavailable, // the pins cannot be read (or may be lost): nothing can be compared
        NewKey, // no key is pinned for the device yet, and nobody accepted this one
        KeyOfAnother, // no key is pinned for the device, and this one is another device's
        AddressShared, // no key is pinned for the device, and another device claims its address
    };

    virtual ~PeerTrust() = default;

    // Whether the key with `shownDigest` (KnownDevices::digestOf), shown at
    // `host` by a connection made for the device `deviceId`, may be given
    // the credential.
    virtual Verdict judge(const QString& deviceId, const QString& host, const QString& shownDigest) = 0;

    // Key pinning is wanted unless the environment's CORVANE_KEY_PINNING is
    // "off" (any case).
    static bool pinningWanted();
    // What a front end says at every start while pinning is off.
    static QString pinningOffWarning();

    // `base` made so that every certificate, also one a known authority
    // signed, comes to the connection's sslErrors handler and so to judge().
    static QSslConfiguration everyKeyAsked(QSslConfiguration base);
    // The certificate a handshake showed: the connection's peer certificate,
    // or else the one its errors name.
    static QSslCertificate shownIn(const QSslConfiguration& connection, const QList<QSslError>& errors);
};

// The trust of KnownDevices: a device's key must be its pin. A key that is
// not pinned yet is refused until the operator accepts it (accept(): the
// window's login, corvanectl's question, --trust-new, trust enroll), and so
// is a key pinned to another device; a device without a pin whose address
// another device claims is refused too, whatever it shows.
class PinnedPeerTrust : public PeerTrust
{
public:
    struct Identity
    {
        QString mac;
        QString model;
        QString name;
    };
    // How the trust sees the program's devices, on any thread: a device by
    // its id, and the other devices discovery sees at an address now.
    struct Devices
    {
        std::function<std::optional<Identity>(const QString& deviceId)> identity;
        std::function<QStringList(const QString& deviceId, const QString& host)> sharing;
    };
    // A refused key, as the trust last saw it.
    struct Refusal
    {
        Identity device;
        Verdict verdict = Verdict::KeyChanged;
        QString host;
        QString pinned; // the device's pin, when it has one
        QString shown; // empty when the key could not be read
        QString other; // KeyOfAnother: the key's device; AddressShared: who else claims the address
    };
    // Told of every refusal, on the thread that made the trust.
    using Refused = std::function<void(const Refusal& refusal)>;

    PinnedPeerTrust(QString storePath, Devices devices = {}, Refused refused = {});
    // The trust of a program's devices: the user's store, the devices
    // `facade` knows.
    static std::shared_ptr<PinnedPeerTrust> forDevices(const DeviceFacade& facade, Refused refused = {});

    Verdict judge(const QString& deviceId, const QString& host, const QString& shownDigest) override;

    // What judge() would say, without hearing it as a refusal (a front end
    // asking the operator about a key it read in a handshake of its own).
    // `other` as in Refusal.
    Verdict assess(const QString& deviceId, const QString& host, const QString& shownDigest, QString* other = nullptr);

    // The last refusal of the device with this MAC address since its key
    // last matched, or was accepted or forgotten here.
    std::optional<Refusal> refusalOf(const QString& mac) const;

    // The operator's word: pins each key (with the device's model and name),
    // in one write of the store.
    bool accept(const QList<KnownDevices::Entry>& entries);
    // One device's key, as a batch login takes them one by one: judged by at
    // once, written with the others that come within kCoalesceMs (on the
    // thread that made the trust), by flush(), or when the trust goes.
    bool accept(const QString& mac, const QString& digest);
    bool flush();
    static constexpr int kCoalesceMs = 1000;
    bool forget(const QString& mac);
    // The device's pin; false when the store cannot be read.
    bool pinOf(const QString& mac, std::optional<KnownDevices::Entry>& pin);

    QString problem() const;
    QStringList warnings();
    int storeWrites() const;

private:
    Verdict assessLocked(const Identity& device, const QString& host, const QString& shownDigest, QString& pinned,
                         QString& other);

    mutable QMutex m_lock; // guards the store and the refusals
    KnownDevices m_store;
    const Devices m_devices;
    const Refused m_refused;
    QObject m_home; // refusals are told on its thread
    QHash<QString, Refusal> m_refusals; // by normal MAC
    bool m_flushDue = false;
};
