// The soak behind scripts/soak.sh: Corvane's services, assembled as the shell
// assembles them, against the virtual devices of the private test network for
// a given time while the devices come and go.
//
//   bench_soak --seconds N [--password P] [--reboot-ms MS]
//
// Runs only inside scripts/lab-network.sh (the interface "corvane-lab" and the
// devices' control socket in CORVANE_LAB_CONTROL); anywhere else it exits
// with 2 before it sends anything. Discovery scans that interface through
// KxDeviceList, the window's table model lists the devices, every device is
// logged in through KxDevice as the login popup does it, and firmware batches
// go through KxSystem. Meanwhile the devices push a change every 100 ms, and
// one after another they drop their push channel, reboot, vanish (discovery
// silent, connections refused, channel dropped) for a short or a long while,
// or go quiet on their channel (pongs missing) as an unplugged device does.
// Every few minutes all devices get a small firmware file, install it and
// reboot.
//
// Figures (one line of key=value pairs on standard output; progress lines
// start with "progress"): resident memory (beside it the heap in use),
// open descriptors and threads after warm-up (the first two batches, about a
// minute) and at the end, both taken with every device connected and quiet;
// the changes the devices counted as pushed beside those that reached the
// records; how long each device took to be connected again after it came
// back; whether the devices' program is still alive. Exit status 0 when every
// target held.

#include "AlertNotifier.h"
#include "DeviceFacade.h"
#include "DeviceNotificationObserver.h"
#include "DeviceNotificationSubscriber.h"
#include "DeviceTableModel.h"
#include "HttpAccessManager.h"
#include "KxDevice.h"
#include "KxDeviceList.h"
#include "KxSystem.h"
#include "LabNetwork.h"
#include "ResultCode.h"
#include "Services.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocalSocket>
#include <QNetworkAddressEntry>
#include <QNetworkInterface>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include <dirent.h>
#include <malloc.h>

namespace {

const QString& kLabInterface = LabNetwork::kInterface;
constexpr int kPushIntervalMs = 100;
constexpr int kChurnTickMs = 2000;
constexpr int kMaxChurnInFlight = 4;
constexpr int kShortVanishMs = 8000;
// Longer than discovery's 17 s before it reports a device lost, and longer
// than the at most 20 s of missed pongs after which a quiet channel counts as
// failed.
constexpr int kLongHoldMs = 22000;
constexpr qint64 kReturnTargetMs = 10000;
// A device that is not back after this long counts as not reconnected and
// leaves the run.
constexpr qint64 kReturnGiveUpMs = 60000;
constexpr int kDrainTimeoutMs = 10000;
constexpr int kFileBytes = 64 * 1024;
// Warm-up: two batches, 15 s into the run and right after each other. The
// allocator reaches its working size only with the second one's peak (about
// 4 MB more resident memory, which later batches do not add again).
constexpr int kWarmUpBatches = 2;
constexpr qint64 kFirstBatchMs = 15000;
constexpr qint64 kWarmUpGapMs = 3000;
constexpr qint64 kMemoryTargetKb = 5 * 1024;
constexpr int kSetupBoundMs = 120000;
constexpr int kClosingBoundMs = 240000;

// What the process holds now, read from /proc.
struct ProcessFigures
{
    qint64 rssKb = -1;
    qint64 heapKb = -1; // what the allocator has handed out and not got back
    int descriptors = -1;
    int threads = -1;
};

ProcessFigures sampleProcess()
{
    ProcessFigures figures;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                figures.rssKb = line.mid(6).trimmed().split(' ').value(0).toLongLong();
            else if (line.startsWith("Threads:"))
                figures.threads = line.mid(8).trimmed().toInt();
        }
    }
    const struct mallinfo2 heap = mallinfo2();
    figures.heapKb = qint64((heap.uordblks + heap.hblkhd) / 1024);
    if (DIR* fds = opendir("/proc/self/fd")) {
        int count = 0;
        while (const dirent* entry = readdir(fds)) {
            if (entry->d_name[0] != '.')
                ++count;
        }
        closedir(fds);
        figures.descriptors = count - 1; // the listing's own descriptor
    }
    return figures;
}

// The lab's interface as the network-interface table hands it to a scan;
// empty unless the process sees only loopback and that interface, as
// inside the private test network.
QVariantMap labInterface()
{
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        if (interface.name() != kLabInterface && !(interface.flags() & QNetworkInterface::IsLoopBack))
            return {};
    }
    return LabNetwork::interfaceMap();
}

// The value after " key=" in a line of the devices' "list" reply (the fields
// after the quoted name).
QString listField(const QString& line, const QString& key)
{
    const QString marker = QLatin1Char(' ') + key + QLatin1Char('=');
    const qsizetype at = line.lastIndexOf(marker);
    if (at < 0)
        return QString();
    return line.mid(at + marker.size()).section(QLatin1Char(' '), 0, 0);
}

// The devices' control socket, one connection for the whole run. Commands go
// out at once and are answered in order; each reply ("ok ..." or "error ...",
// after any lines of its own) goes to that command's callback with the time
// the command was written, which is never later than the moment the devices
// acted on it. Nothing here blocks.
class ControlClient : public QObject
{
public:
    using Reply = std::function<void(bool ok, const QStringList& lines, qint64 sentAtMs)>;

    ControlClient(const QString& path, const QElapsedTimer& clock)
        : m_path(path)
        , m_clock(clock)
    {
        connect(&m_socket, &QLocalSocket::readyRead, this, [this] { read(); });
        connect(&m_socket, &QLocalSocket::disconnected, this, [this] { breakDown(); });
        connect(&m_socket, &QLocalSocket::errorOccurred, this, [this] { breakDown(); });
    }

    // Quietly: the socket's last signals must not reach a half-destroyed
    // client.
    ~ControlClient() override { QObject::disconnect(&m_socket, nullptr, this, nullptr); }

    // Once, before the run; waits at most 5 s.
    bool open()
    {
        m_socket.connectToServer(m_path);
        return m_socket.waitForConnected(5000);
    }

