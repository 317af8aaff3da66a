#pragma once

#include "DeviceFacade.h"
#include "ScannableInterfaces.h"

#include <QCommandLineParser>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <optional>

class Credentials;
class DeviceFacade;
class LoginController;
class QEventLoop;
struct Services;
class QTextStream;

namespace Ctl {

// A discovered device as the commands name it.
struct DeviceIdentity
{
    QString macAddress; // the facade's device id
    QString model;
    QString hostName;
    QString ipAddress;

    // The names an operator may give it: MAC address, IP address, host name.
    QStringList names() const { return {macAddress, ipAddress, hostName}; }
};

// What every command that looks for devices is told: --interface, --seconds,
// --max-devices and --probe.
struct ScanRequest
{
    static constexpr int kDefaultMaxDevices = DeviceFacade::kOperatorDefaultMaxDevices;
    // Probes are sent one after another; a larger block is no local network.
    static constexpr int kMaxProbes = 1024;

    ScannableInterface chosen;
    int seconds = 5;
    int maxDevices = kDefaultMaxDevices;
    QStringList probes; // IPv4 addresses, CIDR blocks expanded
    QStringList models; // --model: only these (any letter case); empty for all

    bool wants(const QString& model) const { return models.isEmpty() || models.contains(model, Qt::CaseInsensitive); }
};

void addScanOptions(QCommandLineParser& parser);
// nullopt with the reason on `err` (for `command`).
std::optional<ScanRequest> readScanOptions(const QCommandLineParser& parser, const QString& command, QTextStream& err);

// A scan for the length of a command: starts it, waits for answers, and
// keeps probing the given addresses (one after another, again and again)
// while it exists, so that devices found by a probe stay listed. Devices
// named by IPv4 address are probed too: one that ignores broadcasts still
// answers a datagram of its own.
class DeviceScan
{
public:
    DeviceScan(DeviceFacade& facade, ScanRequest request, const QStringList& named = {});
    DeviceScan(const DeviceScan&) = delete;
    DeviceScan& operator=(const DeviceScan&) = delete;

    // Starts the scan and runs events until `enough` holds (checked whenever
    // the device list changes; may be empty) or the request's seconds have
    // passed: false with the reason on `err` when the scan cannot start.
    bool run(const std::function<bool()>& enough, QTextStream& err);
    const ScanRequest& request() const { return m_request; }
    // Whether the device table filled up (--max-devices): the devices
    // listed, and the answers of other models, which take room in it too,
    // reach the limit, or a device was seen coming to a full table. Devices
    // that answer past it are not listed, and discovery keeps no count of
    // them: the site may hold more.
    bool tableFull() const;
    // What is known of a full table, for a line on standard error: the
    // limit, the room other models took, whether a device was seen left out.
    QString tableFullText() const;
    // For --all (`names` empty), before anything is sent: a full table is
    // said on `err`, with what becomes of the run. False (nothing to be
    // sent) when it is full and `proceed` is not given. `full` tells whether
    // it was full.
    bool allowsAll(const QStringList& names, bool proceed, const QString& command, QTextStream& err, bool& full) const;
    // The devices that answered, of the models asked for, by IP address.
    QList<DeviceIdentity> devices() const;
    // Why no device answered to `name`: that none did on the interface, that
    // the address answered as a model this program does not work with, or
    // that --model leaves the device out.
    QString whyMissing(const QString& name) const;

private:
    void probeNext();

