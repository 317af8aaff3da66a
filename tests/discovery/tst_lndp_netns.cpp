// LNDP responders on a real subnet: a private veth link between two network
// namespaces made by the test itself (PrivateLink.h). A peer on the far side
// announces to the subnet broadcast and to a multicast group; the engine's
// responder services on 10.9.0.1/24 answer by unicast from their own address
// and the service port, and an announcer's broadcasts leave from there too.
// Exits 77 where no namespace can be made.
#include <QtTest>

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QUdpSocket>

#include <memory>
#include <vector>

#include "lndp_api.h"
#include "lndp_manage.h"
#include "lndp_task.h"
#include "LndpTestPeer.h"
#include "oswrap_api.h"
#include "PrivateLink.h"
#include "vsock_wrappedSocketIf.h"

using namespace PrivateLink;

namespace {

const uint16_t kPort = 54330;
const char* const kGroup = "239.255.77.9";

std::vector<uint8_t> exInfo()
{
    std::vector<uint8_t> ex(64);
    uint32_t used = 0;
    lndp_exInfoAppend(ex.data(), 64, &used, nullptr, 0);
    lndp_exInfoAppend(ex.data(), 64, &used, (const uint8_t*)"TQ-730", 6);
    lndp_exInfoAppend(ex.data(), 64, &used, (const uint8_t*)"Far desk", 8);
    ex.resize(used);
    return ex;
}

_T_LNDP_NETWORK_SETUP_PROPERTY responder(const char* name, const std::vector<uint8_t>& ex, const char* group)
{
    _T_LNDP_NETWORK_SETUP_PROPERTY p;
    memset(&p, 0, sizeof p);
    p.role = 1;
    const uint8_t mac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    memcpy(p.macAddr, mac, 6);
    p.ipVersion = 4;
    p.localAddr = lndpV4(kNearAddr);
    p.netmask = lndpV4("255.255.255.0");
    p.port = kPort;
    if (group)
        p.multicastAddr = lndpV4(group);
    p.serviceNameLen = (uint8_t)strlen(name);
    p.serviceName = (const uint8_t*)name;
    p.exInfo = ex.data();
    p.exInfoLen = (uint16_t)ex.size();
    return p;
}

uint8_t engineState()
{
    LNDP::gl_manage.mainLock();
    const uint8_t s = LNDP::gl_manage.state();
    LNDP::gl_manage.mainUnlock();
    return s;
}

int32_t socketState()
{
    LNDP::gl_manage.mainLock();
    const int32_t s = LNDP::gl_manage.socketStateOf(lndpV4(kNearAddr), kPort);
    LNDP::gl_manage.mainUnlock();
    return s;
}

QByteArray bytes(const std::vector<uint8_t>& v)
{
    return QByteArray((const char*)v.data(), (int)v.size());
}

} // namespace

class TstLndpNetns : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void responderAnswersAnnouncement_data();
    void responderAnswersAnnouncement();
    void announcementLeavesFromTheInterfaceAddress();

private:
    std::vector<uint8_t> m_ex = exInfo();
    std::unique_ptr<QUdpSocket> m_peer;
};

void TstLndpNetns::initTestCase()
{
    QCOMPARE(oswrap_init(), 0);
    QCOMPARE(lndp_startup(), LNDP_OK);
    const _T_LNDP_NETWORK_SETUP_PROPERTY viaBroadcast = responder("_zel-scp", m_ex, nullptr);
    const _T_LNDP_NETWORK_SETUP_PROPERTY viaGroup = responder("_zel-grp", m_ex, kGroup);
    int id = -1;
    // Set-up is refused until the engine task has attached.
    QTRY_COMPARE(engineState(), uint8_t(LNDP::LNDP_STATE_READY));
    QCOMPARE(lndp2_setup(&id, &viaBroadcast), LNDP_OK);
    QCOMPARE(lndp2_setup(&id, &viaGroup), LNDP_OK);
    // Once the socket is up, its groups are joined (under the same lock).
    QTRY_COMPARE(socketState(), 1);

    // The peer: a device-side announcer, bound to the service port as an
    // announcer of this protocol is.
    bool ok = false;
    inFar([&] {
        m_peer = std::make_unique<QUdpSocket>();
        ok = m_peer->bind(QHostAddress(QString::fromLatin1(kFarAddr)), kPort, QUdpSocket::ShareAddress);
        m_peer->setMulticastInterface(QNetworkInterface::interfaceFromName(QString::fromLatin1(kFarIf)));
    });
    QVERIFY(ok);
}

