#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>

#include <memory>

class DeviceFacade;
class PinnedPeerTrust;

// The window's way to a device's key before and after the password goes: the
// key a device shows now and what the trust makes of it (read in a handshake
// that sends nothing), the operator's word on it, and what a refused device
// showed. Over the process's trust (Services); with key pinning off there is
// nothing to read, accept or refuse, and `warning` says so.
//
// Main thread only.
class DeviceTrust : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool pinning READ pinning CONSTANT)
    // What the operator must know about the trust itself (pinning off, a
    // store others can write); empty when nothing.
    Q_PROPERTY(QString warning READ warning CONSTANT)

public:
    explicit DeviceTrust(QObject* parent = nullptr);

    // The window's trust over `facade`'s devices: a device refused for
    // another key than its pin reads "Identity changed", told once the
    // handshake's handler has returned.
    static std::shared_ptr<PinnedPeerTrust> pinnedFor(DeviceFacade& facade);

    bool pinning() const;
    QString warning() const;

    // Reads the key the device shows now; keyRead comes once with what it
    // is: "known" (its pin), "new" (no pin: logging in pins it), "changed"
    // (another key than its pin), "other" (another device's pin), "shared"
    // (no pin, and another device claims its address), "unavailable" (the
    // pins cannot be read), "unread" (no handshake; `detail` says why).
    // `detail` names the other device for "other" and "shared", the pin for
    // "changed", and the store's problem for "unavailable".
    Q_INVOKABLE void readKey(const QString& deviceId);
    // The operator's word on a new key they were shown: pinned when the
    // device still has no pin and `digest` is no other device's.
    Q_INVOKABLE bool acceptNewKey(const QString& deviceId, const QString& digest);

    // {"pinned": digest, "shown": digest (may be empty: not told)} of the
    // device's last refusal for another key than its pin; empty otherwise.
    Q_INVOKABLE QVariantMap refusal(const QString& deviceId) const;
    // Pins the key the device was refused with (what the operator was
    // shown), and the device may be logged in to again.
    Q_INVOKABLE bool acceptShownKey(const QString& deviceId);
    // The same for a changed key read by readKey: pinned when `digest` is
    // still not the device's pin and no other device's.
    Q_INVOKABLE bool acceptChangedKey(const QString& deviceId, const QString& digest);
    // Drops the device's pin: the key it shows next is new again.
    Q_INVOKABLE bool forget(const QString& deviceId);

Q_SIGNALS:
    void keyRead(const QString& deviceId, const QString& state, const QString& digest, const QString& detail);

private:
    void settled(const QString& deviceId);
};
