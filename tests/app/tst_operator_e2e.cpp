// The whole program as an operator uses it: the real corvane in a real window
// on a private X server, inside the private test network with three virtual
// devices. Everything is done from outside the program, with the pointer and
// the keyboard; what the program shows is read from screenshots, from the
// window's properties on the X server, from the devices' console and control
// channel, and from the program's own diagnostics.
//
// Places on screen follow from the window's layout: a 90 px header, table
// rows of 20 px under a header whose cells are framed in #CACACA, column
// widths in per cent of the table (2, 5.5, 26, 8, 9, 12, 9, rest), popups
// centred, buttons 220 x 22 in #141414 (enabled) or #6E6E6E (disabled).
// Where the window leaves a place open (margins, the table's top), the test
// finds the element by those colours instead of assuming a pixel.

#include "CorvaneProcess.h"
#include "LabNetwork.h"
#include "OperatorDesktop.h"
#include "TestPrograms.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <memory>

using OperatorDesktop::countPixels;
using OperatorDesktop::differingPixels;
using OperatorDesktop::findBars;
using OperatorDesktop::near;

namespace {

constexpr int kHeaderHeight = 90;
constexpr int kRowHeight = 20;
// Left edges of the columns in per cent of the table width; the status
// column takes the rest.
constexpr std::array<double, 9> kColumnStart{0, 2, 7.5, 33.5, 41.5, 50.5, 62.5, 71.5, 100};
constexpr int kIpAddressColumn = 4;
constexpr int kStatusColumn = 7;
// The network popup is the window less 300 px wide and 80 px high, centred.
constexpr int kNetworkPopupWidthLess = 300;
constexpr int kNetworkPopupHeightLess = 80;
// Button widths: 220 px, less the rounded corners on the rows the search
// looks at; header cells are far wider, glyph runs far narrower.
constexpr int kButtonMinRun = 150;
constexpr int kButtonMaxRun = 225;
// A blinking text cursor changes at most this many pixels; five masked
// characters change many more.
constexpr int kCursorPixels = 60;

const QRgb kHeaderColour = qRgb(0x14, 0x14, 0x14);
const QRgb kHeaderLineColour = qRgb(0xCA, 0xCA, 0xCA);
const QRgb kButtonEnabled = qRgb(0x14, 0x14, 0x14);
const QRgb kButtonDisabled = qRgb(0x6E, 0x6E, 0x6E);
const QRgb kSelectedInterfaceRow = qRgb(0xD4, 0xEC, 0xEA);

const QString kPassword = QStringLiteral("corvane"); // the lab devices' password
const QString kFirmwareName = QStringLiteral("corvane-2.7.1.bundle");

bool isLinkBlue(QRgb c) // "#1032ff", glyph cores
{
    return qBlue(c) > 200 && qRed(c) < 90 && qGreen(c) < 120;
}

bool isInk(QRgb c) // black text
{
    return qRed(c) < 90 && qGreen(c) < 90 && qBlue(c) < 90;
}

// The toast: "#222222" at opacity 0.9, so a dark grey over whatever lies below.
bool isToast(QRgb c)
{
    return qAbs(qRed(c) - qGreen(c)) <= 3 && qAbs(qGreen(c) - qBlue(c)) <= 3 && qRed(c) >= 0x18 && qRed(c) <= 0x48;
}

// The header bar is "#141414" unless a modal popup dims the window.
bool windowDimmed(const QImage& shot)
{
    return !shot.isNull() && !near(shot.pixel(5, 5), kHeaderColour);
}

// A table found on screen by its header: the top and bottom lines of the
// header cells, the table's extent along them.
struct Table
{
    int left = 0;
    int width = 0;
    int headerTop = 0;
    int rowsTop = 0;

    bool isValid() const { return width > 0 && rowsTop > headerTop; }
    int columnX(int column) const { return left + qRound(width * kColumnStart[size_t(column)] / 100.0); }
    QRect cell(int row, int column) const
    {
        // Two pixels off every edge: cell borders and spacing are not content.
        const int x = columnX(column) + 2;
        return QRect(x, rowsTop + row * kRowHeight + 2, columnX(column + 1) - x - 2, kRowHeight - 4);
    }
    QRect row(int row) const // the device columns, without check box and status
    {
        return QRect(columnX(1) + 2, rowsTop + row * kRowHeight + 2, columnX(kStatusColumn) - columnX(1) - 4,
                     kRowHeight - 4);
    }
    QPoint headerCentre(int column) const
    {
        return {(columnX(column) + columnX(column + 1)) / 2, (headerTop + rowsTop) / 2};
    }
    QPoint cellCentre(int row, int column) const { return cell(row, column).center(); }