    bool broken() const { return m_broken; }

    void send(const QString& command, Reply reply = {})
    {
        if (m_broken) {
            if (reply)
                QTimer::singleShot(0, this, [reply] { reply(false, {}, -1); });
            return;
        }
        m_pending.push_back({std::move(reply), m_clock.elapsed(), {}});
        m_socket.write(command.toUtf8() + '\n');
    }

private:
    struct Pending
    {
        Reply reply;
        qint64 sentAt;
        QStringList lines;
    };

    void read()
    {
        while (m_socket.canReadLine()) {
            const QString line = QString::fromUtf8(m_socket.readLine()).trimmed();
            if (m_pending.empty())
                continue;
            m_pending.front().lines << line;
            const bool ok = line.startsWith(QLatin1String("ok"));
            if (!ok && !line.startsWith(QLatin1String("error")))
                continue;
            Pending done = std::move(m_pending.front());
            m_pending.pop_front();
            if (!ok)
                std::fprintf(stderr, "bench_soak: control: %s\n", qPrintable(line));
            if (done.reply)
                done.reply(ok, done.lines, done.sentAt);
        }
    }

    void breakDown()
    {
        if (m_broken)
            return;
        m_broken = true;
        std::fprintf(stderr, "bench_soak: the devices' control socket went away\n");
        std::deque<Pending> failed;
        failed.swap(m_pending);
        for (Pending& pending : failed) {
            if (pending.reply)
                pending.reply(false, {}, -1);
        }
    }

    const QString m_path;
    const QElapsedTimer& m_clock;
    QLocalSocket m_socket;
    std::deque<Pending> m_pending;
    bool m_broken = false;
};

struct Device
{
    QString name; // the devices' own id, "d1"
    QString address;
    QString id; // the MAC address, the record's id
    std::unique_ptr<KxDevice> front;
    QMetaObject::Connection recordConnection;

    // What the record shows.
    int status = -1;
    qint64 flips = 0; // changes of the running status stored in the record
    bool connected = false;
    qint64 connectedAt = -1; // record turned Connected
    // What the push-session observer reports.
    qint64 channelOpenedAt = -1;
    qint64 channelEndedAt = -1;

    // The latest "list" reply.
    qint64 sent = 0;
    int channels = 0;
    QString version;
    bool up = true;

    // Change accounting: a stretch of pushing between quiet moments.
    bool pushing = false;
    bool startPending = false;
    int channelsSeen = -1;
    int channelsAtStart = 1;
    qint64 sentAtStart = 0;
    qint64 flipsAtStart = 0;

    bool busy = false; // in a churn event or a batch
    bool retired = false; // not back in time: left out from then on

    // Firmware batch: the device's reboot as the polls saw it.
    bool rebootSeen = false;
    bool returnTracked = false;
    qint64 rebootSeenAt = -1;
    qint64 lastRebootingSentAt = -1;
    qint64 lastOldVersionSentAt = -1;
    qint64 lastOldVersionAt = -1;
};

enum class Kind { Drop, Reboot, VanishShort, Unplug, VanishLong };

const char* kindName(Kind kind)
{
    switch (kind) {
    case Kind::Drop:
        return "drop";
    case Kind::Reboot:
        return "reboot";
    case Kind::VanishShort:
        return "vanish-short";
    case Kind::Unplug:
        return "unplug";
    case Kind::VanishLong:
        return "vanish-long";
    }
    return "?";
}

// One device coming back, measured from `backAt` (never later than the moment
// it really was back) until its push channel is open again and its record
// says so. A channel opened after `actionAt` is a new one.
struct Return
{
    Device* device = nullptr;
    const char* what = "";
    qint64 actionAt = -1;
    qint64 backAt = -1; // -1 until known
    // The old channel may have survived (a quiet channel not yet given up).
    bool mayStayUp = false;
    std::function<void(bool back)> then;
};

class Soak : public QObject
{
public:
    Soak(QString controlPath, QString password, int seconds, int rebootMs)
        : m_password(std::move(password))
        , m_seconds(seconds)
        , m_rebootMs(rebootMs)
        , m_control(controlPath, m_clock)
    {
        m_clock.start();
        // After the warm-up every few minutes, and once in a short run.
        m_batchIntervalMs = qint64(qBound(40, seconds / 3, 300)) * 1000;
    }

    int result() const { return m_result; }

