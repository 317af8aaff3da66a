// The toast texts: every entry of both tables by literal code, the order of
// the look-ups, and how "errorCode" values of other types are read (QML hands
// numbers over as doubles; a window may pass text).

#include "UserInterface.h"

#include <QTest>

class TestMessageGenerator : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void generate_data()
    {
        QTest::addColumn<QVariantMap>("option");
        QTest::addColumn<QString>("message");

        auto row = [](const char* name, const QVariant& code, const char* message) {
            QTest::newRow(name) << QVariantMap{{QStringLiteral("errorCode"), code}} << QString::fromUtf8(message);
        };
        // The code table.
        row("login 1", 0x80110001u, "Invalid password, please retry.");
        row("firmware 1", 0x80040001u, "File open error.");
        row("firmware 2", 0x80040002u, "Firmware update was skipped. Device is busy.");
        row("firmware 3", 0x80040003u, "Firmware update was skipped. Device is disconnected.");
        row("firmware 4 before its facility", 0x80040004u, "Network error.");
        row("import 1", 0x80060001u, "File open error.");
        row("import 2", 0x80060002u, "Import configuration was skipped. Device is busy.");
        row("import 3", 0x80060003u, "Import configuration was skipped. Device is disconnected.");
        row("import 4", 0x80060004u, "Network error.");
        row("image 1", 0x80050001u, "File open error.");
        row("image 2", 0x80050002u, "Change stand-by screen image was skipped. Device is busy.");
        row("image 3", 0x80050003u, "Change stand-by screen image was skipped. Device is disconnected.");
        row("image 4", 0x80050004u, "Network error.");
        // The facility table, by codes outside the code table.
        row("facility 1", 0x800101F5u, "Network error.");
        row("facility 2", 0x80020001u, "Received invalid data from Vel device.");
        row("facility 3", 0x80030002u, "Upload error.");
        row("facility 4", 0x80040009u, "Firmware update error.");
        row("facility 5", 0x80050010u, "Standby screen image change error.");
        row("facility 6", 0x80060005u, "Import configuration error.");
        row("facility 7", 0x80070001u, "Network error.");
        row("facility 8", 0x80080003u, "Network error.");
        row("facility 9", 0x80090003u, "Unknown error.");
        row("facility 17", 0x80110002u, "Network error.");
        row("bit 31 is not looked at", 0x00010001u, "Network error.");
        row("bit 31 clear, code of the code table", 0x00040002u, "Firmware update error.");
        // The default.
        row("generic failure", 0x80000000u, "Unknown error.");
        row("facility 16 has no text", 0x80100001u, "Unknown error.");
        row("facility 0x7fff", 0xFFFF0001u, "Unknown error.");
        row("success", 0u, "Unknown error.");
        QTest::newRow("no errorCode") << QVariantMap{} << QStringLiteral("Unknown error.");
        // Other variant types.
        row("digits", QStringLiteral("2147745794"), "Firmware update was skipped. Device is busy.");
        row("double from QML", 2147745794.0, "Firmware update was skipped. Device is busy.");
        row("64-bit", qulonglong(0x80060003u), "Import configuration was skipped. Device is disconnected.");
        row("text that is no number", QStringLiteral("busy"), "Unknown error.");
        row("list", QStringList{QStringLiteral("1")}, "Unknown error.");
    }

    void generate()
    {
        QFETCH(QVariantMap, option);
        QFETCH(QString, message);
        const UserInterface::MessageGenerator generator;
        QCOMPARE(generator.generate(option), message);
    }
};

QTEST_GUILESS_MAIN(TestMessageGenerator)
#include "tst_messagegenerator.moc"