    static Table find(const QImage& shot, const QRect& area)
    {
        Table table;
        const auto line = [](QRgb c) { return near(c, kHeaderLineColour); };
        const QList<QRect> lines = findBars(shot, area, line, 100, area.width());
        if (lines.size() < 2)
            return table;
        table.headerTop = lines.first().top();
        int bottom = -1;
        for (const QRect& bar : lines) {
            if (bar.top() > table.headerTop + 10) {
                bottom = bar.top();
                break;
            }
        }
        if (bottom < 0)
            return table;
        // Along the top line every cell's frame shows, the narrow check cell too.
        const QList<QRect> top = findBars(shot, QRect(area.left(), table.headerTop, area.width(), 1), line, 8,
                                          area.width());
        int right = 0;
        table.left = area.right();
        for (const QRect& bar : top) {
            table.left = qMin(table.left, bar.left());
            right = qMax(right, bar.right());
        }
        table.width = right - table.left + 1;
        table.rowsTop = bottom + 1;
        return table;
    }
};

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
        for (int i = 0; i < 1024; ++i) // 1 MiB: long enough to watch at a throttled rate
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
        m_window = OperatorDesktop::Window::ofProcess(m_corvane->process().processId());
        QVERIFY2(m_window.isValid(), "the program shows no window");
        QVERIFY(m_window.focus());
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
        if (QTest::currentTestFailed() && m_window.isValid())
            save(m_window.grab(), QStringLiteral("failed-%1").arg(QString::fromLatin1(QTest::currentTestFunction())));
    }

    void opensWithTheNetworkPopupAndACloseButton()
    {
        const QRect geometry = m_window.geometry();
        QVERIFY2(geometry.width() >= 1080 && geometry.height() >= 480, qPrintable(rectText(geometry)));
        QVERIFY(m_window.motifFunctions() & OperatorDesktop::Window::kMotifFunctionClose);
        // The popup is open at start: it dims the window and shows its table.
        QImage shot;
        QVERIFY2(QTest::qWaitFor([&] {
            shot = m_window.grab();
            m_popupTable = Table::find(shot, networkPopup());
            return windowDimmed(shot) && m_popupTable.isValid();
        }, 20000), "no network popup with a table");
        save(shot, QStringLiteral("01-network-popup"));
        m_stage = 1;
    }

    void choosingTheLabInterfaceListsTheDevices()
    {
        QVERIFY2(m_stage == 1, "an earlier stage failed");
        // The private network has one interface with an IPv4 address besides
        // the loopback: the first row.
        const QRect popup = networkPopup();
        const QPoint firstRow(popup.left() + popup.width() / 6, m_popupTable.rowsTop + kRowHeight / 2);
        QVERIFY(m_window.click(firstRow));
        QImage shot;
        QVERIFY2(QTest::qWaitFor([&] {
            shot = m_window.grab();
            return countPixels(shot, QRect(popup.left(), m_popupTable.rowsTop, popup.width(), kRowHeight),
                               [](QRgb c) { return near(c, kSelectedInterfaceRow); })
                   > popup.width() / 4;
        }, 10000), "the row was not selected");
        QList<QRect> okButton;
        QVERIFY2(QTest::qWaitFor([&] {
            shot = m_window.grab();
            okButton = findBars(shot, popup, [](QRgb c) { return near(c, kButtonEnabled); }, kButtonMinRun,
                                kButtonMaxRun);
            return !okButton.isEmpty();
        }, 10000), "no enabled OK button");
        save(shot, QStringLiteral("02-interface-chosen"));
        QVERIFY(m_window.click(okButton.last().center()));
        QVERIFY2(QTest::qWaitFor([&] { return !windowDimmed(m_window.grab()); }, 10000), "the popup stayed open");

        // The devices appear with the link "Login required".
        QVERIFY2(QTest::qWaitFor([&] {
            shot = m_window.grab();
            m_table = Table::find(shot, QRect(0, kHeaderHeight, shot.width(), shot.height() - kHeaderHeight));
            return m_table.isValid() && loginLinks(shot) == 3;
        }, 40000), qPrintable(QStringLiteral("rows with a login link: %1").arg(m_table.isValid() ? loginLinks(shot) : -1)));
        save(shot, QStringLiteral("03-devices-listed"));
        // No device is checked yet: all three batch buttons are disabled.
        QCOMPARE(batchButtons(shot, kButtonDisabled).size(), 3);
        m_stage = 2;
    }

    void sortsByIpAddressBothWays()
    {
        QVERIFY2(m_stage == 2, "an earlier stage failed");
        const QPoint header = m_table.headerCentre(kIpAddressColumn);
        const QRect headerCell(m_table.columnX(kIpAddressColumn), m_table.headerTop + 2,
                               m_table.columnX(kIpAddressColumn + 1) - m_table.columnX(kIpAddressColumn),
                               m_table.rowsTop - m_table.headerTop - 4);
        const QImage before = crop(m_window.grab(), headerCell);
        QVERIFY(m_window.click(header));
        // The column's sort arrow turns dark: the first sort is ascending.
        QVERIFY(QTest::qWaitFor([&] { return differingPixels(crop(m_window.grab(), headerCell), before) > 0; }, 10000));
        QVERIFY(parkPointer());
        QImage shot = m_window.grab();
        QList<QImage> ascending;
        for (int row = 0; row < 3; ++row)
            ascending.append(crop(shot, m_table.row(row)));
        QVERIFY(differingPixels(ascending[0], ascending[1]) > 0);
        QVERIFY(differingPixels(ascending[1], ascending[2]) > 0);

        // Again: descending, the same rows in reverse.
        QVERIFY(m_window.click(header));
        QVERIFY(parkPointer());
        QVERIFY2(QTest::qWaitFor([&] {
            shot = m_window.grab();
            for (int row = 0; row < 3; ++row) {
                if (differingPixels(crop(shot, m_table.row(row)), ascending[2 - row]) != 0)
                    return false;
            }
            return true;
        }, 10000), "the second click did not reverse the rows");
        save(shot, QStringLiteral("04-sorted-descending"));
        // Descending IP addresses: .12 (d3), .11 (d2), .10 (d1).
        m_stage = 3;
    }

    void checkingTwoRowsEnablesTheBatchButtons()
    {
        QVERIFY2(m_stage == 3, "an earlier stage failed");
        const QImage unchecked = crop(m_window.grab(), m_table.cell(2, 0));
        for (int row : {0, 1}) {
            QVERIFY(m_window.click(m_table.cellCentre(row, 0)));
            QVERIFY2(QTest::qWaitFor([&] {
                return differingPixels(crop(m_window.grab(), m_table.cell(row, 0)), unchecked) > 10;
            }, 10000), qPrintable(QStringLiteral("row %1 shows no check mark").arg(row)));
        }
        QVERIFY(parkPointer());
        QImage shot;
        QVERIFY(QTest::qWaitFor([&] {
            shot = m_window.grab();
            return batchButtons(shot, kButtonEnabled).size() == 3;
        }, 10000));
        QCOMPARE(differingPixels(crop(shot, m_table.cell(0, 0)), crop(shot, m_table.cell(1, 0))), 0);
        save(shot, QStringLiteral("05-two-checked"));
        m_stage = 4;
    }

    void updateFirmwareAsksForTheLoginsFirst()
    {
        QVERIFY2(m_stage == 4, "an earlier stage failed");
        QCOMPARE(pushChannels(QStringLiteral("d3")), 0);
        QCOMPARE(pushChannels(QStringLiteral("d2")), 0);
        const QList<QRect> buttons = batchButtons(m_window.grab(), kButtonEnabled);
        QCOMPARE(buttons.size(), 3);
        QVERIFY(m_window.click(buttons.first().center())); // "Update Firmware"
        QVERIFY(parkPointer());

        // The login popup for the first checked device (d3): a wrong password
        // keeps it there with an empty field.
        QImage empty;
        QVERIFY2(QTest::qWaitFor([&] { return settled(empty) && windowDimmed(empty); }, 10000), "no login popup");
        save(empty, QStringLiteral("06-login-popup"));
        QVERIFY(typeMasked(QStringLiteral("not-corvane"), empty));
        QVERIFY(m_window.key(QStringLiteral("Return")));
        QVERIFY2(QTest::qWaitFor([&] {
            return m_corvane->standardError().contains("login to 10.213.0.12 refused: wrong password");
        }, 20000), m_corvane->standardError().right(2000).constData());
        QImage again;
        QVERIFY2(QTest::qWaitFor([&] {
            again = m_window.grab();
            return windowDimmed(again) && differingPixels(again, empty) < kCursorPixels;
        }, 10000), "the popup did not stay on the device with an empty field");
        QCOMPARE(pushChannels(QStringLiteral("d3")), 0);

        // The right password: d3 is logged in, the popup goes on to d2.
        QVERIFY(typeMasked(kPassword, empty));
        QVERIFY(m_window.key(QStringLiteral("Return")));
        QVERIFY2(QTest::qWaitFor([] { return pushChannels(QStringLiteral("d3")) == 1; }, 20000), "d3 not logged in");
        QImage second;
        QVERIFY2(QTest::qWaitFor([&] {
            return settled(second) && windowDimmed(second) && differingPixels(second, empty) >= kCursorPixels;
        }, 10000), "no login for the second device");
        QVERIFY(typeMasked(kPassword, second));
        QVERIFY(m_window.key(QStringLiteral("Return")));
        QVERIFY2(QTest::qWaitFor([] { return pushChannels(QStringLiteral("d2")) == 1; }, 20000), "d2 not logged in");
        QCOMPARE(pushChannels(QStringLiteral("d1")), 0);

        // After the last login the file dialog opens.
        QImage dialog;
        QVERIFY2(QTest::qWaitFor([&] {
            return settled(dialog) && windowDimmed(dialog) && differingPixels(dialog, second) > 600 * 300;
        }, 10000), "no file dialog after the logins");
        save(dialog, QStringLiteral("07-file-dialog"));
        m_dialog = dialog;
        m_stage = 5;
    }

    void firmwareUpdateRunsWithProgressAndABusyDeviceIsSkipped()
    {
        QVERIFY2(m_stage == 5, "an earlier stage failed");
        // d2 is busy by now, d3 takes its time over the upload.
        QVERIFY(LabNetwork::control(QStringLiteral("state d2 busy")));
        QVERIFY(LabNetwork::control(QStringLiteral("fault d3 throttle 256k")));

        // The path goes into the dialog's path field (Ctrl+L opens it).
        QVERIFY(m_window.key(QStringLiteral("ctrl+l")));
        QImage shot;
        QVERIFY(QTest::qWaitFor([&] { return settled(shot) && differingPixels(shot, m_dialog) > 0; }, 10000));
        QVERIFY(m_window.key(QStringLiteral("ctrl+a")));
        QVERIFY(m_window.type(m_firmwarePath));
        QVERIFY(m_window.key(QStringLiteral("Return")));

        // Watch the batch until the installation on d3 has ended and the
        // window is interactive again.
        QList<QImage> uploadStates;
        QList<QImage> installStates;
        bool closeGone = false;
        bool toastSeen = false;
        QImage lastStatus;
        const auto remember = [](QList<QImage>& states, const QImage& image) {
            for (const QImage& known : std::as_const(states)) {
                if (differingPixels(known, image) == 0)
                    return;
            }
            states.append(image);
        };
        const bool ended = QTest::qWaitFor([&] {
            shot = m_window.grab();
            const int functions = m_window.motifFunctions();
            if (functions >= 0 && !(functions & OperatorDesktop::Window::kMotifFunctionClose))
                closeGone = true;
            const QImage status = crop(shot, m_table.cell(0, kStatusColumn));
            const bool started = consoleHas(QStringLiteral("event d3 update started 2.7.1"));
            const bool finished = consoleHas(QStringLiteral("event d3 update finished"));
            if (!started && closeGone && !windowDimmed(shot)) {
                if (uploadStates.isEmpty())
                    save(shot, QStringLiteral("08-uploading"));
                remember(uploadStates, status);
            } else if (started && !finished) {
                if (installStates.isEmpty())
                    save(shot, QStringLiteral("09-installing"));
                remember(installStates, status);
            }
            lastStatus = status;
            if (!toastSeen && !findBars(shot, QRect(0, shot.height() / 2, shot.width(), shot.height() / 2), isToast,
                                        shot.width() / 2, shot.width()).isEmpty()) {
                toastSeen = true;
                save(shot, QStringLiteral("10-busy-toast"));
            }
            return finished && closeGone && (m_window.motifFunctions() & OperatorDesktop::Window::kMotifFunctionClose);
        }, 90000);
        QVERIFY2(ended, qPrintable(QStringLiteral("close gone %1, toast %2, devices:\n%3")
                                       .arg(closeGone)
                                       .arg(toastSeen)
                                       .arg(QString::fromUtf8(LabNetwork::console()))));
        QVERIFY2(closeGone, "the close button stayed during the batch");
        // Several percentages during the upload and the installation.
        QVERIFY2(uploadStates.size() >= 2, qPrintable(QString::number(uploadStates.size())));
        QVERIFY2(installStates.size() >= 2, qPrintable(QString::number(installStates.size())));
        QVERIFY2(toastSeen, "no toast for the busy device");
        QVERIFY(consoleHas(QStringLiteral("event d3 update finished result=0 version=2.7.1")));
        // The busy device and the unchecked one were never sent the file.
        QVERIFY(!consoleHas(QStringLiteral("event d2 update")));
        QVERIFY(!consoleHas(QStringLiteral("event d1 update")));

        // The result in d3's row: black text unlike the last progress report.
        QVERIFY2(QTest::qWaitFor([&] {
            shot = m_window.grab();
            const QImage status = crop(shot, m_table.cell(0, kStatusColumn));
            return !installStates.isEmpty() && differingPixels(status, installStates.last()) > 0
                   && countPixels(status, status.rect(), isInk) > 20;
        }, 10000), "no result in d3's status");
        save(shot, QStringLiteral("11-update-successful"));
        QVERIFY(!windowDimmed(shot));
    }