void TstLndpNetns::cleanupTestCase()
{
    m_peer.reset();
    while (lndp_cleanup() > 0) { }
    oswrap_exit();
}

void TstLndpNetns::responderAnswersAnnouncement_data()
{
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QString>("service");
    QTest::newRow("subnet broadcast") << QString::fromLatin1(kBroadcast) << QStringLiteral("_zel-scp");
    QTest::newRow("multicast group") << QString::fromLatin1(kGroup) << QStringLiteral("_zel-grp");
}

void TstLndpNetns::responderAnswersAnnouncement()
{
    QFETCH(QString, destination);
    QFETCH(QString, service);
    const QByteArray name = service.toLatin1();
    const std::vector<uint8_t> announcement = lndpDatagram(LNDP_ROLE_ANNOUNCER, kFarAddr, name.constData());
    QCOMPARE(m_peer->writeDatagram(bytes(announcement), QHostAddress(destination), kPort), qint64(announcement.size()));

    QTRY_VERIFY_WITH_TIMEOUT(m_peer->hasPendingDatagrams(), 5000);
    const QNetworkDatagram reply = m_peer->receiveDatagram();
    QCOMPARE(reply.senderAddress(), QHostAddress(QString::fromLatin1(kNearAddr)));
    QCOMPARE(reply.senderPort(), int(kPort));
    QCOMPARE(reply.data(), bytes(lndpDatagram(LNDP_ROLE_RESPONDER, kNearAddr, name.constData(), m_ex)));
}

void TstLndpNetns::announcementLeavesFromTheInterfaceAddress()
{
    // A far listener on the service port that hears the subnet broadcast.
    std::unique_ptr<QUdpSocket> listener;
    bool ok = false;
    inFar([&] {
        listener = std::make_unique<QUdpSocket>();
        ok = listener->bind(QHostAddress(QString::fromLatin1(kBroadcast)), kPort, QUdpSocket::ShareAddress);
    });
    QVERIFY(ok);
    _T_LNDP_NETWORK_SETUP_PROPERTY announcer = responder("_zel-scp", m_ex, nullptr);
    announcer.role = 2;
    announcer.exInfo = nullptr;
    announcer.exInfoLen = 0;
    announcer.intervalMs = 1000;
    int id = -1;
    QCOMPARE(lndp2_setup(&id, &announcer), LNDP_OK);
    QTRY_VERIFY_WITH_TIMEOUT(listener->hasPendingDatagrams(), 5000);
    const QNetworkDatagram d = listener->receiveDatagram();
    QCOMPARE(lndp2_clear(id), LNDP_OK);
    QCOMPARE(d.senderAddress(), QHostAddress(QString::fromLatin1(kNearAddr)));
    QCOMPARE(d.senderPort(), int(kPort));
    QCOMPARE(d.destinationAddress(), QHostAddress(QString::fromLatin1(kBroadcast)));
    QCOMPARE(d.data(), bytes(lndpDatagram(LNDP_ROLE_ANNOUNCER, kNearAddr, "_zel-scp")));
}

int main(int argc, char** argv)
{
    std::string why;
    const int link = PrivateLink::make(&why);
    if (link != 0) {
        fprintf(stderr, "tst_lndp_netns: %s%s\n", why.c_str(), link == 77 ? "; skipped" : "");
        return link;
    }
    QCoreApplication app(argc, argv);
    TstLndpNetns test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_lndp_netns.moc"
