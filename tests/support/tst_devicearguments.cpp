// The virtual device's command line as DeviceArguments builds it.

#include "DeviceArguments.h"

#include <QTest>

class TestDeviceArguments : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void built_data()
    {
        QTest::addColumn<QStringList>("built");
        QTest::addColumn<QStringList>("expected");
        const QStringList ports{"--lndp-port", "0", "--https-port", "0"};
        QTest::newRow("no device") << QStringList(DeviceArguments()) << ports;
        QTest::newRow("address only") << QStringList(DeviceArguments().device("127.0.0.2"))
                                      << QStringList{"--device", "address=127.0.0.2"} + ports;
        QTest::newRow("keys in the order given")
            << QStringList(DeviceArguments()
                               .device("127.0.0.2")
                               .version("1.0.0")
                               .id("d")
                               .mac("02:00:00:00:00:01")
                               .model("TQ-730")
                               .name("Desk")
                               .password("pw")
                               .key("serial", "SN-1")
                               .broadcast("deaf")
                               .throttle("4m"))
            << QStringList{"--device",
                           "address=127.0.0.2,version=1.0.0,id=d,mac=02:00:00:00:00:01,model=TQ-730,name=Desk,"
                           "password=pw,serial=SN-1,broadcast=deaf,throttle=4m"}
                   + ports;
        QTest::newRow("spelt keys and empty values")
            << QStringList(DeviceArguments().device("127.0.0.2").keys("dns1=127.0.0.53,dns2=").keys("").name(""))
            << QStringList{"--device", "address=127.0.0.2,dns1=127.0.0.53,dns2=,name="} + ports;
        QTest::newRow("devices in order")
            << QStringList(DeviceArguments().device("127.0.0.2").password("a").device("127.0.0.3").password("b"))
            << QStringList{"--device", "address=127.0.0.2,password=a", "--device", "address=127.0.0.3,password=b"}
                   + ports;
        QTest::newRow("key before any device")
            << QStringList(DeviceArguments().name("x").device("127.0.0.2"))
            << QStringList{"--device", "name=x", "--device", "address=127.0.0.2"} + ports;
        QTest::newRow("https port") << QStringList(DeviceArguments().httpsPort(60010))
                                    << QStringList{"--lndp-port", "0", "--https-port", "60010"};
        const QStringList timings{"--update-step-ms", "10", "--update-step-percent", "25", "--reboot-ms", "0"};
        QTest::newRow("timings") << QStringList(DeviceArguments().updateSteps(10, 25).rebootMs(0)) << ports + timings;
        QTest::newRow("reboot only") << QStringList(DeviceArguments().rebootMs(1500))
                                     << ports + QStringList{"--reboot-ms", "1500"};
    }

    void built()
    {
        QFETCH(QStringList, built);
        QFETCH(QStringList, expected);
        QCOMPARE(built, expected);
    }
};

QTEST_GUILESS_MAIN(TestDeviceArguments)
#include "tst_devicearguments.moc"
