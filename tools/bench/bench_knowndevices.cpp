// Figures, not a test: what the store of known devices costs per check as it
// grows, since every connection's check reads and writes the whole file under
// its lock. Usage: bench_knowndevices [devices (1000)]
#include "KnownDevices.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int devices = argc > 1 ? QByteArray(argv[1]).toInt() : 1000;
    QTemporaryDir dir;
    KnownDevices store(dir.filePath(QStringLiteral("known-devices.json")));
    const QString key = QStringLiteral("sha256//") + QString(43, QLatin1Char('A')) + QLatin1Char('=');
    const auto mac = [](int i) {
        return QStringLiteral("02:00:00:00:%1:%2")
            .arg(i / 256, 2, 16, QLatin1Char('0'))
            .arg(i % 256, 2, 16, QLatin1Char('0'));
    };
    for (const bool first : {true, false}) {
        QElapsedTimer clock;
        clock.start();
        int wrong = 0;
        for (int i = 0; i < devices; ++i) {
            const KnownDevices::Verdict verdict
                = store.check({mac(i), key, {}, QStringLiteral("TQ-730"), QStringLiteral("Device")});
            wrong += verdict != (first ? KnownDevices::Verdict::Pinned : KnownDevices::Verdict::Match);
        }
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        std::printf("%s of %d devices: %.0f ms in all, %.2f ms each, %d unexpected\n",
                    first ? "first contacts" : "matches", devices, ms, ms / devices, wrong);
    }
    return 0;
}
