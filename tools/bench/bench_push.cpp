// Figures for scripts/bench-push.sh: Corvane's side of many logged-in devices
// pushing settings notifications. Logs in to every device of a running
// corvane-virtual-device (found through its control socket), opens their
// push sessions, has each device push a change every interval for the given
// time, and prints one line of key=value pairs: the process's CPU time over
// wall time while idle with the channels open and while the pushes run, the
// notifications the devices sent and those that reached the records.
//
//   bench_push <control socket> <password> [seconds [interval ms]]
//
// Exit status 0 when every device connected and every change arrived.

#include "DeviceEndpoints.h"
#include "DeviceFacade.h"
#include "DeviceNotificationObserver.h"
#include "DeviceNotificationSubscriber.h"
#include "HttpAccessManager.h"
#include "LoginController.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QTimer>

#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>

namespace {

constexpr int kIdleMs = 5000;
constexpr int kConnectTimeoutMs = 60000;
constexpr int kDrainTimeoutMs = 10000;

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// One command to the device process; its reply lines, the last "ok ..." or
// "error ...". Blocks briefly: used only outside the measured windows, and
// for "push-rate" at their edges.
QStringList control(const QString& path, const QString& command)
{
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(5000))
        return {QStringLiteral("error cannot reach %1").arg(path)};
    socket.write(command.toUtf8() + '\n');
    socket.flush();
    QStringList lines;
    for (;;) {
        while (!socket.canReadLine()) {
            if (!socket.waitForReadyRead(10000))
                return lines << QStringLiteral("error no reply");
        }
        const QString line = QString::fromUtf8(socket.readLine()).trimmed();
        lines << line;
        if (line.startsWith(QLatin1String("ok")) || line.startsWith(QLatin1String("error")))
            return lines;
    }
}

struct Device
{
    QString address;
    QString id; // MAC address text
    QString model;
    qint64 stores = 0; // running-status values stored into the record
    qint64 changes = 0; // of them, those that changed the value
    int last = -1;
};

class Bench : public QObject
{
public:
    Bench(QString controlPath, QString password, int seconds, int intervalMs)
        : m_control(std::move(controlPath))
        , m_code(QString::fromLatin1(QCryptographicHash::hash(password.toUtf8(), QCryptographicHash::Md5).toHex()))
        , m_seconds(seconds)
        , m_intervalMs(intervalMs)
        , m_observer(m_facade, HttpAccessManager::getInstance())
        , m_subscriber(m_facade)
    {
        connect(&m_observer, &DeviceNotificationObserver::receivedTextMessage, &m_subscriber,
                &DeviceNotificationSubscriber::onReceivedTextMessage);
    }

    int result() const { return m_result; }

    void start()
    {
        const QStringList list = control(m_control, QStringLiteral("list"));
        for (const QString& line : list) {
            const QStringList words = line.split(QLatin1Char(' '));
            if (words.value(0) == QLatin1String("device") && words.size() > 4)
                m_devices.push_back({words.at(2), words.at(3), words.at(4)});
        }
        if (m_devices.empty())
            return fail(QStringLiteral("no devices: ") + list.join(QLatin1Char(' ')));
        for (Device& device : m_devices) {
            m_facade.activateDevice(device.address, device.model, QString(), device.id);
            std::shared_ptr<DeviceData> record;
            if (!m_facade.getDeviceData(device.id, record))
                return fail(QStringLiteral("no record for ") + device.id);
            Device* counted = &device;
            connect(record.get(), &DeviceData::dataChanged, this,
                    [this, counted](const QString&, DeviceParameter type) {
                        if (type != DeviceParameter::RunningStatus || !m_counting)
                            return;
                        QVariant value;
                        m_facade.getDeviceParameter(counted->id, DeviceParameter::RunningStatus, value,
                                                    DeviceFindPolicy::ById);
                        ++counted->stores;
                        if (value.toInt() != counted->last)
                            ++counted->changes;
                        counted->last = value.toInt();
                    });
            LoginController login(m_facade, HttpAccessManager::getInstance());
            const int32_t loggedIn = login.requestLogin(device.id, m_code);
            if (loggedIn != 0)
                return fail(QStringLiteral("login to %1: 0x%2")
                                .arg(device.address)
                                .arg(uint32_t(loggedIn), 8, 16, QLatin1Char('0')));
            const int32_t created = m_observer.createSession(device.id, DeviceEndpoints::kPushPort);
            if (created != 0)
                return fail(QStringLiteral("session to %1: 0x%2")
                                .arg(device.address)
                                .arg(uint32_t(created), 8, 16, QLatin1Char('0')));
        }
        m_clock.start();
        poll([this] { return connectedCount() == int(m_devices.size()); }, kConnectTimeoutMs, [this] { idle(); },
             [this] {
                 fail(QStringLiteral("%1 of %2 push channels connected").arg(connectedCount()).arg(m_devices.size()));
             });
    }

private:
    void fail(const QString& why)
    {
        std::fprintf(stderr, "bench_push: %s\n", qPrintable(why));
        m_result = 1;
        control(m_control, QStringLiteral("push-rate all off"));
        QCoreApplication::exit(1);
    }

    int connectedCount() const
    {
        int n = 0;
        for (const Device& device : m_devices)
            n += m_facade.isConnected(device.id) ? 1 : 0;
        return n;
    }

