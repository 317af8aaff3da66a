#pragma once

#include "KnownDevices.h"

#include <QList>
#include <QSslConfiguration>
#include <QSslError>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QSslCertificate;

// Whether a device's TLS key may be sent the credential. Every connection to
// a device (requests, uploads, the push channel) asks once its TLS handshake
// has shown the key and before any byte of a request goes; a refusal fails
// the handshake. Installed once at start-up by the program; with none
// installed every key is taken, as the devices sign their own certificates.
//
// allows() and pinFor() are called on the thread that owns the connection
// (the main thread); install() before any connection.
class PeerTrust
{
public:
    virtual ~PeerTrust() = default;

    // The key of `certificate`, shown by `host`, may be given the credential.
    virtual bool allows(const QString& host, const QSslCertificate& certificate) = 0;
    // The key pinned for `host` in KnownDevices' digest form, for transports
    // that check it themselves (libcurl); empty when there is none.
    virtual QString pinFor(const QString& host) = 0;

    static void install(std::shared_ptr<PeerTrust> trust);
    static std::shared_ptr<PeerTrust> installed();

    // `base` made so that every certificate, also one a known authority
    // signed, comes to the connection's sslErrors handler and so to allows().
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

    PinnedPeerTrust(QString storePath, Lookup lookup, Refused refused = {});

    bool allows(const QString& host, const QSslCertificate& certificate) override;
    QString pinFor(const QString& host) override;

private:
    KnownDevices m_store;
    Lookup m_lookup;
    Refused m_refused;
};
