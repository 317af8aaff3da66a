#include "DeviceStatus.h"

#include <QTest>

#include <cmath>

namespace {

using Steps = QList<QPair<DeviceStatusType, QVariant>>;

QString shown(const DeviceStatus& board)
{
    return board.getStatusMessage(board.getHighestPriorityStatus());
}

} // namespace

Q_DECLARE_METATYPE(DeviceStatusType)
Q_DECLARE_METATYPE(DeviceStatusList)

class TestDeviceStatus : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void newBoardShowsReady()
    {
        const DeviceStatus board;
        QCOMPARE(shown(board), QStringLiteral("Ready"));
        QCOMPARE(board.getStatus(DeviceStatusDisplayPriority::Connection), kNoStatus);
        QCOMPARE(board.getStatus(DeviceStatusDisplayPriority::Activity), kNoStatus);
        QCOMPARE(board.getStatus(DeviceStatusDisplayPriority::Result), kNoStatus);
        QCOMPARE(board.getStatus(DeviceStatusDisplayPriority::Idle), DeviceStatusList::Ready);
        QCOMPARE(static_cast<int>(kNoStatus), -1);
    }

    void connectionAndLogin()
    {
        DeviceStatus board;
        board.setStatus(DeviceStatusType::Connection, 1);
        QCOMPARE(shown(board), QStringLiteral("Login required"));
        board.setStatus(DeviceStatusType::LoggedIn, true);
        QCOMPARE(shown(board), QStringLiteral("Ready"));

        board.setStatus(DeviceStatusType::Connection, 0);
        QCOMPARE(shown(board), QStringLiteral("Disconnected"));
        board.setStatus(DeviceStatusType::Connection, 2); // never produced: no rule
        QCOMPARE(shown(board), QStringLiteral("Disconnected"));
        board.setStatus(DeviceStatusType::Connection, 3);
        QCOMPARE(board.getStatus(DeviceStatusDisplayPriority::Connection), kNoStatus);

        board.setStatus(DeviceStatusType::LoggedIn, false);
        QCOMPARE(shown(board), QStringLiteral("Login required"));

        // "Not yet determined" deliberately shows nothing, hiding "Ready".
        board.setStatus(DeviceStatusType::Connection, -1);
        QCOMPARE(board.getStatus(DeviceStatusDisplayPriority::Connection), DeviceStatusList::Blank);
        QCOMPARE(shown(board), QString());
    }

    // A changed identity holds the connection slot until the operator's word
    // or a login; the device's coming and going does not hide it.
    void identityChanged_data()
    {
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QString>("expected");
        const auto refused = qMakePair(DeviceStatusType::IdentityChanged, QVariant(true));
        QTest::newRow("refused") << Steps{{DeviceStatusType::Connection, 1}, refused} << "Identity changed";
        QTest::newRow("seen again") << Steps{refused, {DeviceStatusType::Connection, 1}} << "Identity changed";
        QTest::newRow("login lost") << Steps{refused, {DeviceStatusType::LoggedIn, false}} << "Identity changed";
        QTest::newRow("accepted") << Steps{refused, {DeviceStatusType::IdentityChanged, false}} << "Login required";
        QTest::newRow("logged in") << Steps{refused, {DeviceStatusType::LoggedIn, true}} << "Ready";
        QTest::newRow("gone") << Steps{refused, {DeviceStatusType::Connection, 0}} << "Disconnected";
        // Another device claims its address: said where a login is asked for.
        const auto shared = qMakePair(DeviceStatusType::AddressShared, QVariant(true));
        QTest::newRow("address shared") << Steps{{DeviceStatusType::Connection, 1}, shared} << "Address shared";
        QTest::newRow("address shared, then logged out")
            << Steps{shared, {DeviceStatusType::LoggedIn, false}} << "Address shared";
        QTest::newRow("address shared while logged in") << Steps{{DeviceStatusType::LoggedIn, true}, shared} << "Ready";
        QTest::newRow("address no longer shared")
            << Steps{{DeviceStatusType::Connection, 1}, shared, {DeviceStatusType::AddressShared, false}}
            << "Login required";
        QTest::newRow("a changed identity outweighs it") << Steps{refused, shared} << "Identity changed";
        // A batch's marks in the result slot: the last result superseded, a
        // stop ends the upload's figure, the device's own result replaces them.
        const auto mark
            = [](DeviceStatusType type, BatchMark value) { return qMakePair(type, QVariant::fromValue(value)); };
        QTest::newRow("waiting, not the last result")
            << Steps{{DeviceStatusType::FirmwareUpdateResult, 0},
                     mark(DeviceStatusType::FirmwareUpdateResult, BatchMark::Waiting)}
            << "Waiting";
        QTest::newRow("stopped during the upload")
            << Steps{{DeviceStatusType::FirmwareUploadProgress, 40},
                     mark(DeviceStatusType::FirmwareUpdateResult, BatchMark::Stopped)}
            << "Stopped by the operator";
        QTest::newRow("not started") << Steps{mark(DeviceStatusType::StandbyScreenImageChangeResult,
                                                   BatchMark::NotStarted)}
                                     << "Not started";
        QTest::newRow("no result") << Steps{mark(DeviceStatusType::ConfigImportResult, BatchMark::NoResult)}
                                   << "No result";
        QTest::newRow("the device's result after waiting")
            << Steps{mark(DeviceStatusType::ConfigImportResult, BatchMark::Waiting),
                     {DeviceStatusType::ConfigImportResult, 5}}
            << "Import failed";
    }

    void identityChanged()
    {
        QFETCH(Steps, steps);
        QFETCH(QString, expected);
        DeviceStatus board;
        for (const auto& [type, value] : steps)
            board.setStatus(type, value);
        QCOMPARE(shown(board), expected);
    }

    void firmwareUpdateSequence()
    {
        DeviceStatus board;
        board.setStatus(DeviceStatusType::FirmwareUploadProgress, 100);
        QCOMPARE(shown(board), QStringLiteral("Uploading firmware 100% complete"));
        board.setStatus(DeviceStatusType::FirmwareUpdateProgress, 50);
        QCOMPARE(shown(board), QStringLiteral("Firmware update 50% complete"));
        board.setStatus(DeviceStatusType::FirmwareUpdateResult, 0);
        QCOMPARE(shown(board), QStringLiteral("Update successful"));
        QCOMPARE(board.getStatus(DeviceStatusDisplayPriority::Activity), kNoStatus);
        // Activity outranks a result, and the result survives it.
        board.setStatus(DeviceStatusType::Running, 1);
        QCOMPARE(shown(board), QStringLiteral("Busy"));
        board.setStatus(DeviceStatusType::Running, 0);
        QCOMPARE(shown(board), QStringLiteral("Update successful"));
        // Connection problems outrank everything.
        board.setStatus(DeviceStatusType::Connection, 0);
        QCOMPARE(shown(board), QStringLiteral("Disconnected"));
    }

    void runningStatus()
    {
        DeviceStatus board;
        board.setStatus(DeviceStatusType::Running, 2);
        QCOMPARE(shown(board), QStringLiteral("In call"));
        board.setStatus(DeviceStatusType::Running, 7);
        QCOMPARE(shown(board), QStringLiteral("In call"));
        board.setStatus(DeviceStatusType::ConfigUploadProgress, 30);
        board.setStatus(DeviceStatusType::Running, 0); // idle drops progress too
        QCOMPARE(shown(board), QStringLiteral("Ready"));
    }

    void progress_data()
    {
        QTest::addColumn<DeviceStatusType>("type");
        QTest::addColumn<DeviceStatusList>("state");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("firmware upload") << DeviceStatusType::FirmwareUploadProgress
                                         << DeviceStatusList::UploadingFirmware
                                         << QStringLiteral("Uploading firmware ");
        QTest::newRow("firmware update") << DeviceStatusType::FirmwareUpdateProgress
                                         << DeviceStatusList::UpdatingFirmware << QStringLiteral("Firmware update ");
        QTest::newRow("config upload") << DeviceStatusType::ConfigUploadProgress
                                       << DeviceStatusList::UploadingConfiguration
                                       << QStringLiteral("Uploading configuration file ");
        QTest::newRow("image upload") << DeviceStatusType::StandbyScreenImageUploadProgress
                                      << DeviceStatusList::UploadingStandbyScreenImage
                                      << QStringLiteral("Uploading Stand-by screen image ");
    }

    void progress()
    {
        QFETCH(DeviceStatusType, type);
        QFETCH(DeviceStatusList, state);
        QFETCH(QString, prefix);

        DeviceStatus board;
        for (const QVariant& ignored : {QVariant(-1), QVariant(101), QVariant(100.5), QVariant(-0.5),
                                        QVariant(std::nan("")), QVariant(), QVariant(QStringLiteral("abc"))}) {
            board.setStatus(type, ignored);
            QVERIFY2(board.getStatus(DeviceStatusDisplayPriority::Activity) == kNoStatus,
                     qPrintable(ignored.toString()));
        }

        board.setStatus(type, 0);
        QCOMPARE(shown(board), prefix + QStringLiteral("0% complete"));
        // The value is stored as given, not converted.
        board.setStatus(type, QStringLiteral("42"));
        const DeviceStatus::Entry entry = board.getHighestPriorityStatus();
        QCOMPARE(entry.first, state);
        QCOMPARE(entry.second, QVariant(QStringLiteral("42")));
        QCOMPARE(shown(board), prefix + QStringLiteral("42% complete"));
        board.setStatus(type, 100);
        QCOMPARE(shown(board), prefix + QStringLiteral("100% complete"));
        // Fractions are cut: nothing reads complete before it is.
        board.setStatus(type, 99.9);
        QCOMPARE(shown(board), prefix + QStringLiteral("99% complete"));
        board.setStatus(type, QStringLiteral("42.6"));
        QCOMPARE(shown(board), prefix + QStringLiteral("42% complete"));
    }

    void valuesThatAreNoNumberReportNothing()
    {
        // An empty or garbled value must not pass for 0: that would read as
        // "Disconnected", an idle device or a successful result.
        DeviceStatus board;
        board.setStatus(DeviceStatusType::Connection, 1);
        board.setStatus(DeviceStatusType::Running, 1);
        for (const QVariant& garbage : {QVariant(), QVariant(QStringLiteral("x"))}) {
            board.setStatus(DeviceStatusType::Connection, garbage);
            board.setStatus(DeviceStatusType::Running, garbage);
            board.setStatus(DeviceStatusType::FirmwareUpdateResult, garbage);
            board.setStatus(DeviceStatusType::ConfigImportResult, garbage);
            board.setStatus(DeviceStatusType::StandbyScreenImageChangeResult, garbage);
        }
        QCOMPARE(board.getStatus(DeviceStatusDisplayPriority::Connection), DeviceStatusList::LoginRequired);
        QCOMPARE(board.getStatus(DeviceStatusDisplayPriority::Activity), DeviceStatusList::Busy);
        QCOMPARE(board.getStatus(DeviceStatusDisplayPriority::Result), kNoStatus);

        // Numbers carried as text or as reals (as JSON delivers them) count.
        board.setStatus(DeviceStatusType::Running, QStringLiteral("0"));
        QCOMPARE(board.getStatus(DeviceStatusDisplayPriority::Activity), kNoStatus);
        board.setStatus(DeviceStatusType::FirmwareUpdateResult, 1.0);
        QCOMPARE(shown(board), QStringLiteral("Login required"));
        QCOMPARE(board.getStatus(DeviceStatusDisplayPriority::Result), DeviceStatusList::UpdateFailed);
    }

    void importResult()
    {
        DeviceStatus board;
        board.setStatus(DeviceStatusType::ConfigImportResult, 4);
        QCOMPARE(shown(board), QStringLiteral("Import successful"));
        board.setStatus(DeviceStatusType::ConfigImportResult, 5);
        QCOMPARE(shown(board), QStringLiteral("Import failed"));
        board.setStatus(DeviceStatusType::ConfigImportResult, 7);
        QCOMPARE(shown(board), QStringLiteral("Import failed"));

        // An unknown result keeps the last one but still ends the upload.
        board.setStatus(DeviceStatusType::ConfigUploadProgress, 60);
        board.setStatus(DeviceStatusType::ConfigImportResult, 8);
        QCOMPARE(shown(board), QStringLiteral("Import failed"));
        board.setStatus(DeviceStatusType::ConfigImportResult, -1);
        QCOMPARE(shown(board), QStringLiteral("Import failed"));
        board.setStatus(DeviceStatusType::ConfigImportResult, 0);
        QCOMPARE(shown(board), QStringLiteral("Import successful"));
    }

    void resultsClearOnlyTheirOwnProgress()
    {
        DeviceStatus board;
        board.setStatus(DeviceStatusType::FirmwareUploadProgress, 10);
        board.setStatus(DeviceStatusType::ConfigImportResult, 0);
        board.setStatus(DeviceStatusType::StandbyScreenImageChangeResult, 0);
        // The other results leave the firmware upload alone.
        QCOMPARE(board.getStatus(DeviceStatusDisplayPriority::Activity), DeviceStatusList::UploadingFirmware);
        board.setStatus(DeviceStatusType::FirmwareUpdateResult, 1);
        // The firmware result ends the upload that failed before the
        // installation began, so "Update failed" shows.
        QCOMPARE(board.getStatus(DeviceStatusDisplayPriority::Activity), kNoStatus);
        QCOMPARE(shown(board), QStringLiteral("Update failed"));
        // ... and never anyone else's activity.
        board.setStatus(DeviceStatusType::Running, 1);
        board.setStatus(DeviceStatusType::FirmwareUpdateResult, 1);
        QCOMPARE(shown(board), QStringLiteral("Busy"));
        board.setStatus(DeviceStatusType::Running, 0);

        board.setStatus(DeviceStatusType::StandbyScreenImageUploadProgress, 99);
        board.setStatus(DeviceStatusType::StandbyScreenImageChangeResult, 5);
        QCOMPARE(shown(board), QStringLiteral("Update failed"));
        board.setStatus(DeviceStatusType::StandbyScreenImageChangeResult, 1);
        QCOMPARE(shown(board), QStringLiteral("Uploaded Stand-by screen image is invalid"));
        board.setStatus(DeviceStatusType::StandbyScreenImageChangeResult, 0);
        QCOMPARE(shown(board), QStringLiteral("Stand-by screen image successfully uploaded"));

        board.setStatus(DeviceStatusType::FirmwareUpdateProgress, 20);
        board.setStatus(DeviceStatusType::FirmwareUpdateResult, 9);
        QCOMPARE(shown(board), QStringLiteral("Stand-by screen image successfully uploaded"));
        board.setStatus(DeviceStatusType::FirmwareUpdateResult, 2);
        QCOMPARE(shown(board), QStringLiteral("Update skipped"));
    }

    void unknownTypeAndSlot()
    {
        DeviceStatus board;
        board.setStatus(static_cast<DeviceStatusType>(11), 1);
        QCOMPARE(shown(board), QStringLiteral("Ready"));

        const auto noSuchSlot = static_cast<DeviceStatusDisplayPriority>(4);
        QCOMPARE(board.getStatus(noSuchSlot), kNoStatus);
        board.assignStatus(noSuchSlot, DeviceStatusList::Busy, QVariant());
        QCOMPARE(board.getStatus(noSuchSlot), kNoStatus);
        QCOMPARE(shown(board), QStringLiteral("Ready"));
    }

    void assignStatus()
    {
        DeviceStatus board;
        board.assignStatus(DeviceStatusDisplayPriority::Activity, DeviceStatusList::ImportProcessing, QVariant());
        QCOMPARE(shown(board), QStringLiteral("Import processing"));
        board.assignStatus(DeviceStatusDisplayPriority::Activity, DeviceStatusList::ChangingStandbyScreenImage,
                           QVariant());
        QCOMPARE(shown(board), QStringLiteral("Stand-by screen image changing"));

        board.assignStatus(DeviceStatusDisplayPriority::Activity, kNoStatus, QVariant());
        board.assignStatus(DeviceStatusDisplayPriority::Idle, kNoStatus, QVariant());
        const DeviceStatus::Entry none = board.getHighestPriorityStatus();
        QCOMPARE(none.first, kNoStatus);
        QVERIFY(!none.second.isValid());
        QCOMPARE(board.getStatusMessage(none), QString());
    }

    void progressFigureOfAnyValue_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("text");
        const QString figure = QStringLiteral("Uploading firmware %1% complete");
        QTest::newRow("in range") << QVariant(42.9) << figure.arg(42);
        QTest::newRow("huge") << QVariant(1e300) << figure.arg(100);
        QTest::newRow("above int") << QVariant(3e9) << figure.arg(100);
        QTest::newRow("above 100") << QVariant(250) << figure.arg(100);
        QTest::newRow("hugely negative") << QVariant(-1e300) << figure.arg(0);
        QTest::newRow("negative") << QVariant(-5) << figure.arg(0);
        QTest::newRow("huge as text") << QVariant(QStringLiteral("1e12")) << figure.arg(100);
        QTest::newRow("not a number") << QVariant(std::nan("")) << QString();
        QTest::newRow("infinite") << QVariant(HUGE_VAL) << QString();
        QTest::newRow("minus infinite") << QVariant(-HUGE_VAL) << QString();
        QTest::newRow("text") << QVariant(QStringLiteral("abc")) << QString();
        QTest::newRow("invalid") << QVariant() << QString();
    }

    void progressFigureOfAnyValue()
    {
        // assignStatus stores whatever it is given, so the text must cope
        // with any value beside a progress state.
        QFETCH(QVariant, value);
        QFETCH(QString, text);
        DeviceStatus board;
        board.assignStatus(DeviceStatusDisplayPriority::Activity, DeviceStatusList::UploadingFirmware, value);
        QCOMPARE(shown(board), text);
        QCOMPARE(board.getStatusMessage({DeviceStatusList::UploadingFirmware, value}), text);
    }

    void generateStatusText()
    {
        QCOMPARE(DeviceStatus::generateStatusText("%d%% done", -3), QStringLiteral("-3% done"));
        QCOMPARE(DeviceStatus::generateStatusText("Gr\xc3\xb6\xc3\x9f"
                                                  "e %d",
                                                  5),
                 QStringLiteral("Gr\u00f6\u00dfe 5"));
        QCOMPARE(DeviceStatus::generateStatusText(nullptr, 5), QString());

        // Bounded: 300 characters of output are cut to the 255 that fit.
        const QByteArray longFormat = QByteArray(298, 'a') + "%d";
        const QString text = DeviceStatus::generateStatusText(longFormat.constData(), 12);
        QCOMPARE(text.size(), 255);
        QCOMPARE(text, QString(255, QLatin1Char('a')));
    }
};

QTEST_GUILESS_MAIN(TestDeviceStatus)
#include "tst_devicestatus.moc"