    void start()
    {
        m_watchdog.setSingleShot(true);
        connect(&m_watchdog, &QTimer::timeout, this, [this] {
            std::fprintf(stderr, "bench_soak: the run outlasted its bound\n");
            m_watchdogFired = true;
            report();
        });
        m_watchdog.start(kSetupBoundMs + m_seconds * 1000 + kClosingBoundMs);
        if (!m_control.open())
            return setupFailed(QStringLiteral("cannot reach the devices' control socket"));
        if (!m_files.isValid())
            return setupFailed(QStringLiteral("no temporary folder"));
        bringUpServices();
        if (!m_setupError.isEmpty())
            return setupFailed(m_setupError);
        m_control.send(QStringLiteral("list"), [this](bool ok, const QStringList& lines, qint64) {
            if (!ok)
                return setupFailed(QStringLiteral("no device list"));
            for (const QString& line : lines) {
                const QStringList words = line.split(QLatin1Char(' '));
                if (words.value(0) != QLatin1String("device") || words.size() < 5)
                    continue;
                auto device = std::make_unique<Device>();
                device->name = words.at(1);
                device->address = words.at(2);
                device->id = words.at(3);
                m_byAddress.insert(device->address, device.get());
                m_byId.insert(device->id, device.get());
                m_devices.push_back(std::move(device));
            }
            if (m_devices.empty())
                return setupFailed(QStringLiteral("the devices' program lists no device"));
            parseList(lines, -1);
            // The same down time for every reboot, as the measurement assumes.
            m_control.send(QStringLiteral("fault all reboot-ms %1").arg(m_rebootMs));
            discover();
        });
    }

private:
    // As Startup::run does it: alert notifier, push-session observer, the
    // record of services, the notification subscriber; then the window's
    // objects.
    void bringUpServices()
    {
        registerDeviceMetaTypes();
        AlertNotifier::initialize();
        if (ResultCode::isFailure(DeviceNotificationObserver::initialize())) {
            m_setupError = QStringLiteral("the push-session observer did not start");
            return;
        }
        Services::install(
            {&DeviceFacade::getInstance(), DeviceNotificationObserver::m_instance, &HttpAccessManager::getInstance()});
        if (m_subscriber.initialize() != 0) {
            m_setupError = QStringLiteral("the notification subscriber did not start");
            return;
        }
        m_system = std::make_unique<KxSystem>();
        m_deviceList = std::make_unique<KxDeviceList>();
        m_table = std::make_unique<DeviceTableModel>();
        connect(m_system.get(), &KxSystem::eventReceived, this,
                [this](KxSystemEventID::ID id, const QVariantMap& options) {
                    if (id != KxSystemEventID::ErrorAlertNotified)
                        return;
                    ++m_alerts;
                    std::fprintf(stderr, "bench_soak: alert %s\n",
                                 qPrintable(ResultCode::toHex(options.value(QStringLiteral("errorCode")).toInt())));
                });
        connect(m_system.get(), &KxSystem::statusChanged, this, [this] {
            if (m_batchRunning && m_system->status() == KxSystemStatus::Active) {
                m_batchRunning = false;
                m_batchEndedAt = m_clock.elapsed();
            }
        });
        PushSessionService* observer = DeviceNotificationObserver::m_instance;
        connect(observer, &PushSessionService::connected, this, [this](const QString& id, int) {
            if (Device* device = m_byId.value(id)) {
                device->channelOpenedAt = m_clock.elapsed();
                checkReturns();
            }
        });
        const auto ended = [this](const QString& id, int) {
            Device* device = m_byId.value(id);
            if (!device)
                return;
            device->channelEndedAt = m_clock.elapsed();
            if (!device->busy && !device->retired && m_phase != Phase::Setup)
                ++m_spuriousDrops;
        };
        connect(observer, &PushSessionService::disconnected, this, ended);
        connect(DeviceNotificationObserver::m_instance, &DeviceNotificationObserver::reserveStartReconnect, this,
                ended);
        connect(&DeviceFacade::getInstance(), &DeviceFacade::deviceIDsChanged, this, [this] { attachRecords(); });
    }

    void discover()
    {
        if (!m_deviceList->startScan(labInterface()))
            return setupFailed(QStringLiteral("the scan did not start"));
        waitFor([this] { return listedCount() == int(m_devices.size()); }, 60000,
                [this](bool all) {
                    if (!all)
                        return setupFailed(
                            QStringLiteral("%1 of %2 devices discovered").arg(listedCount()).arg(m_devices.size()));
                    attachRecords();
                    QTimer::singleShot(0, this, [this] { logIn(); });
                });
    }

    int listedCount() const
    {
        const QStringList ids = DeviceFacade::getInstance().deviceIDs();
        return int(std::count_if(m_devices.cbegin(), m_devices.cend(),
                                 [&ids](const std::unique_ptr<Device>& d) { return ids.contains(d->id); }));
    }

    // Follows each device's record (again after it was made anew).
    void attachRecords()
    {
        DeviceFacade& facade = DeviceFacade::getInstance();
        for (const std::unique_ptr<Device>& owned : m_devices) {
            Device* device = owned.get();
            std::shared_ptr<DeviceData> record;
            if (!facade.getDeviceData(device->id, record))
                continue;
            QObject::disconnect(device->recordConnection);
            device->recordConnection = connect(record.get(), &DeviceData::dataChanged, this,
                                               [this, device](const QString&, DeviceParameter type) {
                                                   if (type == DeviceParameter::RunningStatus)
                                                       readStatus(*device);
                                                   else if (type == DeviceParameter::ConnectionStatus)
                                                       readConnection(*device);
                                               });
            readStatus(*device);
            readConnection(*device);
        }
    }

    void readStatus(Device& device)
    {
        QVariant value;
        if (!DeviceFacade::getInstance().getDeviceParameter(device.id, DeviceParameter::RunningStatus, value,
                                                            DeviceFindPolicy::ById)
            || !value.isValid())
            return;
        const int status = value.toInt();
        if (status != device.status)
            ++device.flips;
        device.status = status;
    }

    void readConnection(Device& device)
    {
        const bool connected = DeviceFacade::getInstance().isConnected(device.id);
        if (connected && !device.connected)
            device.connectedAt = m_clock.elapsed();
        device.connected = connected;
        checkReturns();
    }

    // The operator's login, device by device, as the login popup sends it.
    void logIn()
    {
        for (const std::unique_ptr<Device>& device : m_devices) {
            device->front = std::make_unique<KxDevice>();
            device->front->setDeviceID(device->id);
            for (int attempt = 0; attempt < 3 && !device->connected && !isLoggedIn(*device); ++attempt)
                device->front->sendEvent(KxDeviceEventID::RequestLogin, {{QStringLiteral("password"), m_password}});
            if (!isLoggedIn(*device))
                return setupFailed(QStringLiteral("login to %1 failed").arg(device->address));
        }
        waitFor([this] { return connectedCount() == int(m_devices.size()); }, 60000,
                [this](bool all) {
                    if (!all)
                        return setupFailed(QStringLiteral("%1 of %2 push channels open after the logins")
                                               .arg(connectedCount())
                                               .arg(m_devices.size()));
                    beginSoak();
                });
    }

    static bool isLoggedIn(const Device& device)
    {
        QVariant value;
        return DeviceFacade::getInstance().getDeviceParameter(device.id, DeviceParameter::LoggedInStatus, value,
                                                              DeviceFindPolicy::ById)
               && value.toBool();
    }

