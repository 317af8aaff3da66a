// Socket wrapper on a real subnet: a private veth link between two network
// namespaces made by the test itself (PrivateLink.h). A UDP socket bound to
// the interface's unicast address hears what is sent to that address, to the
// subnet broadcast and to the groups it joined, and nothing else; what it
// sends leaves from its own address and port. Exits 77 where no namespace
// can be made.
#include <QtTest>

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QUdpSocket>

#include <atomic>
#include <cstring>
#include <memory>

#include "oswrap_api.h"
#include "PrivateLink.h"
#include "vsock_wrappedSocketIf.h"

using namespace PrivateLink;

namespace {

const uint16_t kPort = 54330;
const uint16_t kPeerPort = 54331;

std::atomic<int> gEvents{0};
void onEvent(int32_t, netc_sock_cb_prm*)
{
    ++gEvents;
}

netc_addr v4(const char* text)
{
    netc_addr a{};
    vsock_pton(NETC_AF_INET, text, &a);
    return a;
}

QString text(const netc_addr& a)
{
    char buf[64];
    return vsock_ntop(&a, buf, sizeof buf) == 0 ? QString::fromLatin1(buf) : QString();
}

int32_t openUdp(const char* address, uint16_t port)
{
    T_VSOCK_CREATE_SOCK c{};
    c.type = VSOCK_TYPE_UDP;
    c.localPort = port;
    c.localAddr = v4(address);
    T_VSOCK_SOCK_OPTION o{VSOCK_OPT_CALLBACK, 0, onEvent};
    return vsock_wrappedSocketCreateSock(&c, &o);
}

// The oldest datagram in the socket's ring, or an empty array.
QByteArray take(int32_t id, netc_endpoint* source = nullptr)
{
    char buf[2048];
    netc_endpoint src{};
    const int32_t n = vsock_wrappedSocketRecvUdp(id, buf, sizeof buf, &src);
    if (n <= 0)
        return {};
    if (source)
        *source = src;
    return QByteArray(buf, n);
}

// Moves what waits in the ring to got; true when got holds anything. Safe
// to evaluate more than once, as the QTRY macros do.
bool collect(int32_t id, QList<QByteArray>& got)
{
    for (QByteArray d; !(d = take(id)).isEmpty();)
        got << d;
    return !got.isEmpty();
}

// The index the socket wrapper gives the near interface.
int32_t nearAdapter()
{
    T_VSOCK_LOCAL_ADDR a[8];
    for (int32_t index = 1; index < 16; ++index) {
        const int32_t n = vsock_wrappedSocketGetLocalAddr(index, NETC_AF_INET, a, 8);
        if (n == VSOCK_E_NOTACTIVE)
            break;
        for (int32_t i = 0; i < n; ++i)
            if (text(a[i].addr) == QLatin1String(kNearAddr))
                return index;
    }
    return -1;
}

// The peer: a Qt socket on the far side, bound to the any address so that
// it hears broadcasts and the groups it joins there.
std::unique_ptr<QUdpSocket> farPeer(const QStringList& groups = {})
{
    std::unique_ptr<QUdpSocket> peer;
    bool ok = false;
    inFar([&] {
        peer = std::make_unique<QUdpSocket>();
        ok = peer->bind(QHostAddress::AnyIPv4, kPeerPort, QUdpSocket::ShareAddress);
        const QNetworkInterface iface = QNetworkInterface::interfaceFromName(QLatin1String(kFarIf));
        peer->setMulticastInterface(iface);
        for (const QString& g : groups)
            ok = ok && peer->joinMulticastGroup(QHostAddress(g), iface);
    });
    return ok ? std::move(peer) : nullptr;
}

} // namespace

class TstVsockNetns : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void deliveryByDestination_data();
    void deliveryByDestination();
    void sendsLeaveFromTheBoundAddress_data();
    void sendsLeaveFromTheBoundAddress();
    void leavingAGroupEndsItsDelivery();
    void twoBindingsOfOneSubnetBothHearABroadcast();

private:
    int32_t m_id = -1;
};

void TstVsockNetns::initTestCase()
{
    QCOMPARE(oswrap_init(), OSWRAP_E_OK);
    QCOMPARE(vsock_wrappedSocketInitModule(), 0);
}

void TstVsockNetns::cleanupTestCase()
{
    vsock_wrappedSocketEndModule();
    oswrap_exit();
}

void TstVsockNetns::init()
{
    m_id = openUdp(kNearAddr, kPort);
    QVERIFY(m_id >= 0);
}

void TstVsockNetns::cleanup()
{
    if (m_id >= 0)
        QCOMPARE(vsock_wrappedSocketDeleteSock(m_id), 0);
    m_id = -1;
}

void TstVsockNetns::deliveryByDestination_data()
{
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QString>("joined"); // group the socket joins first
    QTest::addColumn<bool>("delivered");

    const QString none;
    QTest::newRow("its own address") << QString::fromLatin1(kNearAddr) << none << true;
    QTest::newRow("subnet broadcast") << QString::fromLatin1(kBroadcast) << none << true;
    QTest::newRow("joined group") << QStringLiteral("239.255.77.1") << QStringLiteral("239.255.77.1") << true;
    QTest::newRow("group joined by none") << QStringLiteral("239.255.77.2") << none << false;
    QTest::newRow("other group than the joined one")
        << QStringLiteral("239.255.77.3") << QStringLiteral("239.255.77.4") << false;
}

