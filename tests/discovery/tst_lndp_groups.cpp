// LNDP engine: multicast group joins on a host whose loopback interface is
// down. Runs in a network namespace of its own (made at start, so every
// thread of the program lives in it) with one veth pair; exits 77 where no
// namespace can be made. Nothing is sent outside that namespace.
#include <QtTest>

#include <sched.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lndp_manage.h"
#include "LndpTestPeer.h"
#include "oswrap_api.h"
#include "vsock_wrappedSocketIf.h"

using namespace LNDP;

namespace {

const char* const kAddress = "10.231.0.1";

void noEvent(int32_t)
{
}

// The groups the kernel lists as joined on one interface (/proc/net/igmp
// gives them as the address's four bytes read as a host-order word).
QStringList joinedGroups(const QString& device)
{
    QFile f("/proc/net/igmp");
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList groups;
    QString current;
    for (const QByteArray& raw : f.readAll().split('\n')) {
        const QString line = QString::fromLatin1(raw);
        if (!line.isEmpty() && line.at(0).isDigit())
            current = line.section(QRegularExpression("\\s+"), 1, 1);
        else if (line.startsWith('\t') && current == device)
            groups << line.trimmed().section(QRegularExpression("\\s+"), 0, 0);
    }
    return groups;
}

QString igmpText(const char* group)
{
    const netc_addr a = lndpV4(group);
    uint32_t word = 0;
    memcpy(&word, a.addr, 4);
    return QString::asprintf("%08X", word);
}

} // namespace

class TestLndpGroups : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void cleanup() { gl_manage.finalize(); } // also after a failed row
    void joinsOnTheAdapterWhileLoopbackIsDown_data();
    void joinsOnTheAdapterWhileLoopbackIsDown();

private:
    int32_t m_mainSem = 0;
    int32_t m_vsockSem = 0;
};

void TestLndpGroups::initTestCase()
{
    QCOMPARE(oswrap_init(), 0);
    QCOMPARE(vsock_wrappedSocketInitModule(), 0);
    T_OSWRAP_CSEM sem = {0, 1, "GMAIN"};
    QCOMPARE(oswrap_AcreSem(&m_mainSem, &sem), 0);
    sem.name = "GVSOCK";
    QCOMPARE(oswrap_AcreSem(&m_vsockSem, &sem), 0);
}

void TestLndpGroups::cleanupTestCase()
{
    vsock_wrappedSocketEndModule();
    oswrap_exit();
}

void TestLndpGroups::joinsOnTheAdapterWhileLoopbackIsDown_data()
{
    QTest::addColumn<int>("role");
    QTest::addColumn<QString>("group");
    QTest::newRow("responder") << 1 << "239.255.77.1";
    QTest::newRow("role 3") << 3 << "239.255.77.3";
}

void TestLndpGroups::joinsOnTheAdapterWhileLoopbackIsDown()
{
    QFETCH(int, role);
    QFETCH(QString, group);
    // The scene: no loopback adapter that is up, the address on an Ethernet one.
    T_VSOCK_LOCAL_ADDR la[4];
    QCOMPARE(vsock_wrappedSocketGetLocalAddr(0, NETC_AF_INET, la, 4), VSOCK_E_NOTACTIVE);
    const netc_addr local = lndpV4(kAddress);
    bool onAdapter = false;
    for (int32_t index = 1; index <= 4 && !onAdapter; ++index)
        onAdapter
            = vsock_wrappedSocketGetLocalAddr(index, NETC_AF_INET, la, 4) == 1 && lndp_addrEqual(&la[0].addr, &local);
    QVERIFY(onAdapter);

    QCOMPARE(gl_manage.initialize(oswrap_WaiSem, oswrap_SigSem, m_mainSem, m_vsockSem), LNDP_OK);
    QCOMPARE(gl_manage.attachTask(noEvent), LNDP_OK);
    _T_LNDP_NETWORK_SETUP_PROPERTY p;
    memset(&p, 0, sizeof p);
    p.role = (uint8_t)role;
    p.ipVersion = 4;
    p.localAddr = lndpV4(kAddress);
    p.netmask = lndpV4("255.255.255.0");
    p.port = freeUdpPort();
    const QByteArray groupText = group.toLatin1();
    p.multicastAddr = lndpV4(groupText.constData());
    p.serviceNameLen = 1;
    p.serviceName = (const uint8_t*)"g";
    p.intervalMs = 1000;
    int id = -1;
    gl_manage.mainLock();
    const int32_t r = gl_manage.setConfigCore(id, p);
    gl_manage.mainUnlock();
    QCOMPARE(r, LNDP_OK);
    int32_t rx, tx, notify;
    gl_manage.runInterval(rx, tx, notify); // opens the socket and joins
    QCOMPARE(gl_manage.socketStateOf(p.localAddr, p.port), 1);
    const QStringList joined = joinedGroups("lgv0");
    gl_manage.finalize();
    QVERIFY2(joined.contains(igmpText(groupText.constData())), qPrintable(joined.join(' ')));
    // Leaving with the socket: the group is gone again.
    QVERIFY(!joinedGroups("lgv0").contains(igmpText(groupText.constData())));
}

// The namespace must exist before the first thread does.
int main(int argc, char** argv)
{
    if (unshare(CLONE_NEWNET) != 0) {
        fprintf(stderr, "no network namespace (%s): skipped\n", strerror(errno));
        return 77;
    }
    // A fresh namespace has its loopback down; it stays so.
    if (system("ip link add lgv0 type veth peer name lgv1"
               " && ip addr add 10.231.0.1/24 dev lgv0"
               " && ip link set lgv1 up && ip link set lgv0 up")
        != 0) {
        fprintf(stderr, "no veth pair in the namespace: skipped\n");
        return 77;
    }
    TestLndpGroups t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_lndp_groups.moc"
