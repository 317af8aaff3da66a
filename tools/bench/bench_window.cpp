// The window's figures, measured from outside the program: the time from
// start to the first frame the scene graph renders, and, with every lab
// device logged in and pushing changes, the longest frame and the program's
// CPU time. Frame times come from Qt's scene-graph timing category, switched
// on through a logging configuration file (the program names only the
// "qml" category in its own rules); CPU time from /proc/<pid>/stat. The
// devices are logged in as an operator would: check all rows, press
// "Update Firmware", answer every login popup, cancel the file dialog.
//
// Runs inside scripts/lab-network.sh and scripts/with-xvfb.sh (see
// scripts/bench-window.sh):
//   bench_window <corvane> <password> <seconds> <interval ms> <starts>
// and prints one line of key=value figures.
//
// At scale (hundreds of devices, none logged in):
//   bench_window --scale <corvane> <max devices>
// prints one line "scale ..." of figures: the time from the interface's
// confirmation to every lab device listed (from the window's own "device
// list" diagnostic, at most 100 ms late), the resident memory then, the CPU
// time at rest, the frames while paging through the table, and the time
// from a header click (sort) and from a key typed into the filter to the
// next frame rendered.

#include "CorvaneWindow.h"
#include "LabNetwork.h"
#include "OperatorDesktop.h"

#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <unistd.h>

using namespace CorvaneWindow;

namespace {

// The program with its diagnostics read line by line as they come, each
// stamped with the time since start.
class Program
{
public:
    Program(const QString& executable, const QString& runtimeDir, const QString& loggingConf,
            const QStringList& arguments = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("QT_LOGGING_CONF"), loggingConf);
        env.remove(QStringLiteral("QT_LOGGING_RULES"));
        m_process.setProcessEnvironment(env);
        m_process.setProgram(executable);
        m_process.setArguments(arguments);
        QObject::connect(&m_process, &QProcess::readyReadStandardError, &m_process, [this] {
            m_pending += m_process.readAllStandardError();
            int end;
            while ((end = m_pending.indexOf('\n')) >= 0) {
                const QByteArray line = m_pending.left(end);
                m_pending.remove(0, end + 1);
                onLine(line);
            }
        });
    }

    ~Program()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(10000)) {
                m_process.kill();
                m_process.waitForFinished();
            }
        }
    }

    bool start()
    {
        m_clock.start();
        m_process.start();
        return m_process.waitForStarted(10000);
    }

    qint64 pid() const { return m_process.processId(); }
    qint64 now() const { return m_clock.elapsed(); }
    // Frames rendered so far: arrival time and their own duration, in ms.
    const QList<QPair<qint64, int>>& frameLog() const { return m_frameLog; }
    // When the window last said it lists this many devices; -1 if never.
    qint64 listedAt(int devices) const { return m_listedAt.value(devices, -1); }

    // Resident memory in MB.
    double rssMb() const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(pid()));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
        }
        return -1;
    }
    qint64 firstFrameMs() const { return m_firstFrameMs; }

    // Frame statistics from now on.
    void resetFrames()
    {
        m_frames = 0;
        m_longestRenderMs = 0;
        m_longestPrepareMs = 0;
        m_renderSumMs = 0;
    }
    int frames() const { return m_frames; }
    int longestRenderMs() const { return m_longestRenderMs; }
    int longestPrepareMs() const { return m_longestPrepareMs; }
    double meanRenderMs() const { return m_frames > 0 ? double(m_renderSumMs) / m_frames : 0.0; }

    // User and system time of all the program's threads, in seconds.
    double cpuSeconds() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid()));
        if (!stat.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray text = stat.readAll();
        // The fields after the command name, which may hold spaces, in brackets.
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() < 13)
            return -1;
        const double ticks = double(sysconf(_SC_CLK_TCK));
        return (fields.at(11).toLongLong() + fields.at(12).toLongLong()) / ticks; // utime, stime
    }