    // Checks `done` every 50 ms until it holds (then `next`) or the time is
    // up (then `late`).
    void poll(std::function<bool()> done, int timeoutMs, std::function<void()> next, std::function<void()> late)
    {
        auto* timer = new QTimer(this);
        QElapsedTimer clock;
        clock.start();
        connect(timer, &QTimer::timeout, this, [timer, clock, timeoutMs, done, next, late] {
            if (done()) {
                timer->deleteLater();
                next();
            } else if (clock.elapsed() > timeoutMs) {
                timer->deleteLater();
                late();
            }
        });
        timer->start(50);
    }

    qint64 sentTotal()
    {
        qint64 total = 0;
        for (const QString& line : control(m_control, QStringLiteral("list"))) {
            const qsizetype at = line.indexOf(QLatin1String(" sent="));
            if (line.startsWith(QLatin1String("device ")) && at >= 0)
                total += line.mid(at + 6).section(QLatin1Char(' '), 0, 0).toLongLong();
        }
        return total;
    }

    // The channels open, nothing pushed: the cost of keeping them (pings).
    void idle()
    {
        m_connectMs = m_clock.elapsed();
        m_cpu0 = cpuSeconds();
        m_wall.start();
        QTimer::singleShot(kIdleMs, Qt::PreciseTimer, this, [this] {
            m_idleCpu = (cpuSeconds() - m_cpu0) / (double(m_wall.nsecsElapsed()) / 1e9);
            push();
        });
    }

    void push()
    {
        m_sentBefore = sentTotal();
        for (Device& device : m_devices) {
            QVariant value;
            m_facade.getDeviceParameter(device.id, DeviceParameter::RunningStatus, value, DeviceFindPolicy::ById);
            device.last = value.toInt();
        }
        m_counting = true;
        const QStringList reply = control(m_control, QStringLiteral("push-rate all %1").arg(m_intervalMs));
        if (!reply.value(reply.size() - 1).startsWith(QLatin1String("ok")))
            return fail(QStringLiteral("push-rate: ") + reply.join(QLatin1Char(' ')));
        m_cpu0 = cpuSeconds();
        m_wall.start();
        QTimer::singleShot(m_seconds * 1000, Qt::PreciseTimer, this, [this] {
            const double cpu = cpuSeconds() - m_cpu0;
            const double wall = double(m_wall.nsecsElapsed()) / 1e9;
            control(m_control, QStringLiteral("push-rate all off"));
            m_pushWall = wall;
            m_pushCpu = cpu / wall;
            m_sent = sentTotal() - m_sentBefore;
            // What is still on its way arrives, or is counted as lost.
            poll([this] { return stores() >= m_sent; }, kDrainTimeoutMs, [this] { report(); }, [this] { report(); });
        });
    }

    qint64 stores() const
    {
        qint64 n = 0;
        for (const Device& device : m_devices)
            n += device.stores;
        return n;
    }

    void report()
    {
        qint64 changes = 0;
        for (const Device& device : m_devices)
            changes += device.changes;
        const qint64 received = stores();
        std::printf("devices=%d connected=%d connect_ms=%lld seconds=%.1f interval_ms=%d idle_cpu_percent=%.2f "
                    "cpu_percent=%.2f sent=%lld received=%lld changed=%lld lost=%lld\n",
                    int(m_devices.size()), connectedCount(), static_cast<long long>(m_connectMs), m_pushWall,
                    m_intervalMs, m_idleCpu * 100.0, m_pushCpu * 100.0, static_cast<long long>(m_sent),
                    static_cast<long long>(received), static_cast<long long>(changes),
                    static_cast<long long>(m_sent - received));
        std::fflush(stdout);
        m_result = (received == m_sent && changes == m_sent && connectedCount() == int(m_devices.size())) ? 0 : 1;
        QCoreApplication::exit(m_result);
    }

    const QString m_control;
    const QString m_code;
    const int m_seconds;
    const int m_intervalMs;
    DeviceFacade m_facade;
    DeviceNotificationObserver m_observer;
    DeviceNotificationSubscriber m_subscriber;
    std::vector<Device> m_devices;
    QElapsedTimer m_clock;
    QElapsedTimer m_wall;
    double m_cpu0 = 0;
    double m_idleCpu = 0;
    double m_pushCpu = 0;
    double m_pushWall = 0;
    qint64 m_connectMs = 0;
    qint64 m_sentBefore = 0;
    qint64 m_sent = 0;
    bool m_counting = false;
    int m_result = 1;
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: bench_push <control socket> <password> [seconds [interval ms]]\n");
        return 2;
    }
    registerDeviceMetaTypes();
    const int seconds = args.value(3, QStringLiteral("30")).toInt();
    const int intervalMs = args.value(4, QStringLiteral("100")).toInt();
    if (seconds <= 0 || intervalMs <= 0) {
        std::fprintf(stderr, "bench_push: seconds and interval must be positive\n");
        return 2;
    }
    int result = 1;
    {
        Bench bench(args.at(1), args.at(2), seconds, intervalMs);
        QTimer::singleShot(0, &bench, [&bench] { bench.start(); });
        app.exec();
        result = bench.result();
    }
    return result;
}
