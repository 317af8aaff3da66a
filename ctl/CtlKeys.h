#pragma once

#include "CtlDevices.h"

#include <QCommandLineParser>
#include <QHash>
#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

class PinnedPeerTrust;
struct Services;
class QTextStream;

namespace Ctl {

// What a command does with a device whose key no pin names, before any
// credential goes: as ssh's StrictHostKeyChecking, ask on a terminal and
// refuse without one, unless the operator said to take new keys.
enum class NewKeys {
    Ask, // list them on the terminal and ask once
    Accept, // --trust-new, CORVANE_TRUST=accept-new: pin them and say so
    Refuse, // no terminal, or CORVANE_TRUST=refuse: leave them out ("new key")
};

void addNewKeyOptions(QCommandLineParser& parser);
// --trust-new, else CORVANE_TRUST, else Ask on a terminal and Refuse without
// one; nullopt with the reason on `err` for a CORVANE_TRUST it does not know.
std::optional<NewKeys> readNewKeys(const QCommandLineParser& parser, const QString& command, QTextStream& err);

// What became of a device's key before any credential went.
struct KeyCheck
{
    enum class State {
        Unchecked, // key pinning is off
        Known, // a pin names the device; its connections must show that key
        New, // no pin named it; the operator's word pinned the key it showed now
        Refused, // no credential goes to it: `code` says why
    };
    State state = State::Unchecked;
    int32_t code = 0; // Refused: one of HttpAccessManager's key refusals
    QString digest; // the key it showed, when it was read
    QString detail; // Refused: the device the key or the address belongs to, or why it could not be read

    // The report's word: "known", "new" (also for a new key refused), or
    // "unchecked".
    QString word() const;
};

// The key a device showed in a handshake that sent nothing: its digest, or
// empty and why.
struct ShownKey
{
    QString digest;
    QString why;
};

// Reads the keys of `devices`, several at a time, each within
// KeyProbe::kDefaultTimeoutMs. By MAC address.
QHash<QString, ShownKey> readKeys(const QList<DeviceIdentity>& devices);

// Judges keys that were read, as a connection would: Known (its pin), New (no
// pin, and nothing speaks against taking it: not pinned yet), or Refused
// (said on `err`). Two devices met first with one key are both refused.
QHash<QString, KeyCheck> judgeShownKeys(PinnedPeerTrust& trust, const QList<DeviceIdentity>& devices,
                                        const QHash<QString, ShownKey>& shown, const QString& command,
                                        QTextStream& err);
// Pins every New key of `keys` in one write and says each on `err` ("<said>:
// MAC name digest"); false when the store could not be written (they are
// then Refused, the store's problem said).
bool pinNewKeys(PinnedPeerTrust& trust, const QList<DeviceIdentity>& devices, QHash<QString, KeyCheck>& keys,
                const QString& said, QTextStream& err);

// Settles every device's key as `newKeys` says, before the logins: devices
// with a pin are Known (their connections are judged as they go), the others
// have their keys read and, when the operator's word is there, pinned in one
// write and said on `err` ("pinned at first contact: ..."). A new key is
// never taken where another device claims the address or the key is another
// device's pin. By MAC address.
QHash<QString, KeyCheck> settleKeys(const Services& services, const QList<DeviceIdentity>& devices, NewKeys newKeys,
                                    const QString& command, QTextStream& err);

// The devices whose key was not refused, in their order.
QList<DeviceIdentity> trustedDevices(const QList<DeviceIdentity>& devices, const QHash<QString, KeyCheck>& keys);
// The refused devices' logins, as failed with their refusal.
void addRefusals(const QHash<QString, KeyCheck>& keys, QHash<QString, Login>& logins);

} // namespace Ctl
