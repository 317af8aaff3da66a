#include "ResultCode.h"

#include <QTest>

using ResultCode::Facility;

class TestResultCode : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The codes as devices' operators see them in messages: facility in bits
    // 16 to 30, case in the low 16 bits, bit 31 for failure.
    void failureCodes_data()
    {
        QTest::addColumn<int>("facility");
        QTest::addColumn<int>("failureCase");
        QTest::addColumn<uint>("code");
        QTest::newRow("generic") << int(Facility::General) << 0 << 0x80000000u;
        QTest::newRow("http access") << int(Facility::HttpAccess) << 4 << 0x80010004u;
        QTest::newRow("settings models") << int(Facility::SettingsModels) << 1 << 0x80020001u;
        QTest::newRow("file uploader") << int(Facility::FileUploader) << 2 << 0x80030002u;
        QTest::newRow("firmware update") << int(Facility::FirmwareUpdate) << 3 << 0x80040003u;
        QTest::newRow("standby image") << int(Facility::StandbyScreenImage) << 5 << 0x80050005u;
        QTest::newRow("configuration import") << int(Facility::ConfigurationImport) << 6 << 0x80060006u;
        QTest::newRow("websocket") << int(Facility::WebSocketClient) << 2 << 0x80070002u;
        QTest::newRow("push session") << int(Facility::PushSession) << 1 << 0x80080001u;
        QTest::newRow("multipart body") << int(Facility::MultiPartBody) << 1 << 0x80090001u;
        QTest::newRow("discovered devices") << int(Facility::DiscoveredDevices) << 1 << 0x80100001u;
        QTest::newRow("login") << int(Facility::Login) << 0xFFFF << 0x8011FFFFu;
    }

    void failureCodes()
    {
        QFETCH(int, facility);
        QFETCH(int, failureCase);
        QFETCH(uint, code);
        const int32_t built = ResultCode::failure(static_cast<Facility>(facility), static_cast<uint16_t>(failureCase));
        QCOMPARE(static_cast<uint32_t>(built), code);
        QVERIFY(ResultCode::isFailure(built));
        QVERIFY(!ResultCode::isSuccess(built));
        QCOMPARE(int(ResultCode::facilityOf(built)), facility);
        QCOMPARE(int(ResultCode::caseOf(built)), failureCase);
        QCOMPARE(ResultCode::toGeneric(built), ResultCode::kFailure);
    }

    void successCodes_data()
    {
        QTest::addColumn<int>("code");
        QTest::newRow("zero") << 0;
        QTest::newRow("request id") << 1;
        QTest::newRow("count") << 9;
        QTest::newRow("largest") << 0x7FFFFFFF;
    }

    void successCodes()
    {
        QFETCH(int, code);
        QVERIFY(ResultCode::isSuccess(code));
        QVERIFY(!ResultCode::isFailure(code));
        QCOMPARE(ResultCode::toGeneric(code), code);
    }
};

QTEST_GUILESS_MAIN(TestResultCode)
#include "tst_resultcode.moc"
