// Discovery answers of the virtual device, checked with hand-built datagrams
// on loopback addresses.

#include "DeviceProcess.h"
#include "LndpAnnouncement.h"

#include <QNetworkDatagram>
#include <QtEndian>
#include <QTest>
#include <QUdpSocket>

namespace {

struct Answer
{
    QHostAddress from;
    quint16 port = 0;
    QByteArray data;
};

// Reads one responder datagram's identity: flags, address, MAC, strings.
QStringList strings(const QByteArray& data)
{
    QStringList out;
    const int n = uchar(data.at(30));
    const int m = qFromBigEndian<quint16>(reinterpret_cast<const uchar*>(data.constData()) + 31 + n);
    const QByteArray exInfo = data.mid(33 + n, m);
    for (int i = 0; i < exInfo.size();) {
        const int l = uchar(exInfo.at(i));
        out << QString::fromUtf8(exInfo.mid(i + 1, l));
        i += 1 + l;
    }
    return out;
}

} // namespace

class TestLndp : public QObject
{
    Q_OBJECT

private:
    DeviceProcess m_devices;
    QUdpSocket m_socket;
    QList<Answer> m_answers;

    void collect()
    {
        while (m_socket.hasPendingDatagrams()) {
            const QNetworkDatagram d = m_socket.receiveDatagram();
            m_answers.append({QHostAddress(d.senderAddress().toIPv4Address()), quint16(d.senderPort()), d.data()});
        }
    }

