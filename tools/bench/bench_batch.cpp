// Figures for scripts/bench-batch.sh: one firmware batch driven the way the
// window drives it, on the program's process-wide services.
//
//   bench_batch <file> <password> <device address>...
//
// Brings up the alert notifier, the push-session observer and the
// notification subscriber, registers each device with the facade as discovery
// would (id = the MAC address 02:00 + the four address bytes, as the virtual
// devices default it), logs in and opens its push channel as a login from the
// window does, then sends KxSystem's FirmwareUpdate event with all devices and
// the file's URL and waits for the status to come back to Active. A 5 ms timer
// on the same thread measures how late its ticks come: the longest lateness
// during the batch is the longest time the user-interface thread was blocked
// (beside it, the most CPU time the thread used between two ticks, which
// leaves out time spent waiting for a core on a loaded machine).
// Prints one line of key=value pairs; exit status 0 when every device
// accepted the file.

#include "AlertNotifier.h"
#include "DeviceEndpoints.h"
#include "DeviceFacade.h"
#include "DeviceNotificationObserver.h"
#include "DeviceNotificationSubscriber.h"
#include "DeviceTableModel.h"
#include "KxSystemImpl.h"
#include "LoginController.h"
#include "ResultCode.h"

#include "BlockMeter.h"
#include <QCoreApplication>

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHostAddress>
#include <QTimer>
#include <QUrl>

#include <cstdio>

#include <sys/resource.h>
#include <time.h>

namespace {

constexpr int kConnectTimeoutMs = 20000;

QString deviceIdOf(const QString& address)
{
    const quint32 ip = QHostAddress(address).toIPv4Address();
    return QStringLiteral("02:00:%1:%2:%3:%4")
        .arg((ip >> 24) & 0xFF, 2, 16, QLatin1Char('0'))
        .arg((ip >> 16) & 0xFF, 2, 16, QLatin1Char('0'))
        .arg((ip >> 8) & 0xFF, 2, 16, QLatin1Char('0'))
        .arg(ip & 0xFF, 2, 16, QLatin1Char('0'))
        .toUpper();
}

// CPU time this thread has used so far, in seconds.
double threadCpuSeconds()
{
    rusage usage{};
    if (getrusage(RUSAGE_THREAD, &usage) != 0)
        return 0.0;
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() < 4) {
        std::fprintf(stderr, "usage: bench_batch <file> <password> <device address>...\n");
        return 2;
    }
    const QString path = QFileInfo(arguments.at(1)).absoluteFilePath();
    const QString code
        = QString::fromLatin1(QCryptographicHash::hash(arguments.at(2).toUtf8(), QCryptographicHash::Md5).toHex());
    const QStringList addresses = arguments.mid(3);

    // What start-up brings up before the window exists.
    AlertNotifier::initialize();
    if (DeviceNotificationObserver::initialize() < 0) {
        std::fprintf(stderr, "the push-session observer did not start\n");
        return 1;
    }
    DeviceNotificationSubscriber subscriber;
    subscriber.initialize();
    DeviceFacade& facade = DeviceFacade::getInstance();
    DeviceTableModel table(facade);
    std::shared_ptr<KxSystemAbstractImpl> system = KxSystemImplFactory::createKxImpl();
    if (!system) {
        std::fprintf(stderr, "no system implementation\n");
        return 1;
    }
    unsigned int alerts = 0;
    QObject::connect(system.get(), &KxSystemAbstractImpl::eventReceived, &app,
                     [&alerts](KxSystemEventID::ID id, const QVariantMap& options) {
                         if (id == KxSystemEventID::ErrorAlertNotified) {
                             ++alerts;
                             std::fprintf(
                                 stderr, "alert %s\n",
                                 qPrintable(ResultCode::toHex(options.value(QStringLiteral("errorCode")).toInt())));
                         }
                     });

    // Discovery's report, then the operator's login, device by device.
    QStringList ids;
    for (const QString& address : addresses) {
        const QString id = deviceIdOf(address);
        ids << id;
        facade.activateDevice(address, QStringLiteral("TQ-730"), QStringLiteral("Bench"), id);
        LoginController login;
        const int32_t result = login.requestLogin(id, code);
        if (result != 0) {
            std::fprintf(stderr, "login to %s failed: %s\n", qPrintable(address),
                         qPrintable(ResultCode::toHex(result)));
            return 1;
        }
        DeviceNotificationObserver::m_instance->createSession(id, DeviceEndpoints::kPushPort);
    }
    QElapsedTimer connecting;
    connecting.start();
    const auto allConnected = [&] {
        for (const QString& id : ids) {
            if (!facade.isConnected(id))
                return false;
        }
        return true;
    };
    while (!allConnected()) {
        if (connecting.elapsed() > kConnectTimeoutMs) {
            std::fprintf(stderr, "push channels did not open\n");
            return 1;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }

    BlockMeter meter;
    QElapsedTimer clock;
    QList<KxSystemStatus::Status> statuses;
    double cpuAtStart = 0.0;
    double cpuAtEnd = 0.0;
    QObject::connect(system.get(), &KxSystemAbstractImpl::statusChanged, &app, [&] {
        statuses << system->status();
        if (system->status() == KxSystemStatus::Active) {
            cpuAtEnd = threadCpuSeconds();
            meter.stop();
            QCoreApplication::quit();
        }
    });
    // The window's request: the checked ids and the chosen file as a URL.
    const QVariantMap options{{QStringLiteral("devices"), ids},
                              {QStringLiteral("filePath"), QUrl::fromLocalFile(path)}};
    QTimer::singleShot(0, &app, [&] {
        clock.start();
        cpuAtStart = threadCpuSeconds();
        meter.start();
        system->sendEvent(KxSystemEventID::FirmwareUpdate, options);
    });
    app.exec();
    const double seconds = double(clock.nsecsElapsed()) / 1e9;

    int uploaded = 0;
    for (const QString& id : ids) {
        QVariant result;
        // A device that took the file is never marked failed by the batch.
        if (facade.getDeviceParameter(id, DeviceParameter::UpdateResult, result, DeviceFindPolicy::ById)
            && result.toInt() != 1)
            ++uploaded;
    }
    std::printf("devices=%lld accepted=%d alerts=%u seconds=%.3f ui_cpu_seconds=%.3f longest_block_ms=%.1f "
                "longest_busy_ms=%.1f ticks=%lld statuses=%lld\n",
                static_cast<long long>(ids.size()), uploaded, alerts, seconds, cpuAtEnd - cpuAtStart, meter.longestMs(),
                meter.longestBusyMs(), static_cast<long long>(meter.ticks()), static_cast<long long>(statuses.size()));
    std::fflush(stdout);

    system.reset();
    DeviceNotificationObserver::finalize();
    AlertNotifier::finalize();
    return uploaded == ids.size() && alerts == 0 ? 0 : 1;
}