private:
    void onLine(const QByteArray& line)
    {
        // Render thread: "frame rendered in 3ms, sync=0, render=1, swap=2";
        // the basic loop: "Frame rendered with 'basic' renderloop in 3ms, ...".
        static const QRegularExpression rendered(QStringLiteral("rendered .*in (\\d+)ms"));
        // Threaded loop, GUI side: "Frame prepared, polish=0 ms, lock=0 ms, blockedForSync=2 ms, animations=0 ms".
        static const QRegularExpression prepared(QStringLiteral(
            "Frame prepared, polish=(\\d+) ms, lock=(\\d+) ms, blockedForSync=(\\d+) ms, animations=(\\d+) ms"));
        const QString text = QString::fromUtf8(line);
        const QRegularExpressionMatch r = rendered.match(text);
        if (r.hasMatch()) {
            if (m_firstFrameMs < 0)
                m_firstFrameMs = m_clock.elapsed();
            const int ms = r.captured(1).toInt();
            m_frameLog.append({m_clock.elapsed(), ms});
            ++m_frames;
            m_renderSumMs += ms;
            m_longestRenderMs = std::max(m_longestRenderMs, ms);
            return;
        }
        static const QRegularExpression listed(QStringLiteral("device list: (\\d+) devices"));
        const QRegularExpressionMatch l = listed.match(text);
        if (l.hasMatch() && !m_listedAt.contains(l.captured(1).toInt()))
            m_listedAt.insert(l.captured(1).toInt(), m_clock.elapsed());
        const QRegularExpressionMatch p = prepared.match(text);
        if (p.hasMatch()) {
            const int ms
                = p.captured(1).toInt() + p.captured(2).toInt() + p.captured(3).toInt() + p.captured(4).toInt();
            m_longestPrepareMs = std::max(m_longestPrepareMs, ms);
        }
    }

    QProcess m_process;
    QByteArray m_pending;
    QElapsedTimer m_clock;
    qint64 m_firstFrameMs = -1;
    int m_frames = 0;
    int m_longestRenderMs = 0;
    int m_longestPrepareMs = 0;
    qint64 m_renderSumMs = 0;
    QList<QPair<qint64, int>> m_frameLog;
    QHash<int, qint64> m_listedAt;
};

int loggedIn()
{
    static const QRegularExpression push(QStringLiteral(" push=([1-9]\\d*) "));
    int count = 0;
    for (const QString& line : LabNetwork::controlReply(QStringLiteral("list")))
        count += push.match(line).hasMatch() ? 1 : 0;
    return count;
}

int deviceCount()
{
    int count = 0;
    for (const QString& line : LabNetwork::controlReply(QStringLiteral("list")))
        count += line.startsWith(QLatin1String("device ")) ? 1 : 0;
    return count;
}

