// What a screen reader user hears: Orca, Debian's screen reader, listens to
// the real window on a private X server and a private session bus, inside
// the private test network with three virtual devices; the keyboard is the
// only input. What Orca speaks is read from its debug log, where it writes
// every utterance ("SPEECH OUTPUT: '...'") whether or not a speech server
// could say it, so the test needs no sound.

#include "AtSpiDesktop.h"
#include "CorvaneProcess.h"
#include "LabNetwork.h"
#include "OperatorDesktop.h"
#include "PrivateSessionBus.h"
#include "TestPrograms.h"

#include <QRegularExpression>
#include <QStandardPaths>

#include <functional>
#include <memory>

namespace {

const QString kPassword = QStringLiteral("corvane");
const int kHeardWithinMs = 20000;

// Orca in a PID namespace of its own, with its own view of the processes:
// it and what it starts end with it, and it sees no other Orca (it refuses
// to start beside one, and would end one on `--replace`). Its debug log goes to a terminal that `script` gives it:
// Python writes a file on a terminal line by line, so each utterance is in the log as soon as it is spoken. Speech is
// off: Orca still decides and logs what it would say, and no speech server is waited for.
class Orca
{
public:
    explicit Orca(const PrivateSession::Bus& bus)
        : m_log(bus.home() + QStringLiteral("/orca.log"))
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), bus.home());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), bus.home());
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address());
        env.remove(QStringLiteral("AT_SPI_BUS_ADDRESS"));
        m_process.setProcessEnvironment(env);
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }

    ~Orca()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }

    // Started and listening, once it says so in its log.
    bool start()
    {
        m_process.start(QStringLiteral("unshare"),
                        {QStringLiteral("--pid"), QStringLiteral("--fork"), QStringLiteral("--mount-proc"),
                         QStringLiteral("--kill-child=SIGKILL"), QStringLiteral("script"), QStringLiteral("-qfec"),
                         QStringLiteral("orca --disable speech --disable braille --debug-file=/dev/stdout"), m_log});
        return m_process.waitForStarted(10000)
               && QTest::qWaitFor([this] { return log().contains("Startup complete"); }, 60000);
    }

    QByteArray log() const
    {
        QFile file(m_log);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Every utterance so far, in order. Key echo ("tab ", logged with a
    // space before the voice) is left out: it says what was pressed, not
    // what the window told.
    QStringList spoken() const
    {
        static const QRegularExpression utterance(QStringLiteral("SPEECH OUTPUT: '(.*)'(\\{| \\{)"));
        QStringList said;
        for (const QByteArray& line : log().split('\n')) {
            const QRegularExpressionMatch match = utterance.match(QString::fromUtf8(line));
            if (match.hasMatch() && match.captured(2) == QLatin1String("{"))
                said << match.captured(1);
        }
        return said;
    }

private:
    QString m_log;
    QProcess m_process;
};

struct LabDevice
{
    QString id;
    QString host;
    QString ip;
    QString mac;
};

} // namespace