private:
    QRect networkPopup() const
    {
        const QRect window = m_window.geometry();
        return QRect(kNetworkPopupWidthLess / 2, kNetworkPopupHeightLess / 2, window.width() - kNetworkPopupWidthLess,
                     window.height() - kNetworkPopupHeightLess);
    }

    // Rows whose status is the link "Login required".
    int loginLinks(const QImage& shot) const
    {
        int rows = 0;
        for (int row = 0; m_table.rowsTop + (row + 1) * kRowHeight <= shot.height(); ++row)
            rows += countPixels(shot, m_table.cell(row, kStatusColumn), isLinkBlue) >= 5 ? 1 : 0;
        return rows;
    }

    // The three batch buttons below the table, left to right, in one colour.
    QList<QRect> batchButtons(const QImage& shot, QRgb colour) const
    {
        const QRect below(0, m_table.rowsTop, shot.width(), shot.height() - m_table.rowsTop);
        QList<QRect> bars = findBars(shot, below, [colour](QRgb c) { return near(c, colour); }, kButtonMinRun,
                                     kButtonMaxRun);
        // One bar per button: those on the first button's line.
        QList<QRect> buttons;
        for (const QRect& bar : bars) {
            if (bar.height() >= 3 && (buttons.isEmpty() || qAbs(bar.top() - buttons.first().top()) <= 2))
                buttons.append(bar);
        }
        return buttons;
    }

    // The pointer over an empty part of the header, so that no row shows hover.
    bool parkPointer() const { return m_window.moveTo(QPoint(m_window.geometry().width() / 2, kHeaderHeight / 2)); }

    // Two screenshots in a row that differ by no more than a blinking cursor.
    bool settled(QImage& shot) const
    {
        const QImage first = m_window.grab();
        shot = m_window.grab();
        return !shot.isNull() && differingPixels(first, shot) < kCursorPixels;
    }

    // Types into the focused password field and waits for the mask to show.
    bool typeMasked(const QString& text, const QImage& emptyField) const
    {
        return m_window.type(text) && QTest::qWaitFor([&] {
                   return differingPixels(m_window.grab(), emptyField) >= kCursorPixels;
               }, 10000);
    }

    static QString rectText(const QRect& r)
    {
        return QStringLiteral("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
    }

    void save(const QImage& shot, const QString& name) const
    {
        if (!OperatorDesktop::saveArtefact(shot, QStringLiteral(CORVANE_ARTEFACT_DIR "/operator-e2e"), name))
            qWarning("could not save the screenshot %s", qPrintable(name));
    }

    QTemporaryDir m_home;
    QTemporaryDir m_runtime;
    QString m_firmwarePath;
    std::unique_ptr<CorvaneProcess> m_corvane;
    OperatorDesktop::Window m_window;
    Table m_popupTable;
    Table m_table;
    QImage m_dialog;
    int m_stage = 0;
};

QTEST_MAIN(TestOperatorE2e)
#include "tst_operator_e2e.moc"
