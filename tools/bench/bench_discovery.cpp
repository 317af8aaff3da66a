// Discovery as the operator meets it, run inside the private test network:
// how long from the start of a scan until every virtual device is listed in
// the device table, and what discovery costs while it idles with all of them
// answering once a second.
#include "DeviceTableModel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkAddressEntry>
#include <QNetworkInterface>
#include <QTimer>

#include <cstdio>
#include <ctime>

namespace {

double processCpuSeconds()
{
    timespec now = {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

QVariantMap labInterface()
{
    const QNetworkInterface lab = QNetworkInterface::interfaceFromName(QStringLiteral("corvane-lab"));
    for (const QNetworkAddressEntry& entry : lab.addressEntries())
        if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
            return {{"interfaceName", lab.humanReadableName()},
                    {"ipAddress", entry.ip().toString()},
                    {"macAddress", lab.hardwareAddress()},
                    {"subnetMask", entry.netmask().toString()}};
    return {};
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int expected = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 32;
    const int idleSeconds = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 10;
    const QVariantMap lab = labInterface();
    if (lab.isEmpty()) {
        std::fprintf(stderr, "bench_discovery: run inside scripts/lab-network.sh\n");
        return 2;
    }

    DeviceTableModel model;
    QElapsedTimer clock;
    clock.start();
    if (!DeviceFacade::getInstance().startScan(lab)) {
        std::fprintf(stderr, "bench_discovery: the scan did not start\n");
        return 1;
    }

    double cpuAtIdleStart = 0;
    QElapsedTimer idle;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!idle.isValid()) {
            if (model.rowCount() < expected) {
                if (clock.elapsed() > 30000) {
                    std::printf("only %d of %d devices listed after 30 s\n", model.rowCount(), expected);
                    QCoreApplication::exit(1);
                }
                return;
            }
            std::printf("devices listed:              %d\n", model.rowCount());
            std::printf("scan start to all listed:    %lld ms\n", static_cast<long long>(clock.elapsed()));
            std::fflush(stdout);
            poll.setInterval(1000);
            idle.start();
            cpuAtIdleStart = processCpuSeconds();
            return;
        }
        if (idle.elapsed() < idleSeconds * 1000)
            return;
        const double cpu = processCpuSeconds() - cpuAtIdleStart;
        const double wall = static_cast<double>(idle.elapsed()) / 1000.0;
        std::printf("idle with %d devices answering, over %.1f s: %.3f %% of one core (%.1f ms CPU)\n",
                    model.rowCount(), wall, 100.0 * cpu / wall, cpu * 1000.0);
        QCoreApplication::exit(model.rowCount() == expected ? 0 : 1);
    });
    poll.start();
    return QCoreApplication::exec();
}