class TestScreenReaderE2e : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (!LabNetwork::inside())
            QSKIP("not inside the private test network (scripts/lab-network.sh)");
        QVERIFY2(OperatorDesktop::toolsPresent(), "needs DISPLAY, xdotool and xprop (scripts/install-deps.sh)");
        QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("orca")).isEmpty(),
                 "needs orca (scripts/install-deps.sh)");
        QVERIFY(m_runtime.isValid());
        QVERIFY(QFile::setPermissions(m_runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        const QRegularExpression line(QStringLiteral("^device (\\S+) (\\S+) (\\S+) (\\S+) \"([^\"]*)\""));
        for (const QString& text : LabNetwork::controlReply(QStringLiteral("list"))) {
            const QRegularExpressionMatch match = line.match(text);
            if (match.hasMatch())
                m_devices.append({match.captured(1), match.captured(5), match.captured(2), match.captured(3)});
        }
        QCOMPARE(m_devices.size(), 3);

        QString error;
        QVERIFY2(m_bus.start(error), qPrintable(error));
        m_desktop = std::make_unique<PrivateSession::AtSpiDesktop>(m_bus);
        m_orca = std::make_unique<Orca>(m_bus);
        QVERIFY2(m_orca->start(), "Orca did not start:\n" + m_orca->log().right(3000));
        // Listening means the registry lists Orca's listeners: a program
        // sends only the events listened for as it starts.
        QStringList events;
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         events = m_desktop->connect() ? m_desktop->listenedEvents() : QStringList();
                         return !events.filter(QStringLiteral("Window:Activate")).isEmpty()
                                && !events.filter(QStringLiteral("Focus:")).isEmpty();
                     },
                     kHeardWithinMs),
                 qPrintable(QStringLiteral("Orca's listeners are not in the AT-SPI registry: ") + events.join(' ')));

        // The firmware lies where the file dialog opens; the path is typed.
        const QString downloads = m_bus.home() + QStringLiteral("/Downloads");
        QVERIFY(QDir().mkpath(downloads));
        m_firmwarePath = downloads + QStringLiteral("/corvane-2.7.1.bundle");
        QFile firmware(m_firmwarePath);
        QVERIFY(firmware.open(QIODevice::WriteOnly));
        firmware.write(QByteArray(256 * 1024, '\x5a'));
        firmware.close();

        m_corvane = std::make_unique<CorvaneProcess>(TestPrograms::corvane(), m_runtime.path(), QStringLiteral("xcb"));
        m_bus.runAccessible(m_corvane->process());
        QProcessEnvironment env = m_corvane->process().processEnvironment();
        env.insert(QStringLiteral("XDG_DOWNLOAD_DIR"), downloads);
        m_corvane->process().setProcessEnvironment(env);
        QVERIFY(m_corvane->start());
        QVERIFY2(m_corvane->waitForMainView(), m_corvane->standardError().constData());
        m_window = OperatorDesktop::Window::ofProcess(m_corvane->process().processId());
        QVERIFY(m_window.isValid());
        QVERIFY2(QTest::qWaitFor(
                     [this] {
                         m_application = m_desktop->application(QStringLiteral("corvane"));
                         return !m_application.isEmpty();
                     },
                     kHeardWithinMs),
                 "the window's program is not on the AT-SPI desktop");
    }

    void cleanupTestCase()
    {
        if (m_corvane && m_corvane->isRunning()) {
            QVERIFY(m_corvane->terminateAndWait());
            QCOMPARE(m_corvane->process().exitCode(), 0);
        }
        m_orca.reset();
        m_desktop.reset();
        QVERIFY(m_bus.stop());
    }

    void cleanup()
    {
        if (QTest::currentTestFailed() && m_corvane)
            qWarning("the program's last diagnostics:\n%s", m_corvane->standardError().right(3000).constData());
        // Orca's debug log says, with times, which events it got, which it
        // ignored and why: kept for a failure on a machine not at hand.
        if (QTest::currentTestFailed() && m_orca) {
            const QString folder = QStringLiteral(CORVANE_ARTEFACT_DIR "/screenreader-e2e");
            QFile log(folder + QStringLiteral("/orca.log"));
            if (QDir().mkpath(folder) && log.open(QIODevice::WriteOnly))
                log.write(m_orca->log());
            qWarning("Orca's log: %s", qPrintable(log.fileName()));
        }
    }

    // The window comes up with the interface chooser; the keys find the
    // list, the lab's interface, and the device table behind the chooser.
    void interfaceChooser()
    {
        // There is no window manager: the focus is given as one would, and
        // its one window:activate is all Orca hears of the window's coming,
        // so it is given once Orca listens and the program is on the AT-SPI
        // desktop. The focus goes to the desktop first, and to the window
        // once it says it lost it, so that the activation comes after both
        // even where the window had the focus already.
        QVERIFY(hearAfter(
            [this] {
                return OperatorDesktop::focusDesktop()
                       && QTest::qWaitFor([this] { return !m_desktop->windowActive(m_application); }, kHeardWithinMs)
                       && m_window.focus();
            },
            {QStringLiteral("Corvane frame 1 unfocused dialog.")}));
        QVERIFY(pressAndHear(QStringLiteral("Tab"), {QStringLiteral("Cancel push button.")}));
        QVERIFY(pressAndHear(QStringLiteral("Tab"),
                             {QStringLiteral("Network interfaces."), QStringLiteral("table with 1 row 4 columns.")}));
        // The chosen row is read whole: name, address, MAC address, mask.
        QVERIFY(
            pressAndHear(QStringLiteral("Down"), {LabNetwork::kInterface + QLatin1Char('.'),
                                                  QStringLiteral("10.213.0.1."), QStringLiteral("255.255.255.0.")}));
        QVERIFY(pressAndHear(QStringLiteral("Return"), {QStringLiteral("All devices check box not checked.")}));
        m_stage = 1;
    }

    // Each move says the row; Space says the new state, once. The header row
    // says each column and its sort order; the table says its size.
    void movingThroughRowsAndCheckingOne()
    {
        QVERIFY2(m_stage == 1, "an earlier stage failed");
        QVERIFY(pressAndHear(QStringLiteral("Down"),
                             {QStringLiteral("Devices."), QStringLiteral("table with 3 rows 8 columns"),
                              row(0) + QStringLiteral(" check box not checked.")}));
        QVERIFY(pressAndHear(QStringLiteral("Down"), {row(1) + QStringLiteral(" check box not checked.")}));
        QVERIFY(pressAndHear(QStringLiteral("space"), {QStringLiteral("checked")}));
        QVERIFY(pressAndHear(QStringLiteral("Up"), {row(0) + QStringLiteral(" check box not checked.")}));
        QVERIFY(pressAndHear(QStringLiteral("Down"), {row(1) + QStringLiteral(" check box checked.")}));
        QVERIFY(pressAndHear(QStringLiteral("Home"), {row(0) + QStringLiteral(" check box not checked.")}));
        QVERIFY(pressAndHear(QStringLiteral("Up"), {QStringLiteral("All devices check box partially checked.")}));
        QVERIFY(pressAndHear(QStringLiteral("Right"), {QStringLiteral("Model table column header.")}));
        // Enter sorts by the column, and again the other way round.
        QStringList orders;
        for (int press = 0; press < 2; ++press) {
            QVERIFY(pressAndHear(QStringLiteral("Return"),
                                 {QStringLiteral("Model table column header."), QStringLiteral("sorted *")}));
            orders << m_orca->spoken().last();
        }
        QCOMPARE(QSet<QString>(orders.cbegin(), orders.cend()),
                 (QSet<QString>{QStringLiteral("sorted ascending."), QStringLiteral("sorted descending.")}));
        QVERIFY(pressAndHear(QStringLiteral("Left"), {QStringLiteral("All devices check box partially checked.")}));
        QVERIFY(pressAndHear(QStringLiteral("Down"), {QStringLiteral("Devices."), QStringLiteral("* check box *")}));
        m_stage = 2;
    }

    // All three go: the dialog says which device it logs in to, and where
    // in the list; a wrong password's toast is spoken.
    void loginDialogAndAWrongPassword()
    {
        QVERIFY2(m_stage == 2, "an earlier stage failed");
        QVERIFY(pressAndHear(QStringLiteral("Up"), {QStringLiteral("All devices check box partially checked.")}));
        // The header box's own toggle is not told; the rows say it.
        QVERIFY(m_window.key(QStringLiteral("space")));
        QVERIFY(
            pressAndHear(QStringLiteral("Down"), {QStringLiteral("Devices."), QStringLiteral("* check box checked.")}));
        QVERIFY(pressAndHear(QStringLiteral("Tab"), {QStringLiteral("Update Firmware push button.")}));
        const int opened = m_orca->spoken().size();
        QVERIFY(pressAndHear(QStringLiteral("space"), {QStringLiteral("Login dialog Device 1 of 3: * Host Name: *"),
                                                       QStringLiteral("Password password text.")}));
        // The list goes in the order the devices were found.
        const int first = loginTarget(m_orca->spoken().mid(opened).join(QLatin1Char(' ')));
        QVERIFY(first >= 0);
        const LabDevice& device = m_devices.at(first);
        QVERIFY(
            heard({QStringLiteral("Login dialog Device 1 of 3: %1, %2 Host Name: %1 IP Address: %2 MAC Address: %3*")
                       .arg(device.host, device.ip, device.mac),
                   QStringLiteral("notification Device 1 of 3: %1, %2.").arg(device.host, device.ip)},
                  opened));
        // A key met for the first time is said before the password goes,
        // with the dialog or just after it.
        QTRY_VERIFY(m_orca->spoken()
                        .mid(opened)
                        .join(QLatin1Char(' '))
                        .contains(QStringLiteral("New device key. This device has not been met before.")));
        const int before = m_orca->spoken().size();
        QVERIFY(m_window.type(QStringLiteral("not-corvane")));
        QVERIFY(
            pressAndHear(QStringLiteral("Return"), {QStringLiteral("notification Invalid password, please retry.")}));
        // The password is never spoken, not even letter by letter.
        for (const QString& said : m_orca->spoken().mid(before))
            QVERIFY2(!said.contains(QStringLiteral("corvane")), qPrintable(said));
        m_stage = 3;
    }

    // The right password, offered to the others: their new keys still need
    // the operator's word, so each is asked for in turn. Then the file and
    // the batch: the focus goes to the table, and the batch's start, each
    // device's result and its summary are spoken.
    void aBatchsEnd()
    {
        QVERIFY2(m_stage == 3, "an earlier stage failed");
        QVERIFY(m_window.type(kPassword));
        QVERIFY(pressAndHear(QStringLiteral("Tab"),
                             {QStringLiteral("Use this password for the other 2 devices check box not checked.")}));
        QVERIFY(pressAndHear(QStringLiteral("space"), {QStringLiteral("checked")}));
        for (const QString& position : {QStringLiteral("2 of 3"), QStringLiteral("3 of 3")}) {
            QVERIFY(pressAndHear(QStringLiteral("Return"), {QStringLiteral("*Device %1: *").arg(position)}));
            QVERIFY(m_window.type(kPassword));
        }
        // The file dialog opens on the download folder, on the firmware.
        QVERIFY(pressAndHear(QStringLiteral("Return"), {QStringLiteral("corvane-2.7.1.bundle *")}));
        QVERIFY(m_window.key(QStringLiteral("ctrl+l")));
        QVERIFY(m_window.key(QStringLiteral("ctrl+a")));
        QVERIFY(m_window.type(m_firmwarePath));
        // One install fails; one ends with its result and idle in one push.
        const LabDevice& failing = m_devices.at(0);
        const LabDevice& together = m_devices.at(1);
        QVERIFY(LabNetwork::control(QStringLiteral("fault %1 update-result 1").arg(failing.id)));
        QVERIFY(LabNetwork::control(QStringLiteral("fault %1 finish together").arg(together.id)));
        const int from = m_orca->spoken().size();
        QVERIFY(pressAndHear(QStringLiteral("Return"), {QStringLiteral("Devices."), QStringLiteral("* check box *")}));
        QVERIFY(heard({QStringLiteral("notification Update finished: 2 succeeded, 1 failed, 0 skipped, 0 stopped.")},
                      from, 3 * kHeardWithinMs));
        // Said before the summary, so not waited for.
        QVERIFY(heard({QStringLiteral("notification Update started: 3 devices.")}, from, 0));
        QVERIFY(heard({QStringLiteral("notification %1, %2: Update successful.").arg(together.host, together.ip)}, from,
                      0));
        QVERIFY(heard({QStringLiteral("notification %1, %2: Update failed*").arg(failing.host, failing.ip)}, from, 0));
        m_stage = 4;
    }

    // The filter says how many devices it leaves once typing pauses.
    void filterCount()
    {
        QVERIFY2(m_stage == 4, "an earlier stage failed");
        QVERIFY(pressAndHear(QStringLiteral("ctrl+f"), {QStringLiteral("Filter devices *")}));
        QVERIFY(hearAfter([this] { return m_window.type(m_devices.at(2).ip); },
                          {QStringLiteral("notification 1 of 3 devices shown, 3 checked, 2 of them hidden.")}));
    }