    int connectedCount() const
    {
        return int(std::count_if(m_devices.cbegin(), m_devices.cend(),
                                 [](const std::unique_ptr<Device>& d) { return d->connected; }));
    }

    void beginSoak()
    {
        m_phase = Phase::Running;
        m_soakStartedAt = m_clock.elapsed();
        m_endAt = m_soakStartedAt + qint64(m_seconds) * 1000;
        m_nextBatchAt = m_soakStartedAt + kFirstBatchMs;
        std::printf("progress setup done in %.1f s: %d devices connected; soak of %d s begins\n",
                    double(m_soakStartedAt) / 1000.0, connectedCount(), m_seconds);
        std::fflush(stdout);
        startPushing(allDevices());
        connect(&m_tick, &QTimer::timeout, this, [this] { tick(); });
        m_tick.start(kChurnTickMs);
        connect(&m_returnPoll, &QTimer::timeout, this, [this] { checkReturns(); });
        m_returnPoll.start(100);
        connect(&m_progress, &QTimer::timeout, this, [this] { progress(); });
        m_progress.start(60000);
    }

    QList<Device*> allDevices() const
    {
        QList<Device*> list;
        for (const std::unique_ptr<Device>& device : m_devices) {
            if (!device->retired)
                list << device.get();
        }
        return list;
    }

    // ---- Change accounting -------------------------------------------------

    // Starts a stretch of pushes on each device once the devices' side shows
    // the same number of channels for it in two polls in a row: right after
    // a reconnection the old channel may still be on its way out there.
    void startPushing(const QList<Device*>& devices, int attempt = 0)
    {
        if (attempt == 0) {
            for (Device* device : devices) {
                device->startPending = true;
                device->channelsSeen = -1;
            }
        }
        m_control.send(
            QStringLiteral("list"), [this, devices, attempt](bool ok, const QStringList& lines, qint64 sentAt) {
                parseList(lines, sentAt);
                QList<Device*> later;
                for (Device* device : devices) {
                    if (!device->startPending)
                        continue; // stopped meanwhile
                    const bool steady = device->channels >= 1 && device->channels == device->channelsSeen;
                    device->channelsSeen = device->channels;
                    if (ok && !steady && attempt < 50) {
                        later << device;
                        continue;
                    }
                    device->startPending = false;
                    device->pushing = true;
                    device->sentAtStart = device->sent;
                    device->flipsAtStart = device->flips;
                    device->channelsAtStart = qMax(1, device->channels);
                    m_control.send(QStringLiteral("push-rate %1 %2").arg(device->name).arg(kPushIntervalMs));
                }
                if (!later.isEmpty())
                    QTimer::singleShot(200, this, [this, later, attempt] { startPushing(later, attempt + 1); });
            });
    }

    // Ends the devices' stretches: what they counted as sent must reach the
    // records; what has not within kDrainTimeoutMs is lost.
    void stopPushing(const QList<Device*>& devices, std::function<void()> then)
    {
        QList<Device*> active;
        for (Device* device : devices) {
            device->startPending = false;
            if (!device->pushing)
                continue;
            device->pushing = false;
            active << device;
            m_control.send(QStringLiteral("push-rate %1 off").arg(device->name));
        }
        if (active.isEmpty()) {
            QTimer::singleShot(0, this, then);
            return;
        }
        m_control.send(QStringLiteral("list"), [this, active, then](bool, const QStringList& lines, qint64 sentAt) {
            parseList(lines, sentAt);
            auto owed = std::make_shared<QHash<Device*, qint64>>();
            for (Device* device : active) {
                // The devices count a notification once per channel they hold
                // for it. A channel whose peer closed while its pings were off
                // stays on their count for good (it has no connection behind
                // it any more), so each change is counted once per channel;
                // the rounding up shows a change that went out on fewer.
                const int channels = qMax(1, qMin(device->channelsAtStart, device->channels));
                owed->insert(device, (device->sent - device->sentAtStart + channels - 1) / channels);
                m_surplusChannels = qMax(m_surplusChannels, channels - 1);
            }
            const auto arrived = [owed] {
                for (auto it = owed->cbegin(); it != owed->cend(); ++it) {
                    if (it.key()->flips - it.key()->flipsAtStart < it.value())
                        return false;
                }
                return true;
            };
            waitFor(arrived, kDrainTimeoutMs, [this, owed, then](bool) {
                for (auto it = owed->cbegin(); it != owed->cend(); ++it) {
                    const qint64 received = it.key()->flips - it.key()->flipsAtStart;
                    if (received != it.value())
                        std::fprintf(stderr, "bench_soak: %s: %lld changes sent, %lld reached the record\n",
                                     qPrintable(it.key()->name), static_cast<long long>(it.value()),
                                     static_cast<long long>(received));
                    m_sent += it.value();
                    m_received += qMin(received, it.value());
                    m_lost += qMax<qint64>(0, it.value() - received);
                    m_extra += qMax<qint64>(0, received - it.value());
                }
                then();
            });
        });
    }

    // Takes in a "list" reply: sent counts, channels, version and power of
    // every device; during a batch also how far each reboot has got.
    void parseList(const QStringList& lines, qint64 sentAt)
    {
        const qint64 now = m_clock.elapsed();
        for (const QString& line : lines) {
            if (!line.startsWith(QLatin1String("device ")))
                continue;
            Device* device = m_byAddress.value(line.section(QLatin1Char(' '), 2, 2));
            if (!device)
                continue;
            device->sent = listField(line, QStringLiteral("sent")).toLongLong();
            device->channels = listField(line, QStringLiteral("push")).toInt();
            device->version = listField(line, QStringLiteral("version"));
            device->up = listField(line, QStringLiteral("power")) == QLatin1String("up");
            if (m_phase == Phase::Batch && sentAt >= 0)
                followReboot(*device, sentAt, now);
        }
    }

    // ---- Coming back -------------------------------------------------------

    void track(Return measured)
    {
        m_returns.push_back(std::move(measured));
        checkReturns();
    }