void TstVsockNetns::deliveryByDestination()
{
    QFETCH(QString, destination);
    QFETCH(QString, joined);
    QFETCH(bool, delivered);
    if (!joined.isEmpty()) {
        const netc_addr group = v4(qPrintable(joined));
        QCOMPARE(vsock_wrappedSocketAddMulticastAddr(nearAdapter(), &group), 0);
    }
    std::unique_ptr<QUdpSocket> peer = farPeer();
    QVERIFY(peer);

    QCOMPARE(peer->writeDatagram("probe", QHostAddress(destination), kPort), qint64(5));
    // A unicast marker sent after it: once the marker is in, a delivered
    // probe is in as well, and it came first.
    QCOMPARE(peer->writeDatagram("marker", QHostAddress(QLatin1String(kNearAddr)), kPort), qint64(6));
    QList<QByteArray> got;
    netc_endpoint source{};
    QTRY_VERIFY_WITH_TIMEOUT((got << take(m_id, &source), got.contains("marker")), 5000);
    // The socket task stores all that waits in one go: what came with the
    // marker is in the ring now.
    collect(m_id, got);
    got.removeAll(QByteArray());
    QCOMPARE(got.count("probe"), delivered ? 1 : 0);
    QCOMPARE(got.count("marker"), 1);
    QCOMPARE(got.size(), delivered ? 2 : 1);
    QCOMPARE(text(source.addr), QString::fromLatin1(kFarAddr));
    QCOMPARE(source.port, kPeerPort);
}

void TstVsockNetns::sendsLeaveFromTheBoundAddress_data()
{
    QTest::addColumn<QString>("destination");
    QTest::newRow("unicast to the peer") << QString::fromLatin1(kFarAddr);
    QTest::newRow("subnet broadcast") << QString::fromLatin1(kBroadcast);
    QTest::newRow("group") << QStringLiteral("239.255.77.5");
}

void TstVsockNetns::sendsLeaveFromTheBoundAddress()
{
    QFETCH(QString, destination);
    std::unique_ptr<QUdpSocket> peer = farPeer({QStringLiteral("239.255.77.5")});
    QVERIFY(peer);
    netc_endpoint dest{};
    dest.port = kPeerPort;
    dest.addr = v4(qPrintable(destination));
    static const char hello[] = "hello";
    const int before = gEvents.load();
    QCOMPARE(vsock_wrappedSocketSendUdp(m_id, hello, 5, &dest, 1000), VSOCK_E_INPROGRESS);
    QTRY_VERIFY_WITH_TIMEOUT(peer->hasPendingDatagrams(), 5000);
    const QNetworkDatagram d = peer->receiveDatagram();
    QCOMPARE(d.data(), QByteArray("hello"));
    QCOMPARE(d.senderAddress(), QHostAddress(QLatin1String(kNearAddr)));
    QCOMPARE(d.senderPort(), int(kPort));
    QTRY_VERIFY(gEvents.load() > before); // the send was reported
}

void TstVsockNetns::leavingAGroupEndsItsDelivery()
{
    const netc_addr group = v4("239.255.77.6");
    const int32_t adapter = nearAdapter();
    QVERIFY(adapter >= 1);
    std::unique_ptr<QUdpSocket> peer = farPeer();
    QVERIFY(peer);
    const QHostAddress groupAddr(QStringLiteral("239.255.77.6"));
    const QHostAddress nearAddr{QString::fromLatin1(kNearAddr)};

    for (int round = 0; round < 2; ++round) { // and once more after a leave
        QCOMPARE(vsock_wrappedSocketAddMulticastAddr(adapter, &group), 0);
        QCOMPARE(peer->writeDatagram("in group", groupAddr, kPort), qint64(8));
        QList<QByteArray> got;
        QTRY_VERIFY_WITH_TIMEOUT(collect(m_id, got), 5000);
        QCOMPARE(got, QList<QByteArray>{"in group"});

        QCOMPARE(vsock_wrappedSocketDelMulticastAddr(adapter, &group), 0);
        QCOMPARE(peer->writeDatagram("left", groupAddr, kPort), qint64(4));
        QCOMPARE(peer->writeDatagram("marker", nearAddr, kPort), qint64(6));
        got.clear();
        QTRY_VERIFY_WITH_TIMEOUT(collect(m_id, got), 5000);
        QCOMPARE(got, QList<QByteArray>{"marker"});
    }
}

void TstVsockNetns::twoBindingsOfOneSubnetBothHearABroadcast()
{
    const int32_t second = openUdp(kNearAddr2, kPort);
    QVERIFY(second >= 0);
    std::unique_ptr<QUdpSocket> peer = farPeer();
    QVERIFY(peer);
    QCOMPARE(peer->writeDatagram("all", QHostAddress(QLatin1String(kBroadcast)), kPort), qint64(3));
    QList<QByteArray> first, other;
    QTRY_VERIFY_WITH_TIMEOUT(collect(m_id, first), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(collect(second, other), 5000);
    QCOMPARE(first, QList<QByteArray>{"all"});
    QCOMPARE(other, QList<QByteArray>{"all"});
    // Unicast still reaches only the socket of that address.
    QCOMPARE(peer->writeDatagram("one", QHostAddress(QString::fromLatin1(kNearAddr2)), kPort), qint64(3));
    other.clear();
    QTRY_VERIFY_WITH_TIMEOUT(collect(second, other), 5000);
    QCOMPARE(other, QList<QByteArray>{"one"});
    QCOMPARE(take(m_id), QByteArray());
    QCOMPARE(vsock_wrappedSocketDeleteSock(second), 0);
}

int main(int argc, char** argv)
{
    std::string why;
    const int link = PrivateLink::make(&why);
    if (link != 0) {
        fprintf(stderr, "tst_vsock_netns: %s%s\n", why.c_str(), link == 77 ? "; skipped" : "");
        return link;
    }
    QCoreApplication app(argc, argv);
    TstVsockNetns test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_vsock_netns.moc"