    DeviceFacade& m_facade;
    ScanRequest m_request;
    QTimer m_probes;
    qsizetype m_nextProbe = 0;
    QHash<QString, QString> m_otherModels; // by IP address
    QSet<QString> m_otherAnswers; // addresses of other models, at most the table's size
    bool m_leftOut = false; // a device came to a full table
};

// --device (repeatable), --all, --table-full and --password-file: which
// devices a command works on, and their passwords.
void addTargetOptions(QCommandLineParser& parser);
// --table-full: true for proceed, false for refuse (the default); nullopt
// with the reason on `err` for any other word.
std::optional<bool> readTableFullProceeds(const QCommandLineParser& parser, const QString& command, QTextStream& err);
// The named devices (--device, then --devices-file), empty for --all;
// nullopt with the reason on `err` when neither or both are given, or the
// file cannot be read or names no device.
std::optional<QStringList> readTargetNames(const QCommandLineParser& parser, const QString& command, QTextStream& err);
// The devices a --devices-file names: an id per line ('#' lines skipped),
// or the MAC addresses of a report's rows, CSV (by its header) or JSON lines.
QStringList devicesListed(const QString& text);
// For DeviceScan::run: true once every named device has answered; none
// (wait the scan out) for --all, and when a host name is among the names,
// since a device that answers later may share it.
std::function<bool()> namedDevicesAnswered(const DeviceFacade& facade, const QStringList& names);

// The facade's devices, by IP address.
QList<DeviceIdentity> listDevices(const DeviceFacade& facade);
// Every name of each device, for Credentials::settle.
QStringList namesOf(const QList<DeviceIdentity>& devices);

// The devices named `name` (MAC address or host name in any letter case, IP
// address): none, one, or several when devices share a host name.
QList<const DeviceIdentity*> matchDevices(const QList<DeviceIdentity>& devices, const QString& name);

// What the names given with --device come to once the scan is over.
struct Targets
{
    QList<DeviceIdentity> devices; // each device once, in the order first named
    QStringList missing; // names no device answered to
    bool ambiguous = false; // a name matched several devices (told on `err`)
};

// Resolves every name: a device named twice (by IP, MAC or host name) is
// worked on once, which is noted on `err`; a name several devices share is
// refused on `err` with the devices it matches. For --all (no names) every
// device found.
Targets resolveTargets(const QList<DeviceIdentity>& found, const QStringList& names, const QString& command,
                       QTextStream& err);

// A login's result and the code it sent (later requests carry it).
struct Login
{
    int32_t result = 0;
    QString authCode;
};

// A login (authenticate, then the settings copied into the record) takes at
// most 10 s and 30 s, counted from when it goes out; past this it reads
// HttpAccessManager::kTimedOut and its place goes to the next device.
constexpr int kLoginWaitMs = 60000;
// How many devices try the shared password before the others do.
constexpr int kSharedPasswordTries = 3;
// Logins (and the settings reads they make) under way at once. A site of a
// thousand devices started all at once spends its time-outs in TLS
// handshakes that wait for the processor; in line, each one's time-out
// counts only once it goes out, so a loaded machine slows down instead of
// failing.
constexpr int kLoginsAtOnce = 16;

// Tries again of a login that failed on the network (a device rebooting).
struct LoginRetry
{
    int retries = 0;
    int firstDelaySeconds = 1; // doubled after every try
};

// Logs in to every device with its password and waits for every answer:
// `atOnce` at a time, the others in line, each login given at most
// `limitMs` from when it goes out (then it reads
// HttpAccessManager::kTimedOut). A network failure is tried again as `retry`
// says, its place in line given up for the pause. The shared password (the
// default) goes to kSharedPasswordTries devices first; when each of them
// refuses it, the others are not tried (kPasswordSpared), since devices lock
// an account out after a few wrong tries. By MAC address.
class FleetLogin
{
public:
    FleetLogin(const Services& services, const Credentials& credentials, int atOnce = kLoginsAtOnce,
               int limitMs = kLoginWaitMs, const LoginRetry& retry = {});
    FleetLogin(const FleetLogin&) = delete;
    FleetLogin& operator=(const FleetLogin&) = delete;
    ~FleetLogin();

    // Runs events until every device has its result; once per object.
    QHash<QString, Login> run(const QList<DeviceIdentity>& devices);

private:
    struct Turn
    {
        const DeviceIdentity* device; // an element of run()'s list
        int tries;
    };

    void startTurns();
    void attempt(const Turn& turn);
    void ended(const Turn& turn, quint64 attemptId, int32_t result);
    void releaseLater();
    bool finished() const;

    const Credentials& m_credentials;
    const int m_atOnce;
    const int m_limitMs;
    const LoginRetry m_retry;
    std::unique_ptr<LoginController> m_login;
    // The logins' callbacks and timers live on it: none runs once it is gone.
    std::unique_ptr<QEventLoop> m_loop;
    QHash<QString, Login> m_logins;
    std::deque<Turn> m_line;
    QList<const DeviceIdentity*> m_later; // on the shared password, once the first ones answered
    QHash<QString, quint64> m_current; // by MAC address: the attempt whose answer counts
    quint64 m_lastAttempt = 0;
    int m_running = 0;
    int m_pausing = 0; // tries again waiting out their pause
    int m_sharedTrying = 0;
    int m_sharedAnswered = 0;
    int m_sharedRefused = 0;
};

// One FleetLogin over `devices`, for the commands that log in to all.
QHash<QString, Login> logInAll(const Services& services, const QList<DeviceIdentity>& devices,
                               const Credentials& credentials, int limitMs = kLoginWaitMs, const LoginRetry& retry = {},
                               int atOnce = kLoginsAtOnce);

} // namespace Ctl