private:
    // The row as its box names it, with the status it shows.
    QString row(int index, const QString& status = QStringLiteral("Login required")) const
    {
        const LabDevice& device = m_devices.at(index);
        return QStringLiteral("%1, %2, %3").arg(device.host, device.ip, status);
    }

    // The lab device whose host name and MAC address the text names, or -1.
    int loginTarget(const QString& said) const
    {
        for (int index = 0; index < m_devices.size(); ++index) {
            if (said.contains(QStringLiteral("Host Name: %1 ").arg(m_devices.at(index).host))
                && said.contains(m_devices.at(index).mac))
                return index;
        }
        return -1;
    }

    // The utterances, in this order, among what Orca says from now on (or
    // said since `from`); "*" stands for any text.
    bool heard(const QStringList& expected, int from = 0, int withinMs = kHeardWithinMs)
    {
        int next = 0;
        const bool all = QTest::qWaitFor(
            [&] {
                const QStringList said = m_orca->spoken().mid(from);
                next = 0;
                for (const QString& utterance : said) {
                    if (next == expected.size())
                        break;
                    if (QRegularExpression::fromWildcard(expected.at(next)).match(utterance).hasMatch())
                        ++next;
                }
                return next == expected.size();
            },
            withinMs);
        if (!all)
            qWarning("Orca did not say \"%s\"; it said:\n  %s", qPrintable(expected.value(next)),
                     qPrintable(m_orca->spoken().mid(from).join(QStringLiteral("\n  "))));
        return all;
    }

    // What Orca says after an action, in this order: a key, the devices'
    // control command (LabNetwork::control, e.g. "state d2 busy"), any step.
    bool hearAfter(const std::function<bool()>& action, const QStringList& expected)
    {
        const int from = m_orca->spoken().size();
        return action() && heard(expected, from);
    }

    bool pressAndHear(const QString& key, const QStringList& expected)
    {
        return hearAfter([&] { return m_window.key(key); }, expected);
    }

    bool controlAndHear(const QString& command, const QStringList& expected)
    {
        return hearAfter([&] { return LabNetwork::control(command); }, expected);
    }

    PrivateSession::Bus m_bus;
    QTemporaryDir m_runtime;
    std::unique_ptr<PrivateSession::AtSpiDesktop> m_desktop;
    QString m_application; // the window's program on the AT-SPI bus
    std::unique_ptr<Orca> m_orca;
    std::unique_ptr<CorvaneProcess> m_corvane;
    OperatorDesktop::Window m_window;
    QList<LabDevice> m_devices;
    QString m_firmwarePath;
    int m_stage = 0;
};

QTEST_MAIN(TestScreenReaderE2e)
#include "tst_screenreader_e2e.moc"