// The program's runtime folder (private, as XDG wants it) and the logging
// rules that make the scene graph report each frame's times.
class Folders
{
public:
    Folders()
        : m_conf(m_work.filePath(QStringLiteral("logging.ini")))
    {
        if (!m_runtime.isValid() || !m_conf.open(QIODevice::WriteOnly))
            return;
        m_ready = m_conf.write("[Rules]\nqt.scenegraph.time.renderloop=true\n") > 0;
        m_conf.close();
        QFile::setPermissions(m_runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    bool ready() const { return m_ready; }
    QString runtime() const { return m_runtime.path(); }
    QString loggingConf() const { return m_conf.fileName(); }

private:
    QTemporaryDir m_runtime;
    QTemporaryDir m_work;
    QFile m_conf;
    bool m_ready = false;
};

int fail(const char* what)
{
    fprintf(stderr, "bench_window: %s\n", what);
    return 1;
}

// One round: check all rows, "Update Firmware", a password for every login
// popup, Escape for the file dialog. False when the window did not go along.
bool logInCheckedRows(Screen& screen, const QString& password)
{
    const auto failed = [&screen](const char* step) {
        fprintf(stderr, "bench_window: login round stopped at: %s\n", step);
        screen.grab().save(QStringLiteral("/tmp/bench_window-failed.png"));
        return false;
    };
    const OperatorDesktop::Window& window = screen.window();
    const Table& table = screen.table();
    QImage shot = screen.grab();
    if (screen.batchButtons(shot, kButtonEnabled).size() != 3) {
        if (!window.click(table.headerCentre(kCheckColumn)) || !screen.parkPointer())
            return failed("check all");
        if (!QTest::qWaitFor([&] { return screen.batchButtons(screen.grab(), kButtonEnabled).size() == 3; }, 10000))
            return failed("batch buttons enabled");
    }
    const QList<QRect> buttons = screen.batchButtons(screen.grab(), kButtonEnabled);
    if (buttons.size() != 3 || !window.click(buttons.first().center()) || !screen.parkPointer())
        return failed("update firmware");
    QImage popup;
    if (!QTest::qWaitFor([&] { return screen.settled(popup) && dimmed(popup); }, 10000))
        return failed("login popup");
    for (;;) {
        // The popup seen changing may have been the last device's own, on
        // its way out: what has settled since decides.
        if (!QTest::qWaitFor([&] { return screen.settled(popup); }, 10000))
            return failed("popup settled");
        if (fileDialogShown(popup))
            break;
        const int before = loggedIn();
        if (!screen.typeMasked(password, popup))
            return failed("password");
        // Return does nothing while the popup still reads the device's key
        // (Submit is off until then), so it is pressed again until the login
        // goes; once it has, the next popup's field is empty and Return is
        // ignored there.
        bool in = false;
        for (int attempt = 0; attempt < 10 && !in; ++attempt) {
            if (!window.key(QStringLiteral("Return")))
                return failed("password");
            in = QTest::qWaitFor([&] { return loggedIn() > before || fileDialogShown(screen.grab()); }, 2000);
        }
        if (!in)
            return failed("logged in");
        QImage next;
        // The next device's popup (a few lines differ) or the file dialog.
        if (!QTest::qWaitFor(
                [&] {
                    return screen.settled(next)
                           && (fileDialogShown(next)
                               || (dimmed(next) && OperatorDesktop::differingPixels(next, popup) >= kCursorPixels));
                },
                10000))
            return failed("next popup");
        if (fileDialogShown(next))
            break;
        popup = next;
    }
    if (!window.key(QStringLiteral("Escape"))
        || !QTest::qWaitFor([&] { return !fileDialogShown(screen.grab()); }, 10000))
        return failed("dialog cancelled");
    return true;
}

// From `from` to the first frame rendered after it, in ms; -1 if none
// came within a second.
qint64 toNextFrame(const Program& program, qint64 from)
{
    qint64 at = -1;
    const bool rendered = QTest::qWaitFor(
        [&] {
            for (const auto& frame : program.frameLog()) {
                if (frame.first > from) {
                    at = frame.first;
                    return true;
                }
            }
            return false;
        },
        1000);
    return rendered ? at - from : -1;
}

QString spread(QList<qint64> values)
{
    std::sort(values.begin(), values.end());
    if (values.isEmpty() || values.first() < 0)
        return QStringLiteral("-1 -1");
    return QStringLiteral("%1 %2").arg(values.at(values.size() / 2)).arg(values.last());
}

int runScale(const QString& executable, int maxDevices)
{
    const Folders folders;
    if (!folders.ready())
        return fail("no temporary folder");
    Program program(executable, folders.runtime(), folders.loggingConf(),
                    {QStringLiteral("--max-devices"), QString::number(maxDevices)});
    if (!program.start() || !QTest::qWaitFor([&] { return program.firstFrameMs() >= 0; }, 30000))
        return fail("no frame after start");
    const OperatorDesktop::Window window = OperatorDesktop::Window::ofProcess(program.pid());
    if (!window.isValid() || !window.focus())
        return fail("no window");
    Screen screen(window);
    QImage shot;
    if (!screen.waitForNetworkPopup(shot) || !screen.selectFirstInterface(shot))
        return fail("could not choose the lab interface");
    const int devices = std::min(deviceCount(), maxDevices);
    const qint64 chosen = program.now();
    if (!screen.confirmInterface(shot))
        return fail("could not confirm the lab interface");
    if (!QTest::qWaitFor([&] { return program.listedAt(devices) >= 0; }, 60000))
        return fail("not every device listed");
    const qint64 listedMs = program.listedAt(devices) - chosen;
    // How the list filled, for the record.
    QStringList filling;
    for (const int share : {10, 25, 50, 75, 90}) {
        qint64 at = -1;
        for (int n = devices * share / 100; n <= devices && at < 0; ++n)
            at = program.listedAt(n);
        filling << QStringLiteral("%1%@%2ms").arg(share).arg(at < 0 ? -1 : at - chosen);
    }
    fprintf(stderr, "bench_window: list filling %s\n", qPrintable(filling.join(u' ')));
    QTest::qWait(2000); // the last rows painted, the first answers' bursts over
    const double rss = program.rssMb();

    // At rest: the devices answer the scan, the operator does nothing.
    const double cpuBefore = program.cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QTest::qWait(10000);
    const double restPercent = 100.0 * (program.cpuSeconds() - cpuBefore) / (wall.elapsed() / 1000.0);

    if (!QTest::qWaitFor([&] { return screen.findTable(screen.grab()); }, 10000))
        return fail("no table");
    // Sorting by host name, both ways, a few times.
    QList<qint64> sorts;
    for (int i = 0; i < 6; ++i) {
        // Pointer away and back, so that its move returns at once (xdotool
        // waits for a move that does not happen); the click alone is timed.
        if (!screen.parkPointer() || !window.moveTo(screen.table().headerCentre(2)))
            return fail("no pointer");
        QTest::qWait(300);
        const qint64 from = program.now();
        if (QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("click"), QStringLiteral("--delay"),
                                                          QStringLiteral("0"), QStringLiteral("1")})
            != 0)
            return fail("no click");
        sorts.append(toNextFrame(program, from));
    }
    // Paging down through the table from the keyboard.
    if (!window.click(screen.table().cellCentre(0, 3)) || !screen.parkPointer())
        return fail("no row");
    QTest::qWait(300);
    const int framesBefore = int(program.frameLog().size());
    for (int i = 0; i < 60; ++i) {
        window.key(QStringLiteral("Next"));
        QTest::qWait(30);
    }
    QTest::qWait(500);
    QList<int> scrollFrames;
    for (int i = framesBefore; i < program.frameLog().size(); ++i)
        scrollFrames.append(program.frameLog().at(i).second);
    std::sort(scrollFrames.begin(), scrollFrames.end());
    const int p95 = scrollFrames.isEmpty() ? -1 : scrollFrames.at((scrollFrames.size() * 95 + 99) / 100 - 1);
    // Keys typed into the filter: each narrows or widens what is shown.
    if (!window.key(QStringLiteral("ctrl+f")))
        return fail("no filter");
    QTest::qWait(300);
    QList<qint64> keys;
    for (const QString& key :
         {QStringLiteral("1"), QStringLiteral("0"), QStringLiteral("BackSpace"), QStringLiteral("BackSpace"),
          QStringLiteral("2"), QStringLiteral("BackSpace"), QStringLiteral("a"), QStringLiteral("BackSpace"),
          QStringLiteral("3"), QStringLiteral("BackSpace")}) {
        QTest::qWait(300);
        // The key alone, the window already focused: xdotool's own start
        // is still counted.
        const qint64 from = program.now();
        if (QProcess::execute(QStringLiteral("xdotool"),
                              {QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("0"), key})
            != 0)
            return fail("no key");
        keys.append(toNextFrame(program, from));
    }
    printf("scale devices=%d listed_ms=%lld rss_mb=%.0f rest_cpu_percent=%.2f scroll_frames=%d scroll_p95_ms=%d "
           "sort_ms_median_max=%s filter_key_ms_median_max=%s\n",
           devices, listedMs, rss, restPercent, int(scrollFrames.size()), p95,
           qPrintable(spread(sorts).replace(u' ', u',')), qPrintable(spread(keys).replace(u' ', u',')));
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    if (argc == 4 && qstrcmp(argv[1], "--scale") == 0) {
        if (!LabNetwork::inside() || !OperatorDesktop::toolsPresent())
            return fail("run through scripts/bench-window.sh (lab network, X server, xdotool, xprop)");
        return runScale(QString::fromLocal8Bit(argv[2]), atoi(argv[3]));
    }
    if (argc != 6)
        return fail("usage: bench_window <corvane> <password> <seconds> <interval ms> <starts>");
    const QString executable = QString::fromLocal8Bit(argv[1]);
    const QString password = QString::fromLocal8Bit(argv[2]);
    const int seconds = atoi(argv[3]);
    const int intervalMs = atoi(argv[4]);
    const int starts = atoi(argv[5]);
    if (!LabNetwork::inside() || !OperatorDesktop::toolsPresent())
        return fail("run through scripts/bench-window.sh (lab network, X server, xdotool, xprop)");