    void send(const QByteArray& datagram, const QString& to)
    {
        QCOMPARE(m_socket.writeDatagram(datagram, QHostAddress(to), m_devices.lndpPort()), qint64(datagram.size()));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_devices.start(DeviceArguments()
                                     .device("127.0.0.2")
                                     .model("TQ-730")
                                     .name("Desk")
                                     .mac("02:AA:00:00:00:02")
                                     .device("127.0.0.3")
                                     .model("TQ-360")
                                     .name("Hall Display")
                                     .key("subnet", "255.255.255.0")),
                 qPrintable(m_devices.errorText()));
        QVERIFY(m_socket.bind(QHostAddress(QStringLiteral("127.0.0.1")), 0));
        m_socket.setSocketOption(QAbstractSocket::MulticastLoopbackOption, 0);
        connect(&m_socket, &QUdpSocket::readyRead, this, &TestLndp::collect);
    }

    void init()
    {
        collect();
        m_answers.clear();
    }

    void answersAnAnnouncementFromItsOwnAddress()
    {
        send(lndpAnnouncement(QHostAddress(QStringLiteral("127.0.0.1"))), QStringLiteral("127.0.0.2"));
        QTRY_COMPARE_WITH_TIMEOUT(m_answers.size(), 1, 5000);
        const Answer& a = m_answers.first();
        QCOMPARE(a.from, QHostAddress(QStringLiteral("127.0.0.2")));
        QCOMPARE(a.port, m_devices.lndpPort());
        const QByteArray& d = a.data;
        QVERIFY(d.startsWith("LNDP"));
        QCOMPARE(qFromBigEndian<quint16>(reinterpret_cast<const uchar*>(d.constData()) + 4), quint16(d.size() - 6));
        QCOMPARE(uchar(d.at(6)), uchar(0x80));
        QCOMPARE(uchar(d.at(7)), uchar(4));
        QCOMPARE(d.mid(8, 4).toHex(), QByteArray("7f000002"));
        QCOMPARE(d.mid(12, 12), QByteArray(12, '\0'));
        QCOMPARE(d.mid(24, 6).toHex(), QByteArray("02aa00000002"));
        QCOMPARE(d.mid(30, 9), QByteArray("\x08_zel-scp"));
        QCOMPARE(strings(d), (QStringList{QString(), QStringLiteral("TQ-730"), QStringLiteral("Desk")}));
    }

    void eachDeviceAnswersForItself()
    {
        send(lndpAnnouncement(QHostAddress(QStringLiteral("127.0.0.1"))), QStringLiteral("127.0.0.3"));
        QTRY_COMPARE_WITH_TIMEOUT(m_answers.size(), 1, 5000);
        QCOMPARE(m_answers.first().from, QHostAddress(QStringLiteral("127.0.0.3")));
        QCOMPARE(strings(m_answers.first().data),
                 (QStringList{QString(), QStringLiteral("TQ-360"), QStringLiteral("Hall Display")}));
    }

    void broadcastReachesEveryDeviceOfTheSubnet()
    {
        m_socket.setSocketOption(QAbstractSocket::MulticastTtlOption, 1);
        send(lndpAnnouncement(QHostAddress(QStringLiteral("127.0.0.1"))), QStringLiteral("127.255.255.255"));
        QTRY_COMPARE_WITH_TIMEOUT(m_answers.size(), 2, 5000);
        QStringList from{m_answers.at(0).from.toString(), m_answers.at(1).from.toString()};
        from.sort();
        QCOMPARE(from, (QStringList{QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.3")}));
    }

    void ignoresWhatIsNotAnAnnouncement()
    {
        const QHostAddress me(QStringLiteral("127.0.0.1"));
        QByteArray badMagic = lndpAnnouncement(me);
        badMagic[1] = 'X';
        QByteArray badLength = lndpAnnouncement(me);
        badLength[5] = char(badLength.at(5) + 1);
        send(lndpAnnouncement(me).left(33), QStringLiteral("127.0.0.2"));
        send(badMagic, QStringLiteral("127.0.0.2"));
        send(badLength, QStringLiteral("127.0.0.2"));
        send(lndpAnnouncement(me, "_other"), QStringLiteral("127.0.0.2"));
        send(lndpAnnouncement(me, "_zel-scp", 0x80), QStringLiteral("127.0.0.2")); // another responder
        send(QByteArray(1600, 'L'), QStringLiteral("127.0.0.2"));
        send(lndpAnnouncement(me) + "trailing bytes are ignored", QStringLiteral("127.0.0.2"));
        // Datagrams are handled in order: the one answer is to the last.
        QTRY_COMPARE_WITH_TIMEOUT(m_answers.size(), 1, 5000);
        send(lndpAnnouncement(me), QStringLiteral("127.0.0.2"));
        QTRY_COMPARE_WITH_TIMEOUT(m_answers.size(), 2, 5000);
        QCOMPARE(m_answers.at(1).data, m_answers.at(0).data);
    }

    void silentDeviceDoesNotAnswerUntilSwitchedBack()
    {
        QCOMPARE(m_devices.command(QStringLiteral("fault d1 lndp off")), QStringLiteral("ok"));
        // One broadcast reaches both devices in one pass: the other device's
        // answer shows that the silent one had its turn too.
        send(lndpAnnouncement(QHostAddress(QStringLiteral("127.0.0.1"))), QStringLiteral("127.255.255.255"));
        QTRY_COMPARE_WITH_TIMEOUT(m_answers.size(), 1, 5000);
        QCOMPARE(m_answers.first().from, QHostAddress(QStringLiteral("127.0.0.3")));
        send(lndpAnnouncement(QHostAddress(QStringLiteral("127.0.0.1"))), QStringLiteral("127.0.0.3"));
        QTRY_COMPARE_WITH_TIMEOUT(m_answers.size(), 2, 5000);
        QCOMPARE(m_answers.size(), 2);

        QCOMPARE(m_devices.command(QStringLiteral("fault d1 lndp on")), QStringLiteral("ok"));
        send(lndpAnnouncement(QHostAddress(QStringLiteral("127.0.0.1"))), QStringLiteral("127.0.0.2"));
        QTRY_COMPARE_WITH_TIMEOUT(m_answers.size(), 3, 5000);
        QCOMPARE(m_answers.at(2).from, QHostAddress(QStringLiteral("127.0.0.2")));
    }

    // A network that filters broadcasts: the deaf device still answers what
    // is sent to its own address. Each row starts a device process of its own
    // (d1 possibly deaf from the start, d2 hearing), as `clear` goes back to
    // how a device started.
    void deafToBroadcastsAnswersOnlyItsOwnAddress_data()
    {
        QTest::addColumn<QString>("startKeys");
        QTest::addColumn<QString>("deafen");
        QTest::addColumn<bool>("hearsAfterClear");
        QTest::newRow("console fault") << QString() << QStringLiteral("fault d1 broadcast deaf") << true;
        QTest::newRow("start-up key") << QStringLiteral("broadcast=deaf") << QString() << false;
    }

    void deafToBroadcastsAnswersOnlyItsOwnAddress()
    {
        QFETCH(QString, startKeys);
        QFETCH(QString, deafen);
        QFETCH(bool, hearsAfterClear);
        DeviceProcess devices;
        QVERIFY2(devices.start(DeviceArguments().device("127.0.0.4").keys(startKeys).device("127.0.0.5")),
                 qPrintable(devices.errorText()));
        if (!deafen.isEmpty())
            QCOMPARE(devices.command(deafen), QStringLiteral("ok"));
        const QHostAddress deaf(QStringLiteral("127.0.0.4"));
        const QHostAddress hearing(QStringLiteral("127.0.0.5"));
        const QByteArray announcement = lndpAnnouncement(QHostAddress(QStringLiteral("127.0.0.1")));
        const auto sendTo = [&](const QString& to) {
            return m_socket.writeDatagram(announcement, QHostAddress(to), devices.lndpPort()) == announcement.size();
        };
        // One broadcast pass takes d1 before d2: d2's answer shows d1 had its turn.
        QVERIFY(sendTo(QStringLiteral("127.255.255.255")));
        QTRY_VERIFY_WITH_TIMEOUT(!m_answers.isEmpty() && m_answers.last().from == hearing, 5000);
        QCOMPARE(m_answers.size(), 1);
        QVERIFY(sendTo(deaf.toString()));
        QTRY_COMPARE_WITH_TIMEOUT(m_answers.size(), 2, 5000);
        QCOMPARE(m_answers.at(1).from, deaf);

        QCOMPARE(devices.command(QStringLiteral("fault d1 broadcast normal")), QStringLiteral("ok"));
        QVERIFY(sendTo(QStringLiteral("127.255.255.255")));
        QTRY_COMPARE_WITH_TIMEOUT(m_answers.size(), 4, 5000);
        QCOMPARE(m_answers.at(2).from, deaf);
        QCOMPARE(m_answers.at(3).from, hearing);

        QCOMPARE(devices.command(QStringLiteral("fault d1 clear")), QStringLiteral("ok"));
        QVERIFY(sendTo(QStringLiteral("127.255.255.255")));
        QTRY_VERIFY_WITH_TIMEOUT(m_answers.size() > 4 && m_answers.last().from == hearing, 5000);
        QCOMPARE(m_answers.size(), hearsAfterClear ? 6 : 5);
        QVERIFY(devices.stop());
    }

    void answersCarryChangedIdentity()
    {
        QCOMPARE(m_devices.command(QStringLiteral("set d1 model TQ-999")), QStringLiteral("ok"));
        QCOMPARE(m_devices.command(QStringLiteral("set d1 name Back Office")), QStringLiteral("ok"));
        send(lndpAnnouncement(QHostAddress(QStringLiteral("127.0.0.1"))), QStringLiteral("127.0.0.2"));
        QTRY_COMPARE_WITH_TIMEOUT(m_answers.size(), 1, 5000);
        QCOMPARE(strings(m_answers.first().data),
                 (QStringList{QString(), QStringLiteral("TQ-999"), QStringLiteral("Back Office")}));

        QCOMPARE(m_devices.command(QStringLiteral("set d1 name")), QStringLiteral("ok"));
        send(lndpAnnouncement(QHostAddress(QStringLiteral("127.0.0.1"))), QStringLiteral("127.0.0.2"));
        QTRY_COMPARE_WITH_TIMEOUT(m_answers.size(), 2, 5000);
        QCOMPARE(strings(m_answers.at(1).data), (QStringList{QString(), QStringLiteral("TQ-999"), QString()}));
    }

    void anyNameUpTo254BytesIsPlayed_data()
    {
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("sent");
        const QString e = QStringLiteral("\u00e9");
        // Longer than a certificate's name field (64 characters), serial number too.
        QTest::newRow("long name and serial") << QStringLiteral("name=") + QString(60, QLatin1Char('N'))
                                                     + QStringLiteral(",serial=") + QString(100, QLatin1Char('S'))
                                              << QString(60, QLatin1Char('N'));
        QTest::newRow("longest name") << QStringLiteral("name=") + QString(254, QLatin1Char('N'))
                                      << QString(254, QLatin1Char('N'));
        QTest::newRow("multi-byte name over 254 bytes")
            << QStringLiteral("name=a") + e.repeated(127) << QStringLiteral("a") + e.repeated(126);
        QTest::newRow("empty name") << QStringLiteral("name=") << QString();
    }

    void anyNameUpTo254BytesIsPlayed()
    {
        QFETCH(QString, options);
        QFETCH(QString, sent);
        DeviceProcess device;
        QVERIFY2(device.start(DeviceArguments().device("127.0.0.4").model("TQ-730").keys(options)),
                 qPrintable(device.errorText()));
        const QByteArray datagram = lndpAnnouncement(QHostAddress(QStringLiteral("127.0.0.1")));
        QCOMPARE(m_socket.writeDatagram(datagram, QHostAddress(QStringLiteral("127.0.0.4")), device.lndpPort()),
                 qint64(datagram.size()));
        QTRY_COMPARE_WITH_TIMEOUT(m_answers.size(), 1, 5000);
        QCOMPARE(m_answers.first().from, QHostAddress(QStringLiteral("127.0.0.4")));
        QCOMPARE(strings(m_answers.first().data), (QStringList{QString(), QStringLiteral("TQ-730"), sent}));
        QVERIFY(device.stop());
    }

    void cleanupTestCase() { QVERIFY(m_devices.stop()); }
};

QTEST_GUILESS_MAIN(TestLndp)
#include "tst_vdlndp.moc"
