#pragma once

#include "KnownDevices.h"

#include <QHash>
#include <QList>
#include <QSslConfiguration>
#include <QSslError>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class DeviceFacade;
class QSslCertificate;

// Whether a device's TLS key may be sent the credential. Every connection to
// a device (requests, uploads, the push channel) asks once its TLS handshake
// has shown the key and before any byte of a request goes; a refusal fails
// the handshake. Installed once at start-up by the program; with none
// installed every key is taken, as the devices sign their own certificates.
//
// judge() and pinFor() are called on the thread that owns the connection
// (the main thread); install() before any connection.
class PeerTrust
{
public:
    enum class Verdict {
        Allowed, // the key may be given the credential
        KeyChanged, // another key than the one pinned for the device
        Unavailable, // the pins cannot be read or kept: nothing can be compared
    };

    virtual ~PeerTrust() = default;

    // Whether the key of `certificate`, shown by `host`, may be given the
    // credential.
    virtual Verdict judge(const QString& host, const QSslCertificate& certificate) = 0;
    // The key pinned for `host` in KnownDevices' digest form, for transports
    // that check it themselves (libcurl): empty when there is none, nullopt
    // when the pins cannot be read (nothing may go).
    virtual std::optional<QString> pinFor(const QString& host) = 0;
    // A transport that checked the pin itself found another key at `host`
    // (its shown key unknown here).
    virtual void refusedElsewhere(const QString& host) { Q_UNUSED(host) }

    static void install(std::shared_ptr<PeerTrust> trust);
    // Key pinning is wanted unless the environment's CORVANE_KEY_PINNING is
    // "off" (any case).
    static bool pinningWanted();
    static std::shared_ptr<PeerTrust> installed();

    // `base` made so that every certificate, also one a known authority
    // signed, comes to the connection's sslErrors handler and so to judge().
    static QSslConfiguration everyKeyAsked(QSslConfiguration base);
    // The certificate a handshake showed: the connection's peer certificate,
    // or else the one its errors name.
    static QSslCertificate shownIn(const QSslConfiguration& connection, const QList<QSslError>& errors);
};

// The trust of KnownDevices: a device's key is pinned at first contact and
// must match its pin afterwards. A device is known by its MAC address, which
// `lookup` gives for an address (with its model and name, kept with the
// pin); a host that is no device it knows is not checked.
class PinnedPeerTrust : public PeerTrust
{
public:
    struct Identity
    {
        QString mac;
        QString model;
        QString name;
    };
    using Lookup = std::function<std::optional<Identity>(const QString& host)>;
    // Told of a refused key: the device, its pinned and its shown digest.
    using Refused
        = std::function<void(const QString& host, const Identity& device, const QString& pinned, const QString& shown)>;

    // What a device showed when its key was last refused.
    struct Refusal
    {
        Identity device;
        QString pinned;
        QString shown; // empty when the transport did not tell it
    };

    PinnedPeerTrust(QString storePath, Lookup lookup, Refused refused = {});
    // The trust of a program's devices: the user's store, the devices
    // `facade` knows (by their address; their id is the MAC address).
    static std::shared_ptr<PinnedPeerTrust> forDevices(const DeviceFacade& facade, Refused refused = {});

    Verdict judge(const QString& host, const QSslCertificate& certificate) override;
    std::optional<QString> pinFor(const QString& host) override;
    void refusedElsewhere(const QString& host) override;

    // The last refusal of the device with this MAC address since its key
    // last matched, or was accepted or forgotten here.
    std::optional<Refusal> refusalOf(const QString& mac) const;
    // The operator's word on a refused device: pins `digest` (what they were
    // shown), or forgets the device so that its next contact pins anew.
    bool accept(const QString& mac, const QString& digest);
    bool forget(const QString& mac);
    KnownDevices& store() { return m_store; }

private:
    void refuse(const QString& host, const Identity& device, const QString& shown);

    KnownDevices m_store;
    Lookup m_lookup;
    Refused m_refused;
    QHash<QString, Refusal> m_refusals; // by normal MAC
};