    const Folders folders;
    if (!folders.ready())
        return fail("no temporary folder");

    // Start-up: process start to the first rendered frame, several times.
    QList<qint64> firstFrames;
    std::unique_ptr<Program> program;
    for (int i = 0; i < starts; ++i) {
        program.reset(new Program(executable, folders.runtime(), folders.loggingConf()));
        if (!program->start() || !QTest::qWaitFor([&] { return program->firstFrameMs() >= 0; }, 30000))
            return fail("no frame after start");
        firstFrames.append(program->firstFrameMs());
        if (i + 1 < starts)
            program.reset();
    }
    std::sort(firstFrames.begin(), firstFrames.end());

    // Every device logged in, as an operator does it.
    const OperatorDesktop::Window window = OperatorDesktop::Window::ofProcess(program->pid());
    if (!window.isValid() || !window.focus())
        return fail("no window");
    Screen screen(window);
    QImage shot;
    if (!screen.waitForNetworkPopup(shot) || !screen.selectFirstInterface(shot) || !screen.confirmInterface(shot))
        return fail("could not choose the lab interface");
    if (!QTest::qWaitFor(
            [&] {
                shot = screen.grab();
                return screen.findTable(shot) && screen.loginLinks(shot) > 0;
            },
            40000))
        return fail("no devices listed");
    const int devices = deviceCount();
    for (int round = 0; round < 4 && loggedIn() < devices; ++round) {
        if (!logInCheckedRows(screen, password))
            return fail("the logins did not go through");
    }
    if (loggedIn() != devices)
        return fail("not every device logged in");

    // The load: every device pushes a change at the interval.
    if (!screen.parkPointer() || !LabNetwork::control(QStringLiteral("push-rate all %1").arg(intervalMs)))
        return fail("could not start the pushes");
    program->resetFrames();
    const double cpuBefore = program->cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    while (wall.elapsed() < seconds * 1000LL)
        QTest::qWait(100); // the measurement period itself
    const double cpu = program->cpuSeconds() - cpuBefore;
    const double elapsed = wall.elapsed() / 1000.0;
    LabNetwork::control(QStringLiteral("push-rate all off"));

    printf("starts=%d first_frame_ms_min=%lld first_frame_ms_median=%lld first_frame_ms_max=%lld devices=%d "
           "logged_in=%d seconds=%.1f interval_ms=%d frames=%d longest_render_ms=%d mean_render_ms=%.1f "
           "longest_prepare_ms=%d cpu_percent=%.1f\n",
           starts, firstFrames.first(), firstFrames.at(firstFrames.size() / 2), firstFrames.last(), devices, loggedIn(),
           elapsed, intervalMs, program->frames(), program->longestRenderMs(), program->meanRenderMs(),
           program->longestPrepareMs(), 100.0 * cpu / elapsed);
    return 0;
}