    void checkReturns()
    {
        if (m_checkingReturns)
            return;
        m_checkingReturns = true;
        const qint64 now = m_clock.elapsed();
        for (std::size_t i = 0; i < m_returns.size();) {
            Return& r = m_returns[i];
            Device& d = *r.device;
            qint64 backAt = -1;
            bool done = false;
            bool back = false;
            if (r.backAt >= 0 && d.channelOpenedAt > r.actionAt && d.connected) {
                backAt = qMax(d.channelOpenedAt, d.connectedAt);
                done = back = true;
            } else if (r.backAt >= 0 && r.mayStayUp && now >= r.backAt && d.channelEndedAt < r.actionAt
                       && d.connected) {
                backAt = r.backAt;
                done = back = true;
            } else if ((r.backAt >= 0 && now > r.backAt + kReturnGiveUpMs) || m_control.broken()) {
                done = true;
            }
            if (!done) {
                ++i;
                continue;
            }
            ++m_returnCount;
            const qint64 took = back ? qMax<qint64>(0, backAt - r.backAt) : -1;
            if (!back || took > kReturnTargetMs) {
                ++m_late;
                std::fprintf(stderr, "bench_soak: %s %s (%s): %s\n", qPrintable(d.name), qPrintable(d.address), r.what,
                             back ? qPrintable(QStringLiteral("connected again after %1 ms").arg(took))
                                  : "not connected again within 60 s");
            }
            if (back)
                m_slowestReturnMs = qMax(m_slowestReturnMs, took);
            else
                d.retired = true;
            std::function<void(bool)> then = std::move(r.then);
            m_returns.erase(m_returns.begin() + std::ptrdiff_t(i));
            if (then)
                QTimer::singleShot(0, this, [then, back] { then(back); });
        }
        m_checkingReturns = false;
    }

    // ---- Churn -------------------------------------------------------------

    void tick()
    {
        const qint64 now = m_clock.elapsed();
        if (m_phase != Phase::Running)
            return;
        if (m_control.broken() || now >= m_endAt)
            return finish();
        if (now >= m_nextBatchAt && now + 20000 < m_endAt)
            return batch();
        if (m_inFlight >= kMaxChurnInFlight)
            return;
        // Of the kinds that end (device back, plus time to reconnect) before
        // the next batch or the end, the one done least so far; the long ones
        // first on a tie, since a short run has room for them only right
        // after a batch.
        const qint64 limit = (m_nextBatchAt + 20000 < m_endAt) ? m_nextBatchAt : m_endAt;
        static const Kind preference[] = {Kind::Unplug, Kind::VanishLong, Kind::Reboot, Kind::VanishShort, Kind::Drop};
        const Kind* chosen = nullptr;
        for (const Kind& kind : preference) {
            if (now + holdMs(kind) + kReturnTargetMs + 2000 > limit)
                continue;
            if (!chosen || m_kindCount[int(kind)] < m_kindCount[int(*chosen)])
                chosen = &kind;
        }
        if (!chosen)
            return;
        const Kind kind = *chosen;
        // Steps of 5 through 32 devices reach every one.
        const int count = int(m_devices.size());
        for (int tried = 0; tried < count; ++tried) {
            m_nextDevice = (m_nextDevice + 5) % count;
            Device* device = m_devices[std::size_t(m_nextDevice)].get();
            if (device->pushing && !device->busy && !device->retired) {
                churn(*device, kind);
                return;
            }
        }
    }

    qint64 holdMs(Kind kind) const
    {
        switch (kind) {
        case Kind::Drop:
            return 0;
        case Kind::Reboot:
            return m_rebootMs;
        case Kind::VanishShort:
            return kShortVanishMs;
        case Kind::Unplug:
        case Kind::VanishLong:
            return kLongHoldMs;
        }
        return 0;
    }

    void churn(Device& device, Kind kind)
    {
        ++m_churnCount;
        ++m_kindCount[int(kind)];
        ++m_inFlight;
        device.busy = true;
        Device* d = &device;
        stopPushing({d}, [this, d, kind] {
            auto measured = std::make_shared<Return>();
            measured->device = d;
            measured->what = kindName(kind);
            measured->mayStayUp = (kind == Kind::Unplug);
            measured->then = [this, d](bool back) {
                d->busy = false;
                --m_inFlight;
                if (back && m_phase == Phase::Running)
                    startPushing({d});
            };
            const QString& n = d->name;
            switch (kind) {
            case Kind::Drop:
                m_control.send(QStringLiteral("push %1 drop").arg(n),
                               [this, measured](bool, const QStringList&, qint64 at) {
                                   measured->actionAt = at;
                                   measured->backAt = at;
                                   track(*measured);
                               });
                break;
            case Kind::Reboot:
                m_control.send(QStringLiteral("reboot %1").arg(n),
                               [this, measured](bool, const QStringList&, qint64 at) {
                                   measured->actionAt = at;
                                   measured->backAt = at + m_rebootMs;
                                   track(*measured);
                               });
                break;
            case Kind::VanishShort:
            case Kind::VanishLong:
            case Kind::Unplug: {
                QStringList down{QStringLiteral("fault %1 lndp off").arg(n),
                                 QStringLiteral("fault %1 connect refuse").arg(n)};
                QStringList up{QStringLiteral("fault %1 connect normal").arg(n),
                               QStringLiteral("fault %1 lndp on").arg(n)};
                if (kind == Kind::Unplug) {
                    down.prepend(QStringLiteral("fault %1 pings off").arg(n));
                    up.prepend(QStringLiteral("fault %1 pings on").arg(n));
                } else {
                    down << QStringLiteral("push %1 drop").arg(n);
                }
                sendAll(down, [this, measured, up, kind](qint64 at) {
                    measured->actionAt = at;
                    QTimer::singleShot(int(holdMs(kind)), this, [this, measured, up] {
                        sendAll(up, [this, measured](qint64 backAt) {
                            measured->backAt = backAt;
                            track(*measured);
                        });
                    });
                });
                break;
            }
            }
        });
    }

