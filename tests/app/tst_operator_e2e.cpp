// The whole program as an operator uses it: the real corvane in a real window
// on a private X server, inside the private test network with three virtual
// devices. Everything is done from outside the program, with the pointer, the
// keyboard and a window manager's close request; what the program shows is
// read from screenshots (places derived from the window's layout, see
// CorvaneWindow.h), from the window's properties on the X server, from the
// devices' console and control channel, and from the program's own
// diagnostics.

#include "CorvaneProcess.h"
#include "CorvaneWindow.h"
#include "LabNetwork.h"
#include "OperatorDesktop.h"
#include "TestPrograms.h"
#include "WindowManagerRequests.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace CorvaneWindow;
using OperatorDesktop::differingPixels;

namespace {

const QString kPassword = QStringLiteral("corvane"); // the lab devices' password
const QString kFirmwareName = QStringLiteral("corvane-2.7.1.bundle");
const QString kWrongPasswordText = QStringLiteral("Invalid password, please retry.");
const QString kBusyText = QStringLiteral("Firmware update was skipped. Device is busy.");
const QString kSuccessText = QStringLiteral("Update successful");
constexpr int kToastPointSize = 14;

// The same text drawn in another row may differ in a few edge pixels; other
// texts differ in hundreds.
constexpr int kSameText = 10;

QImage crop(const QImage& shot, const QRect& rect)
{
    return shot.copy(rect);
}

// The device's push channels as its control channel reports them; -1 unknown.
int pushChannels(const QString& deviceId)
{
    const QRegularExpression pattern(QStringLiteral("^device %1 .* push=(\\d+)").arg(deviceId));
    for (const QString& line : LabNetwork::controlReply(QStringLiteral("list"))) {
        const QRegularExpressionMatch match = pattern.match(line);
        if (match.hasMatch())
            return match.captured(1).toInt();
    }
    return -1;
}

bool consoleHas(const QString& text)
{
    return LabNetwork::console().contains(text.toUtf8());
}

// How often the device has accepted a login.
int logins(const QString& deviceId)
{
    const QRegularExpression line(QStringLiteral("^event %1 authenticated$").arg(deviceId),
                                  QRegularExpression::MultilineOption);
    return int(QString::fromUtf8(LabNetwork::console()).count(line));
}

} // namespace

