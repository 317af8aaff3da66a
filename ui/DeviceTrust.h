#pragma once

#include <QObject>

#include <memory>
#include <QString>
#include <QVariantMap>

// The window's way to a device whose key is not the one pinned for it: what
// it showed and what was pinned, and the operator's word on it. Over the
// process's installed trust (Services); with key pinning off there is no
// refusal to show and nothing to accept.
//
// Main thread only.
class DeviceFacade;
class PinnedPeerTrust;

class DeviceTrust : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool pinning READ pinning CONSTANT)

public:
    explicit DeviceTrust(QObject* parent = nullptr);

    // The window's trust over `facade`'s devices: a refused device reads
    // "Identity changed", told once the handshake's handler has returned.
    static std::shared_ptr<PinnedPeerTrust> pinnedFor(DeviceFacade& facade);

    bool pinning() const;

    // {"pinned": digest, "shown": digest (may be empty: not told)} of the
    // device's last refused key; empty when its key was not refused.
    Q_INVOKABLE QVariantMap refusal(const QString& deviceId) const;
    // Pins the key the device was refused with (what the operator was
    // shown), and the device may be logged in to again.
    Q_INVOKABLE bool acceptShownKey(const QString& deviceId);
    // Drops the device's pin: the key it shows next is pinned as at a first
    // contact.
    Q_INVOKABLE bool forget(const QString& deviceId);

private:
    void settled(const QString& deviceId);
};