    // Sends the commands in order; `then` gets the time the first went out.
    void sendAll(const QStringList& commands, std::function<void(qint64 firstSentAt)> then)
    {
        auto first = std::make_shared<qint64>(-1);
        for (int i = 0; i < commands.size(); ++i) {
            const bool last = (i == commands.size() - 1);
            m_control.send(commands.at(i), [first, last, then](bool, const QStringList&, qint64 at) {
                if (*first < 0)
                    *first = at;
                if (last)
                    then(*first);
            });
        }
    }

    // ---- Firmware batches --------------------------------------------------

    // The devices in flight come back first; then the pushes stop and the
    // batch waits for every device to be connected and idle, as the batch
    // controllers require.
    void batch()
    {
        m_phase = Phase::BatchPending;
        const auto ready = [this] {
            const QList<Device*> devices = allDevices();
            return std::all_of(devices.cbegin(), devices.cend(),
                               [](const Device* d) { return d->connected && d->status == 0; });
        };
        waitFor([this] { return m_inFlight == 0; }, 120000,
                [this, ready](bool) {
                    stopPushing(allDevices(), [this, ready] { waitFor(ready, 30000, [this](bool) { runBatch(); }); });
                });
    }

    void runBatch()
    {
        ++m_batches;
        m_expectedVersion = QStringLiteral("3.%1.0").arg(m_batches);
        const QString path = m_files.filePath(QStringLiteral("tq-%1.bundle").arg(m_expectedVersion));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || !file.resize(kFileBytes)) {
            std::fprintf(stderr, "bench_soak: cannot write %s\n", qPrintable(path));
            m_batchFailed += int(allDevices().size());
            return afterBatch();
        }
        file.close();
        m_batchDevices.clear();
        QStringList ids;
        for (Device* device : allDevices()) {
            device->busy = true;
            device->rebootSeen = false;
            device->returnTracked = false;
            device->lastOldVersionSentAt = device->lastOldVersionAt = device->lastRebootingSentAt = -1;
            m_batchDevices << device;
            ids << device->id;
        }
        m_phase = Phase::Batch;
        m_batchRunning = true;
        m_batchStartedAt = m_clock.elapsed();
        m_batchEndedAt = -1;
        std::printf("progress %s batch %d: %lld devices, file %s\n", qPrintable(clockText()), m_batches,
                    static_cast<long long>(ids.size()), qPrintable(QFileInfo(path).fileName()));
        std::fflush(stdout);
        // The window's request: the checked ids and the chosen file as a URL.
        m_system->sendEvent(KxSystemEventID::FirmwareUpdate, {{QStringLiteral("devices"), ids},
                                                              {QStringLiteral("filePath"), QUrl::fromLocalFile(path)}});
        pollReboots();
    }

    // Every 200 ms a "list" while the devices install and reboot, until every
    // device's return is being measured (or the batch is long over).
    void pollReboots()
    {
        const bool allTracked = std::all_of(m_batchDevices.cbegin(), m_batchDevices.cend(),
                                            [](const Device* d) { return d->returnTracked; });
        const bool overdue = !m_batchRunning && m_batchEndedAt >= 0 && m_clock.elapsed() > m_batchEndedAt + 60000;
        const bool hung = m_clock.elapsed() > m_batchStartedAt + 300000;
        if (allTracked || overdue || hung || m_control.broken()) {
            for (Device* device : m_batchDevices) {
                if (!device->returnTracked) {
                    device->returnTracked = true;
                    device->retired = true;
                    ++m_batchFailed;
                    std::fprintf(stderr, "bench_soak: %s: no reboot after the batch seen\n", qPrintable(device->name));
                }
            }
            waitFor([this] { return m_pendingBatchReturns == 0 && !m_batchRunning; }, 120000,
                    [this](bool) { afterBatch(); });
            return;
        }
        m_control.send(QStringLiteral("list"), [this](bool, const QStringList& lines, qint64 sentAt) {
            parseList(lines, sentAt);
            QTimer::singleShot(200, this, [this] { pollReboots(); });
        });
    }

    // One device in a poll during a batch: the new version appears as the
    // reboot starts; "up" again with it is the device back.
    void followReboot(Device& device, qint64 sentAt, qint64 now)
    {
        if (device.returnTracked || !m_batchDevices.contains(&device))
            return;
        if (device.version != m_expectedVersion) {
            device.lastOldVersionSentAt = sentAt;
            device.lastOldVersionAt = now;
            return;
        }
        if (!device.up) {
            if (!device.rebootSeen) {
                device.rebootSeen = true;
                device.rebootSeenAt = now;
            }
            device.lastRebootingSentAt = sentAt;
            return;
        }
        device.returnTracked = true;
        Return measured;
        measured.device = &device;
        measured.what = "batch reboot";
        if (device.rebootSeen) {
            measured.actionAt = device.rebootSeenAt;
            measured.backAt = device.lastRebootingSentAt;
        } else {
            // The whole reboot fell between two polls: measured from before
            // it began.
            measured.actionAt = device.lastOldVersionAt;
            measured.backAt = device.lastOldVersionSentAt >= 0 ? device.lastOldVersionSentAt : m_batchStartedAt;
        }
        ++m_pendingBatchReturns;
        Device* d = &device;
        measured.then = [this, d](bool back) {
            --m_pendingBatchReturns;
            QVariant version;
            DeviceFacade::getInstance().getDeviceParameter(d->id, DeviceParameter::Version, version,
                                                           DeviceFindPolicy::ById);
            if (!back || version.toString() != m_expectedVersion) {
                ++m_batchFailed;
                std::fprintf(stderr, "bench_soak: %s after batch %d: record version %s, device %s\n",
                             qPrintable(d->name), m_batches, qPrintable(version.toString()),
                             qPrintable(m_expectedVersion));
            }
        };
        track(std::move(measured));
    }

    void afterBatch()
    {
        m_batchDeviceCount += int(m_batchDevices.size());
        QFile::remove(m_files.filePath(QStringLiteral("tq-%1.bundle").arg(m_expectedVersion)));
        for (Device* device : m_batchDevices)
            device->busy = false;
        m_batchDevices.clear();
        m_nextBatchAt = m_clock.elapsed() + (m_batches < kWarmUpBatches ? kWarmUpGapMs : m_batchIntervalMs);
        std::printf("progress %s batch %d done\n", qPrintable(clockText()), m_batches);
        std::fflush(stdout);
        const auto resume = [this] {
            if (m_phase == Phase::Done)
                return;
            m_phase = Phase::Running;
            if (m_control.broken() || m_clock.elapsed() >= m_endAt)
                return finish();
            startPushing(allDevices());
        };
        if (m_batches != kWarmUpBatches)
            return resume();
        // The warm-up is over: figures once they stop moving.
        settle([this, resume](const ProcessFigures& figures) {
            m_warm = figures;
            m_warmAt = m_clock.elapsed();
            std::printf("progress %s warm-up figures: rss %lld kB, %d descriptors, %d threads\n",
                        qPrintable(clockText()), static_cast<long long>(figures.rssKb), figures.descriptors,
                        figures.threads);
            std::fflush(stdout);
            resume();
        });
    }

    // Figures once descriptors and threads held still for three samples a
    // second apart (at most 20 s).
    void settle(std::function<void(const ProcessFigures&)> then)
    {
        auto samples = std::make_shared<std::vector<ProcessFigures>>();
        auto timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [samples, timer, then] {
            samples->push_back(sampleProcess());
            const std::size_t n = samples->size();
            const bool still = n >= 3 && (*samples)[n - 1].descriptors == (*samples)[n - 3].descriptors
                               && (*samples)[n - 2].descriptors == (*samples)[n - 3].descriptors
                               && (*samples)[n - 1].threads == (*samples)[n - 3].threads
                               && (*samples)[n - 2].threads == (*samples)[n - 3].threads;
            if (still || n >= 20) {
                timer->deleteLater();
                then(samples->back());
            }
        });
        timer->start(1000);
    }

    // ---- The end -----------------------------------------------------------

    void finish()
    {
        if (m_phase == Phase::Closing || m_phase == Phase::Done)
            return;
        m_phase = Phase::Closing;
        m_soakEndedAt = m_clock.elapsed();
        std::printf("progress %s soak over; waiting for the devices in flight\n", qPrintable(clockText()));
        std::fflush(stdout);
        waitFor([this] { return m_inFlight == 0 && m_returns.empty(); }, 120000,
                [this](bool) { stopPushing(allDevices(), [this] { awaitQuiet(); }); });
    }

    // The end is measured as the warm-up was: every device connected, nothing
    // pushed. Pooled threads and connections end in their own time, so the
    // counts get up to 60 s to come back.
    void awaitQuiet()
    {
        const auto allConnected = [this] {
            const QList<Device*> devices = allDevices();
            return std::all_of(devices.cbegin(), devices.cend(), [](const Device* d) { return d->connected; });
        };
        const auto countsBack = [this] {
            const ProcessFigures now = sampleProcess();
            return now.descriptors <= m_warm.descriptors && now.threads <= m_warm.threads;
        };
        waitFor(allConnected, 30000, [this, countsBack](bool) {
            waitFor(countsBack, 60000, [this](bool) {
                m_end = sampleProcess();
                checkDevicesAlive();
            });
        });
    }

    // The devices' program still answers, with all its devices.
    void checkDevicesAlive()
    {
        m_control.send(QStringLiteral("list"), [this](bool ok, const QStringList& lines, qint64) {
            const qsizetype listed = std::count_if(lines.cbegin(), lines.cend(), [](const QString& line) {
                return line.startsWith(QLatin1String("device "));
            });
            m_devicesAlive = ok && listed == qsizetype(m_devices.size());
            report();
        });
    }

    void report()
    {
        if (m_phase == Phase::Done)
            return;
        m_phase = Phase::Done;
        m_tick.stop();
        m_returnPoll.stop();
        m_progress.stop();
        if (m_end.rssKb < 0)
            m_end = sampleProcess();
        if (m_warm.rssKb < 0)
            m_warm = m_end; // never warmed up: the run failed before
        const qint64 growth = m_end.rssKb - m_warm.rssKb;
        int listed = m_table ? m_table->rowCount() : 0;
        std::printf(
            "devices=%d listed=%d seconds=%.1f churn=%d drops=%d reboots=%d vanishes_short=%d unplugs=%d "
            "vanishes_long=%d batches=%d batch_devices=%d batch_failed=%d alerts=%d returns=%d late=%d "
            "slowest_return_ms=%lld rss_warm_kb=%lld rss_end_kb=%lld rss_growth_kb=%lld heap_warm_kb=%lld "
            "heap_end_kb=%lld warm_at_s=%.1f fds_start=%d fds_end=%d threads_start=%d threads_end=%d sent=%lld "
            "received=%lld lost=%lld extra=%lld surplus_channels=%d spurious_drops=%d devices_alive=%d watchdog=%d\n",
            int(m_devices.size()), listed,
            double((m_soakEndedAt >= 0 ? m_soakEndedAt : m_clock.elapsed()) - m_soakStartedAt) / 1000.0, m_churnCount,
            m_kindCount[int(Kind::Drop)], m_kindCount[int(Kind::Reboot)], m_kindCount[int(Kind::VanishShort)],
            m_kindCount[int(Kind::Unplug)], m_kindCount[int(Kind::VanishLong)], m_batches, m_batchDeviceCount,
            m_batchFailed, m_alerts, m_returnCount, m_late, static_cast<long long>(m_slowestReturnMs),
            static_cast<long long>(m_warm.rssKb), static_cast<long long>(m_end.rssKb), static_cast<long long>(growth),
            static_cast<long long>(m_warm.heapKb), static_cast<long long>(m_end.heapKb),
            double(m_warmAt - m_soakStartedAt) / 1000.0, m_warm.descriptors, m_end.descriptors, m_warm.threads,
            m_end.threads, static_cast<long long>(m_sent), static_cast<long long>(m_received),
            static_cast<long long>(m_lost), static_cast<long long>(m_extra), m_surplusChannels, m_spuriousDrops,
            m_devicesAlive ? 1 : 0, m_watchdogFired ? 1 : 0);
        std::fflush(stdout);
        const bool met = growth < kMemoryTargetKb && m_end.descriptors <= m_warm.descriptors
                         && m_end.threads <= m_warm.threads && m_lost == 0 && m_late == 0 && m_devicesAlive
                         && m_batchFailed == 0 && m_batches > kWarmUpBatches && !m_watchdogFired;
        m_result = met ? 0 : 1;
        QCoreApplication::exit(m_result);
    }

    void progress()
    {
        const ProcessFigures now = sampleProcess();
        std::printf("progress %s churn=%d returns=%d late=%d sent=%lld lost=%lld batches=%d rss_kb=%lld heap_kb=%lld "
                    "fds=%d threads=%d\n",
                    qPrintable(clockText()), m_churnCount, m_returnCount, m_late, static_cast<long long>(m_sent),
                    static_cast<long long>(m_lost), m_batches, static_cast<long long>(now.rssKb),
                    static_cast<long long>(now.heapKb), now.descriptors, now.threads);
        std::fflush(stdout);
    }

    QString clockText() const
    {
        const qint64 s = (m_clock.elapsed() - m_soakStartedAt) / 1000;
        return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
    }

    void setupFailed(const QString& why)
    {
        std::fprintf(stderr, "bench_soak: setup failed: %s\n", qPrintable(why));
        m_phase = Phase::Done;
        m_result = 1;
        QCoreApplication::exit(1);
    }

    // Checks `done` every 50 ms until it holds (then `next(true)`) or the time
    // is up (then `next(false)`).
    void waitFor(std::function<bool()> done, int timeoutMs, std::function<void(bool)> next)
    {
        auto* timer = new QTimer(this);
        const qint64 deadline = m_clock.elapsed() + timeoutMs;
        connect(timer, &QTimer::timeout, this, [this, timer, deadline, done, next] {
            if (m_phase == Phase::Done) {
                timer->deleteLater();
                return;
            }
            const bool held = done();
            if (!held && m_clock.elapsed() < deadline)
                return;
            timer->deleteLater();
            next(held);
        });
        timer->start(50);
    }

    enum class Phase { Setup, Running, BatchPending, Batch, Closing, Done };

    const QString m_password;
    const int m_seconds;
    const int m_rebootMs;
    QElapsedTimer m_clock;
    ControlClient m_control;
    QTemporaryDir m_files;
    QString m_setupError;

    DeviceNotificationSubscriber m_subscriber;
    std::unique_ptr<KxSystem> m_system;
    std::unique_ptr<KxDeviceList> m_deviceList;
    std::unique_ptr<DeviceTableModel> m_table;

    std::vector<std::unique_ptr<Device>> m_devices;
    QHash<QString, Device*> m_byAddress;
    QHash<QString, Device*> m_byId; // the push channels' news come by device
    std::vector<Return> m_returns;
    bool m_checkingReturns = false;

    Phase m_phase = Phase::Setup;
    QTimer m_watchdog;
    QTimer m_tick;
    QTimer m_returnPoll;
    QTimer m_progress;
    qint64 m_soakStartedAt = 0;
    qint64 m_soakEndedAt = -1;
    qint64 m_endAt = 0;
    qint64 m_batchIntervalMs = 0;
    qint64 m_nextBatchAt = 0;

    int m_inFlight = 0;
    int m_nextDevice = 0;
    int m_churnCount = 0;
    int m_kindCount[5] = {};

    int m_batches = 0;
    int m_batchDeviceCount = 0;
    int m_batchFailed = 0;
    bool m_batchRunning = false;
    qint64 m_batchStartedAt = -1;
    qint64 m_batchEndedAt = -1;
    QString m_expectedVersion;
    QList<Device*> m_batchDevices;
    int m_pendingBatchReturns = 0;
    int m_alerts = 0;

    int m_returnCount = 0;
    int m_late = 0;
    qint64 m_slowestReturnMs = 0;
    int m_spuriousDrops = 0;

    qint64 m_sent = 0;
    qint64 m_received = 0;
    qint64 m_lost = 0;
    qint64 m_extra = 0;
    int m_surplusChannels = 0; // most channels beyond one that a device counted a change on

    ProcessFigures m_warm;
    ProcessFigures m_end;
    qint64 m_warmAt = 0;
    bool m_devicesAlive = false;
    bool m_watchdogFired = false;
    int m_result = 1;
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    int seconds = 0;
    int rebootMs = 3000;
    QString password = QStringLiteral("corvane");
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--seconds"))
            seconds = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--password"))
            password = args.at(i + 1);
        else if (args.at(i) == QLatin1String("--reboot-ms"))
            rebootMs = args.at(i + 1).toInt();
        else
            seconds = -1;
    }
    if (seconds < 120 || seconds > 24 * 3600 || args.size() % 2 == 0 || rebootMs < 100 || rebootMs > 60000) {
        std::fprintf(stderr, "usage: bench_soak --seconds N (120 or more) [--password P] [--reboot-ms MS]\n"
                             "       inside scripts/lab-network.sh\n");
        return 2;
    }
    // Never a scan anywhere but on the private test network.
    const QString control = qEnvironmentVariable("CORVANE_LAB_CONTROL");
    if (control.isEmpty() || labInterface().isEmpty()) {
        std::fprintf(stderr, "bench_soak: run inside scripts/lab-network.sh\n");
        return 2;
    }
    int result = 1;
    {
        Soak soak(control, password, seconds, rebootMs);
        QTimer::singleShot(0, &soak, [&soak] { soak.start(); });
        app.exec();
        result = soak.result();
    }
    DeviceNotificationObserver::finalize();
    AlertNotifier::finalize();
    return result;
}