class TestOperatorE2e : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (!LabNetwork::inside())
            QSKIP("not inside the private test network (scripts/lab-network.sh)");
        QVERIFY2(OperatorDesktop::toolsPresent(), "needs DISPLAY, xdotool and xprop (scripts/install-deps.sh)");
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QVERIFY(m_home.isValid());
        QVERIFY(m_runtime.isValid());
        QVERIFY(QFile::setPermissions(m_runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        // The file dialog opens in the download folder; the firmware lies there
        // too, but the operator types its path.
        const QString downloads = m_home.filePath(QStringLiteral("Downloads"));
        QVERIFY(QDir().mkpath(downloads));
        m_firmwarePath = QDir(downloads).filePath(kFirmwareName);
        QFile firmware(m_firmwarePath);
        QVERIFY(firmware.open(QIODevice::WriteOnly));
        QByteArray block(1024, '\0');
        for (int i = 0; i < block.size(); ++i)
            block[i] = char(i * 7 + 3);
        for (int i = 0; i < 8 * 1024; ++i) // 8 MiB: several seconds at a throttled rate, more than socket buffers
            firmware.write(block);
        firmware.close();

        m_corvane.reset(new CorvaneProcess(TestPrograms::corvane(), m_runtime.path(), QStringLiteral("xcb")));
        QProcessEnvironment env = m_corvane->process().processEnvironment();
        env.insert(QStringLiteral("HOME"), m_home.path());
        env.insert(QStringLiteral("XDG_DOWNLOAD_DIR"), downloads);
        // No desktop: the dialogs are the program's own, inside its window.
        env.remove(QStringLiteral("XDG_CURRENT_DESKTOP"));
        env.remove(QStringLiteral("QT_QPA_PLATFORMTHEME"));
        env.remove(QStringLiteral("DESKTOP_SESSION"));
        m_corvane->process().setProcessEnvironment(env);
        QVERIFY(m_corvane->start());
        QVERIFY2(m_corvane->waitForMainView(), m_corvane->standardError().constData());
        const OperatorDesktop::Window window = OperatorDesktop::Window::ofProcess(m_corvane->process().processId());
        QVERIFY2(window.isValid(), "the program shows no window");
        QVERIFY(window.focus());
        m_screen.reset(new Screen(window));
    }

    void cleanupTestCase()
    {
        if (m_corvane && m_corvane->isRunning()) {
            QVERIFY(m_corvane->terminateAndWait());
            QCOMPARE(m_corvane->process().exitCode(), 0);
        }
    }

    void cleanup()
    {
        // What the operator would have seen when a stage went wrong.
        if (!QTest::currentTestFailed() || !m_screen)
            return;
        save(m_screen->grab(), QStringLiteral("failed-%1").arg(QString::fromLatin1(QTest::currentTestFunction())));
        qWarning("the program's last diagnostics:\n%s", m_corvane->standardError().right(3000).constData());
    }

    void opensWithTheNetworkPopupAndACloseButton()
    {
        const QRect geometry = window().geometry();
        QVERIFY2(geometry.width() >= 1080 && geometry.height() >= 480,
                 qPrintable(QStringLiteral("%1 x %2").arg(geometry.width()).arg(geometry.height())));
        QVERIFY(window().motifFunctions() & OperatorDesktop::Window::kMotifFunctionClose);
        // The popup is open at start: it dims the window and shows its table.
        QImage shot;
        QVERIFY2(m_screen->waitForNetworkPopup(shot), "no network popup with a table");
        save(shot, QStringLiteral("01-network-popup"));
        m_stage = 1;
    }

    void choosingTheLabInterfaceListsTheDevices()
    {
        QVERIFY2(m_stage == 1, "an earlier stage failed");
        QImage shot;
        QVERIFY2(m_screen->selectFirstInterface(shot), "the interface row was not selected");
        save(shot, QStringLiteral("02-interface-chosen"));
        QVERIFY2(m_screen->confirmInterface(shot), "no OK, or the popup stayed open");

        // The devices appear with the link "Login required".
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         shot = m_screen->grab();
                         return m_screen->findTable(shot) && m_screen->loginLinks(shot) == 3;
                     },
                     40000),
                 qPrintable(QStringLiteral("rows with a login link: %1").arg(m_screen->loginLinks(shot))));
        save(shot, QStringLiteral("03-devices-listed"));
        // No device is checked yet: all three batch buttons are disabled.
        QCOMPARE(m_screen->batchButtons(shot, kButtonDisabled).size(), 3);
        m_stage = 2;
    }

    void sortsByIpAddressBothWays()
    {
        QVERIFY2(m_stage == 2, "an earlier stage failed");
        const Table& table = m_screen->table();
        const QRect headerCell = table.headerCell(kIpAddressColumn);
        const QImage before = crop(m_screen->grab(), headerCell);
        QVERIFY(window().click(table.headerCentre(kIpAddressColumn)));
        // The column's sort arrow turns dark: the first sort is ascending.
        QVERIFY(
            QTest::qWaitFor([&] { return differingPixels(crop(m_screen->grab(), headerCell), before) > 0; }, 10000));
        QVERIFY(m_screen->parkPointer());
        QImage shot = m_screen->grab();
        QList<QImage> ascending;
        for (int row = 0; row < 3; ++row)
            ascending.append(crop(shot, table.row(row)));
        QVERIFY(differingPixels(ascending[0], ascending[1]) > kSameText);
        QVERIFY(differingPixels(ascending[1], ascending[2]) > kSameText);

        // Again: descending, the same rows in reverse.
        QVERIFY(window().click(table.headerCentre(kIpAddressColumn)));
        QVERIFY(m_screen->parkPointer());
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         shot = m_screen->grab();
                         for (int row = 0; row < 3; ++row) {
                             if (differingPixels(crop(shot, table.row(row)), ascending[2 - row]) > kSameText)
                                 return false;
                         }
                         return true;
                     },
                     10000),
                 qPrintable(QStringLiteral("the second click did not reverse the rows: %1 %2 %3 (pitch %4)")
                                .arg(differingPixels(crop(shot, table.row(0)), ascending[2]))
                                .arg(differingPixels(crop(shot, table.row(1)), ascending[1]))
                                .arg(differingPixels(crop(shot, table.row(2)), ascending[0]))
                                .arg(table.pitch)));
        save(shot, QStringLiteral("04-sorted-descending"));
        // Descending IP addresses: .12 (d3), .11 (d2), .10 (d1).
        m_stage = 3;
    }

    void checkingTwoRowsEnablesTheBatchButtons()
    {
        QVERIFY2(m_stage == 3, "an earlier stage failed");
        const Table& table = m_screen->table();
        const QImage unchecked = crop(m_screen->grab(), table.cell(2, kCheckColumn));
        for (int row : {0, 1}) {
            QVERIFY(window().click(table.cellCentre(row, kCheckColumn)));
            QVERIFY2(QTest::qWaitFor(
                         [&] {
                             return differingPixels(crop(m_screen->grab(), table.cell(row, kCheckColumn)), unchecked)
                                    > 10;
                         },
                         10000),
                     qPrintable(QStringLiteral("row %1 shows no check mark").arg(row)));
        }
        QVERIFY(m_screen->parkPointer());
        QImage shot;
        QVERIFY(QTest::qWaitFor(
            [&] {
                shot = m_screen->grab();
                return m_screen->batchButtons(shot, kButtonEnabled).size() == 3;
            },
            10000));
        save(shot, QStringLiteral("05-two-checked"));
        m_stage = 4;
    }

    void updateFirmwareAsksForTheLoginsFirst()
    {
        QVERIFY2(m_stage == 4, "an earlier stage failed");
        QCOMPARE(pushChannels(QStringLiteral("d3")), 0);
        QCOMPARE(pushChannels(QStringLiteral("d2")), 0);
        const QList<QRect> buttons = m_screen->batchButtons(m_screen->grab(), kButtonEnabled);
        QCOMPARE(buttons.size(), 3);
        QVERIFY(window().click(buttons.first().center())); // "Update Firmware"
        QVERIFY(m_screen->parkPointer());

        // The login popup for the first checked device (d3): a wrong password
        // keeps it there with an empty field.
        QImage empty;
        QVERIFY2(QTest::qWaitFor([&] { return m_screen->settled(empty) && dimmed(empty); }, 10000), "no login popup");
        save(empty, QStringLiteral("06-login-popup"));
        QVERIFY(m_screen->typeMasked(QStringLiteral("not-corvane"), empty));
        QVERIFY(window().key(QStringLiteral("Return")));
        const QRegularExpression refused(QStringLiteral("login to 10\\.213\\.0\\.12 refused.*: wrong password"));
        QVERIFY2(
            QTest::qWaitFor([&] { return QString::fromUtf8(m_corvane->standardError()).contains(refused); }, 20000),
            m_corvane->standardError().right(2000).constData());
        // Its alert shows as a toast above the popup.
        QRect toast;
        QImage shot;
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         shot = m_screen->grab();
                         toast = Screen::toast(shot);
                         return !toast.isEmpty()
                                && showsText(shot, toast, kWrongPasswordText, isWhiteInk, kToastPointSize);
                     },
                     10000),
                 qPrintable(QStringLiteral("no toast for the wrong password (toast %1 px wide, text %2 px, font %3)")
                                .arg(toast.width())
                                .arg(inkWidth(shot, toast, isWhiteInk))
                                .arg(QFontMetrics([] {
                                         QFont f = QGuiApplication::font();
                                         f.setPointSize(kToastPointSize);
                                         return f;
                                     }())
                                         .boundingRect(kWrongPasswordText)
                                         .width())));
        save(shot, QStringLiteral("06-wrong-password"));
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         const QImage again = m_screen->grab();
                         return dimmed(again) && Screen::toast(again).isEmpty()
                                && differingPixels(again, empty) < kCursorPixels;
                     },
                     10000),
                 "the popup did not stay on the device with an empty field");
        QCOMPARE(pushChannels(QStringLiteral("d3")), 0);

        // The right password and Return pressed twice: the second press
        // comes while the login waits for d3 and must neither log in again
        // nor move past d2. d3 is logged in, the popup goes on to d2.
        QVERIFY(m_screen->typeMasked(kPassword, empty));
        QVERIFY(OperatorDesktop::pressKeysAtOnce(window(), {QStringLiteral("Return"), QStringLiteral("Return")}));
        QVERIFY2(QTest::qWaitFor([] { return pushChannels(QStringLiteral("d3")) == 1; }, 20000), "d3 not logged in");
        QImage second;
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         return m_screen->settled(second) && dimmed(second)
                                && differingPixels(second, empty) >= kCursorPixels;
                     },
                     10000),
                 "no login for the second device");
        QVERIFY(m_screen->typeMasked(kPassword, second));
        QVERIFY(window().key(QStringLiteral("Return")));
        QVERIFY2(QTest::qWaitFor([] { return pushChannels(QStringLiteral("d2")) == 1; }, 20000), "d2 not logged in");
        QCOMPARE(pushChannels(QStringLiteral("d1")), 0);
        // Each checked device was asked once and logged in once.
        QCOMPARE(logins(QStringLiteral("d3")), 1);
        QCOMPARE(logins(QStringLiteral("d2")), 1);

        // After the last login the file dialog opens.
        QVERIFY2(QTest::qWaitFor([&] { return m_screen->settled(m_dialog) && fileDialogShown(m_dialog); }, 10000),
                 "no file dialog after the logins");
        save(m_dialog, QStringLiteral("07-file-dialog"));
        m_stage = 5;
    }

    void firmwareUpdateRunsWithProgressAndABusyDeviceIsSkipped()
    {
        QVERIFY2(m_stage == 5, "an earlier stage failed");
        const Table& table = m_screen->table();
        // d2 is busy by now, d3 takes its time over the upload.
        QVERIFY(LabNetwork::control(QStringLiteral("state d2 busy")));
        QVERIFY(LabNetwork::control(QStringLiteral("fault d3 throttle 1m")));
        // No reboot after the update, so that its result stays on screen.
        QVERIFY(LabNetwork::control(QStringLiteral("fault d3 reboot-ms 0")));

        // The path goes into the dialog's path field (Ctrl+L opens it).
        QVERIFY(window().key(QStringLiteral("ctrl+l")));
        QImage shot;
        QVERIFY(QTest::qWaitFor([&] { return m_screen->settled(shot) && differingPixels(shot, m_dialog) > 0; }, 10000));
        QVERIFY(window().key(QStringLiteral("ctrl+a")));
        QVERIFY(window().type(m_firmwarePath));
        QVERIFY(window().key(QStringLiteral("Return")));

        // Watch the batch until the installation on d3 has ended and the
        // window has its close button again. Once the batch runs, the window
        // manager asks the window to close (Alt+F4 needs no close button):
        // the window stays and the batch goes on.
        QList<QImage> uploadStates;
        QList<QImage> installStates;
        bool closeGone = false;
        bool closeRequested = false;
        bool toastSeen = false;
        const auto remember = [](QList<QImage>& states, const QImage& image) {
            for (const QImage& known : std::as_const(states)) {
                if (differingPixels(known, image) == 0)
                    return;
            }
            states.append(image);
        };
        const auto closeButton = [this] {
            const int functions = window().motifFunctions();
            return functions >= 0 && (functions & OperatorDesktop::Window::kMotifFunctionClose);
        };
        const bool ended = QTest::qWaitFor(
            [&] {
                if (!m_corvane->isRunning())
                    return true;
                shot = m_screen->grab();
                closeGone = closeGone || !closeButton();
                if (closeGone && !closeRequested)
                    closeRequested = OperatorDesktop::requestClose(window());
                const QImage status = crop(shot, table.cell(0, kStatusColumn));
                const bool started = consoleHas(QStringLiteral("event d3 update started 2.7.1"));
                const bool finished = consoleHas(QStringLiteral("event d3 update finished"));
                if (!started && closeGone && !dimmed(shot)) {
                    if (uploadStates.isEmpty())
                        save(shot, QStringLiteral("08-uploading"));
                    remember(uploadStates, status);
                } else if (started && !finished) {
                    if (installStates.isEmpty())
                        save(shot, QStringLiteral("09-installing"));
                    remember(installStates, status);
                }
                const QRect toast = Screen::toast(shot);
                if (!toastSeen && !toast.isEmpty() && showsText(shot, toast, kBusyText, isWhiteInk, kToastPointSize)) {
                    toastSeen = true;
                    save(shot, QStringLiteral("10-busy-toast"));
                }
                return finished && closeGone && closeButton();
            },
            90000);
        QVERIFY2(m_corvane->isRunning(), "the program ended on the close request during the batch");
        QVERIFY(closeRequested);
        QVERIFY2(ended, qPrintable(QStringLiteral("close button gone %1, toast %2, devices:\n%3")
                                       .arg(closeGone)
                                       .arg(toastSeen)
                                       .arg(QString::fromUtf8(LabNetwork::console()))));
        // Several percentages during the upload and during the installation.
        QVERIFY2(uploadStates.size() >= 2, qPrintable(QString::number(uploadStates.size())));
        QVERIFY2(installStates.size() >= 2, qPrintable(QString::number(installStates.size())));
        QVERIFY2(toastSeen, "no toast for the busy device");
        QVERIFY(consoleHas(QStringLiteral("event d3 update finished result=0 version=2.7.1")));
        // The busy device and the unchecked one were never sent the file.
        QVERIFY(!consoleHas(QStringLiteral("event d2 update")));
        QVERIFY(!consoleHas(QStringLiteral("event d1 update")));

        // The result in d3's row, d2 still busy.
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         shot = m_screen->grab();
                         return showsText(shot, table.cell(0, kStatusColumn), kSuccessText, isInk)
                                && showsText(shot, table.cell(1, kStatusColumn), QStringLiteral("Busy"), isInk);
                     },
                     10000),
                 qPrintable(QStringLiteral("status texts %1 and %2 px wide")
                                .arg(inkWidth(shot, table.cell(0, kStatusColumn), isInk))
                                .arg(inkWidth(shot, table.cell(1, kStatusColumn), isInk))));
        save(shot, QStringLiteral("11-update-successful"));
        QVERIFY(!dimmed(shot));
        m_stage = 6;
    }

    void aCloseRequestAfterTheBatchEndsTheProgram()
    {
        QVERIFY2(m_stage == 6, "an earlier stage failed");
        QVERIFY(OperatorDesktop::requestClose(window()));
        QVERIFY2(m_corvane->waitForExit(), "the window stayed open after the batch");
        QCOMPARE(m_corvane->process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_corvane->process().exitCode(), 0);
    }

private:
    const OperatorDesktop::Window& window() const { return m_screen->window(); }

    void save(const QImage& shot, const QString& name) const
    {
        if (!OperatorDesktop::saveArtefact(shot, QStringLiteral(CORVANE_ARTEFACT_DIR "/operator-e2e"), name))
            qWarning("could not save the screenshot %s", qPrintable(name));
    }

    QTemporaryDir m_home;
    QTemporaryDir m_runtime;
    QString m_firmwarePath;
    std::unique_ptr<CorvaneProcess> m_corvane;
    std::unique_ptr<Screen> m_screen;
    QImage m_dialog;
    int m_stage = 0;
};

QTEST_MAIN(TestOperatorE2e)
#include "tst_operator_e2e.moc"
