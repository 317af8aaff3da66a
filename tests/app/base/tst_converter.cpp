#include "Converter.h"

#include <QTest>

#include <cstring>

class TestConverter : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void macToText()
    {
        const uint8_t mac[6] = {0x02, 0x1A, 0x2B, 0x00, 0x0d, 0xFF};
        QCOMPARE(Converter::macUint8ArrayToStr(mac), std::string("02:1A:2B:00:0D:FF"));
        QCOMPARE(Converter::macUint8ArrayToQStr(mac), QStringLiteral("02:1A:2B:00:0D:FF"));

        // Exactly 17 characters and a NUL, nothing beyond the 18 bytes.
        char text[20];
        std::memset(text, 'x', sizeof(text));
        QCOMPARE(Converter::macUint8ArrayToCharArray(mac, text), 17);
        QCOMPARE(text, "02:1A:2B:00:0D:FF");
        QCOMPARE(text[18], 'x');

        QCOMPARE(Converter::macUint8ArrayToCharArray(mac, nullptr), 0);
    }

    void ipStrToUint32_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<quint32>("expected");

        QTest::newRow("private") << QByteArray("192.168.0.10") << true << quint32(0xC0A8000A);
        QTest::newRow("zero") << QByteArray("0.0.0.0") << true << quint32(0);
        QTest::newRow("all ones") << QByteArray("255.255.255.255") << true << quint32(0xFFFFFFFF);
        QTest::newRow("leading zeros are decimal") << QByteArray("010.001.000.009") << true << quint32(0x0A010009);

        QTest::newRow("three pieces") << QByteArray("1.2.3") << false << quint32(0);
        QTest::newRow("five pieces") << QByteArray("1.2.3.4.5") << false << quint32(0);
        QTest::newRow("letter") << QByteArray("1.2.x.4") << false << quint32(0);
        QTest::newRow("empty piece") << QByteArray("1..2.3") << false << quint32(0);
        QTest::newRow("empty text") << QByteArray("") << false << quint32(0);
        QTest::newRow("octet 300") << QByteArray("192.168.1.300") << false << quint32(0);
        QTest::newRow("octet 256") << QByteArray("256.0.0.1") << false << quint32(0);
        QTest::newRow("four digits") << QByteArray("0001.2.3.4") << false << quint32(0);
        QTest::newRow("huge piece") << QByteArray("99999999999999999999.1.1.1") << false << quint32(0);
        QTest::newRow("trailing dot") << QByteArray("1.2.3.4.") << false << quint32(0);
        QTest::newRow("leading dot") << QByteArray(".1.2.3") << false << quint32(0);
        QTest::newRow("sign") << QByteArray("+1.2.3.4") << false << quint32(0);
        QTest::newRow("space") << QByteArray("1.2.3.4 ") << false << quint32(0);
    }

    void ipStrToUint32()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, ok);
        QFETCH(quint32, expected);
        // A failed conversion must leave the caller's value alone.
        uint32_t value = 0xDEADBEEF;
        QCOMPARE(Converter::ipStrToUint32(text.toStdString(), value), ok);
        QCOMPARE(value, ok ? expected : 0xDEADBEEF);
    }

    void macStrToUint8Array_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QByteArray>("expected");

        const QByteArray mac = QByteArray::fromHex("021a2b3c4d5e");
        QTest::newRow("lower case") << QByteArray("02:1a:2b:3c:4d:5e") << true << mac;
        QTest::newRow("upper case") << QByteArray("02:1A:2B:3C:4D:5E") << true << mac;
        QTest::newRow("single digits") << QByteArray("2:a:B:0:f:F") << true << QByteArray::fromHex("020a0b000f0f");
        QTest::newRow("dashes") << QByteArray("02-1A-2B-3C-4D-5E") << false << QByteArray();
        QTest::newRow("five pieces") << QByteArray("02:1A:2B:3C:4D") << false << QByteArray();
        QTest::newRow("seven pieces") << QByteArray("02:1A:2B:3C:4D:5E:6F") << false << QByteArray();
        QTest::newRow("trailing colon") << QByteArray("02:1A:2B:3C:4D:5E:") << false << QByteArray();
        QTest::newRow("not hex") << QByteArray("02:1A:2B:3C:4D:5G") << false << QByteArray();
        QTest::newRow("three digits") << QByteArray("102:1A:2B:3C:4D:5E") << false << QByteArray();
        QTest::newRow("empty piece") << QByteArray("02::2B:3C:4D:5E") << false << QByteArray();
        QTest::newRow("empty text") << QByteArray("") << false << QByteArray();
    }

    void macStrToUint8Array()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, ok);
        QFETCH(QByteArray, expected);
        uint8_t mac[6];
        std::memset(mac, 0xAA, sizeof(mac));
        QCOMPARE(Converter::macStrToUint8Array(text.toStdString(), mac), ok);
        const QByteArray actual(reinterpret_cast<const char*>(mac), sizeof(mac));
        QCOMPARE(actual, ok ? expected : QByteArray(6, char(0xAA)));
    }

    void macStrNullTarget() { QVERIFY(!Converter::macStrToUint8Array("02:1A:2B:3C:4D:5E", nullptr)); }

    void macRoundTrip()
    {
        const uint8_t original[6] = {0x00, 0x11, 0x9A, 0xBC, 0xDE, 0xF0};
        uint8_t parsed[6] = {};
        QVERIFY(Converter::macStrToUint8Array(Converter::macUint8ArrayToStr(original), parsed));
        QCOMPARE(std::memcmp(original, parsed, sizeof(parsed)), 0);
    }
};

QTEST_GUILESS_MAIN(TestConverter)
#include "tst_converter.moc"
