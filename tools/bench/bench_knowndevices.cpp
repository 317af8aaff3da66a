// Figures, not a test: what the store of known devices costs as it grows. A
// key's check (a connection's) with N pins, the memory the pins take, how
// many times 1,000 first contacts taken at once (corvanectl --trust-new,
// trust enroll) write the store, and 1,000 first contacts taken one by one
// (the window's batch login) on a store of their own: staged, one write.
// Target for those: under 0.5 s, a tenth of what a batch login of 1,000
// devices spends on their handshakes, where one write per contact took
// 5.6 s. Usage: bench_knowndevices [pins (100000)]
#include "KnownDevices.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

namespace {

QString macOf(int i)
{
    return QStringLiteral("02:00:%1:%2:%3:%4")
        .arg((i >> 24) & 0xFF, 2, 16, QLatin1Char('0'))
        .arg((i >> 16) & 0xFF, 2, 16, QLatin1Char('0'))
        .arg((i >> 8) & 0xFF, 2, 16, QLatin1Char('0'))
        .arg(i & 0xFF, 2, 16, QLatin1Char('0'))
        .toUpper();
}

QString keyOf(int i)
{
    return QStringLiteral("sha256//%1=").arg(QString::number(i).rightJustified(43, QLatin1Char('A')));
}

// Resident memory now, in MB (Linux).
double residentMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return -1;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int pins = argc > 1 ? QByteArray(argv[1]).toInt() : 100000;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("known-devices.json"));
    {
        QList<KnownDevices::Entry> entries;
        for (int i = 0; i < pins; ++i)
            entries.append({macOf(i), keyOf(i), {}, QStringLiteral("TQ-730"), QStringLiteral("Device %1").arg(i)});
        if (!KnownDevices(path).accept(entries)) {
            std::fprintf(stderr, "cannot write the store\n");
            return 1;
        }
    }
    const double before = residentMb();
    KnownDevices store(path);
    QElapsedTimer clock;
    clock.start();
    const bool read = store.check(macOf(0), keyOf(0)) == KnownDevices::Verdict::Match;
    const double firstMs = double(clock.nsecsElapsed()) / 1e6;
    const double pinsMb = residentMb() - before;
    const int checks = 100000;
    int wrong = read ? 0 : 1;
    clock.restart();
    for (int i = 0; i < checks; ++i)
        wrong += store.check(macOf(i % pins), keyOf(i % pins)) != KnownDevices::Verdict::Match;
    const double eachMs = double(clock.nsecsElapsed()) / 1e6 / checks;

    QList<KnownDevices::Entry> firstContacts;
    for (int i = 0; i < 1000; ++i)
        firstContacts.append({macOf(pins + i), keyOf(pins + i), {}, QStringLiteral("TQ-730"), {}});
    clock.restart();
    const bool accepted = store.accept(firstContacts);
    const double acceptMs = double(clock.nsecsElapsed()) / 1e6;

    // One by one, each checked first as a connection would, then staged.
    const QString ownPath = dir.filePath(QStringLiteral("one-by-one.json"));
    clock.restart();
    int oneByOneWrites = 0;
    bool staged = true;
    {
        KnownDevices window(ownPath);
        for (int i = 0; i < 1000; ++i) {
            const KnownDevices::Entry entry{macOf(i), keyOf(i), {}, QStringLiteral("TQ-730"), {}};
            staged = staged && window.check(entry.mac, entry.digest) == KnownDevices::Verdict::NoPin
                     && window.stage(entry);
        }
        staged = staged && window.flush();
        oneByOneWrites = window.writes();
    }
    const double oneByOneMs = double(clock.nsecsElapsed()) / 1e6;
    staged = staged && KnownDevices(ownPath).entries().size() == 1000;

    std::printf("store of %d pins: %.1f MB on disk\n", pins, double(QFile(path).size()) / 1e6);
    std::printf("first check (reads the file): %.0f ms; the pins take %.0f MB\n", firstMs, pinsMb);
    std::printf("check, file unchanged: %.4f ms each (target < 1 ms), %d unexpected\n", eachMs, wrong);
    std::printf("1000 first contacts taken at once: %d write(s) of the store in %.0f ms%s\n", store.writes(), acceptMs,
                accepted ? "" : " (failed)");
    std::printf("1000 first contacts one by one: %d write(s) of the store in %.0f ms (target < 500 ms)%s\n",
                oneByOneWrites, oneByOneMs, staged ? "" : " (failed)");
    return wrong == 0 && accepted && staged ? 0 : 1;
}
