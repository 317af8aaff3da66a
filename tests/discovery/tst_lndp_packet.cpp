// LNDP wire format: the announcement bytes, every receive-check boundary,
// decoding, extended-information strings and the address helpers.
#include <QtTest>

#include <cstring>
#include <vector>

#include "lndp_packet.h"

namespace {

netc_addr v4(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    netc_addr r;
    memset(&r, 0, sizeof r);
    r.family = NETC_AF_INET;
    r.addr[0] = a;
    r.addr[1] = b;
    r.addr[2] = c;
    r.addr[3] = d;
    return r;
}

// The temporary lives until the end of the full expression.
const netc_addr *ptr(const netc_addr &a)
{
    return &a;
}

const uint8_t kMac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

// A datagram built by hand: name of nameLen 'x' bytes, exInfo of exLen 'e'
// bytes, length field as given (or the consistent one), extra trailing bytes.
std::vector<uint8_t> raw(int nameLen, int exLen, int lengthField = -1, int trailing = 0,
                         uint8_t flags = 0x80)
{
    std::vector<uint8_t> d(33 + nameLen + exLen + trailing, 0xAB);
    memcpy(d.data(), "LNDP", 4);
    const int len = lengthField >= 0 ? lengthField : 27 + nameLen + exLen;
    d[4] = (uint8_t)(len >> 8);
    d[5] = (uint8_t)len;
    d[6] = flags;
    d[7] = 4;
    memset(&d[8], 0, 16);
    d[8] = 10;
    d[11] = 7;
    memcpy(&d[24], kMac, 6);
    d[30] = (uint8_t)nameLen;
    memset(&d[31], 'x', nameLen);
    d[31 + nameLen] = (uint8_t)(exLen >> 8);
    d[32 + nameLen] = (uint8_t)exLen;
    memset(&d[33 + nameLen], 'e', exLen);
    return d;
}

int check(const std::vector<uint8_t> &d, int size = -1)
{
    const netc_addr src = v4(10, 0, 0, 7);
    const netc_addr local = v4(10, 0, 0, 1);
    T_LNDP_PARSE p;
    return lndp_validateDatagram(d.data(), size >= 0 ? size : (int)d.size(), &src, &local, &p);
}

} // namespace

class TestLndpPacket : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void announcementIsByteExact();
    void buildRefusesWhatCannotBeSent();
    void validationBoundaries_data();
    void validationBoundaries();
    void ownDatagramIsDroppedFirst();
    void decodeFillsTheRecord();
    void decodeIpv6AndOtherFamilies();
    void exInfoReader();
    void exInfoWriter();
    void exInfoWriterCutsAtCharacterBoundary_data();
    void exInfoWriterCutsAtCharacterBoundary();
    void addressEquality();
};

void TestLndpPacket::announcementIsByteExact()
{
    const netc_addr local = v4(192, 168, 0, 10);
    uint8_t buf[LNDP_MAX_DATAGRAM];
    const int32_t n = lndp_buildDatagram(buf, sizeof buf, LNDP_ROLE_ANNOUNCER, 0, 0, &local, kMac,
                                         (const uint8_t *)"_zel-scp", 8, nullptr, 0);
    const uint8_t expected[41] = {0x4C, 0x4E, 0x44, 0x50, 0x00, 0x23, 0x00, 0x04, 0xC0, 0xA8, 0x00,
                                  0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x11, 0x22, 0x33,
                                  0x44, 0x55, 0x08, '_', 'z', 'e', 'l', '-', 's', 'c', 'p', 0x00, 0x00};
    QCOMPARE(n, 41);
    QCOMPARE(QByteArray((const char *)buf, n), QByteArray((const char *)expected, 41));

    netc_addr mask = v4(255, 255, 255, 0);
    netc_addr bc;
    lndp_broadcastAddr(&local, &mask, &bc);
    QVERIFY(lndp_addrEqual(&bc, ptr(v4(192, 168, 0, 255))));
    mask = v4(255, 255, 255, 254);
    const netc_addr lo = v4(127, 0, 0, 2);
    lndp_broadcastAddr(&lo, &mask, &bc);
    QVERIFY(lndp_addrEqual(&bc, ptr(v4(127, 0, 0, 3))));

    // Responder role sets the role bit; status and reserved land in their bits.
    QCOMPARE(lndp_buildDatagram(buf, sizeof buf, LNDP_ROLE_RESPONDER, 0x7, 0x1F, &local, kMac,
                                (const uint8_t *)"a", 1, (const uint8_t *)"\x00", 1),
             35);
    QCOMPARE(buf[6], uint8_t(0x80 | 0x70 | 0x0F));
    QCOMPARE(buf[4], uint8_t(0));
    QCOMPARE(buf[5], uint8_t(29));
    // The built datagram passes the receiver's checks.
    T_LNDP_PARSE p;
    const netc_addr other = v4(1, 2, 3, 4);
    QCOMPARE(lndp_validateDatagram(buf, 35, &local, &other, &p), int(LNDP_CHECK_OK));
}

void TestLndpPacket::buildRefusesWhatCannotBeSent()
{
    const netc_addr local = v4(192, 168, 0, 10);
    static uint8_t ex[2000];
    static uint8_t name[255];
    memset(name, 'n', sizeof name);
    uint8_t buf[LNDP_MAX_DATAGRAM];
    QCOMPARE(lndp_buildDatagram(buf, sizeof buf, 2, 0, 0, &local, kMac, name, 255, ex, 1025), LNDP_E_PARAM);
    QCOMPARE(lndp_buildDatagram(buf, sizeof buf, 2, 0, 0, &local, kMac, name, 0, ex, 0), LNDP_E_PARAM);
    QCOMPARE(lndp_buildDatagram(buf, 40, 2, 0, 0, &local, kMac, name, 8, nullptr, 0), LNDP_E_PARAM);
    QCOMPARE(lndp_buildDatagram(buf, sizeof buf, 2, 0, 0, &local, kMac, name, 255, ex, 1024), 1312);
}

void TestLndpPacket::validationBoundaries_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("expected");
    auto row = [](const char *tag, const std::vector<uint8_t> &d, int size, int expected) {
        QTest::newRow(tag) << QByteArray((const char *)d.data(), (int)d.size()) << size << expected;
    };
    row("33 bytes", raw(1, 0), 33, LNDP_CHECK_SIZE);
    row("34 bytes shortest", raw(1, 0), 34, LNDP_CHECK_OK);
    std::vector<uint8_t> badMagic = raw(1, 0);
    badMagic[3] = 'Q';
    row("magic", badMagic, -1, LNDP_CHECK_MAGIC);
    row("length 27", raw(1, 0, 27, 10), -1, LNDP_CHECK_LENGTH);
    row("length 1307", raw(255, 1025, 1307), -1, LNDP_CHECK_LENGTH);
    row("length 1306", raw(255, 1024), -1, LNDP_CHECK_OK);
    row("length 28", raw(1, 0), -1, LNDP_CHECK_OK);
    row("truncated by one", raw(1, 5), 38, LNDP_CHECK_TRUNCATED);
    row("trailing bytes ignored", raw(3, 4, -1, 20), -1, LNDP_CHECK_OK);
    row("name length 0", raw(0, 1, 28), -1, LNDP_CHECK_NONAME);
    // Name claims 200 bytes inside a 40-byte datagram: no room for exInfoLen.
    std::vector<uint8_t> longName = raw(1, 6);
    longName[30] = 200;
    row("name does not fit", longName, -1, LNDP_CHECK_NAMEFIT);
    row("exInfoLen 1025", raw(1, 1025, 1053), -1, LNDP_CHECK_EXINFO);
    row("exInfoLen 1024 name 1", raw(1, 1024), -1, LNDP_CHECK_OK);
    row("inner lengths disagree", raw(2, 4, 27 + 2 + 3, 1), -1, LNDP_CHECK_SUM);
    row("length field short of data", raw(2, 4, 27 + 2 + 5), -1, LNDP_CHECK_TRUNCATED);
}

void TestLndpPacket::validationBoundaries()
{
    QFETCH(QByteArray, datagram);
    QFETCH(int, size);
    QFETCH(int, expected);
    const std::vector<uint8_t> d(datagram.begin(), datagram.end());
    QCOMPARE(check(d, size), expected);
}

void TestLndpPacket::ownDatagramIsDroppedFirst()
{
    const netc_addr local = v4(10, 0, 0, 1);
    const std::vector<uint8_t> d = raw(1, 0);
    T_LNDP_PARSE p;
    QCOMPARE(lndp_validateDatagram(d.data(), (int)d.size(), &local, &local, &p), int(LNDP_CHECK_OWN));
    // Even garbage from the own address is reported as own.
    QCOMPARE(lndp_validateDatagram(d.data(), 3, &local, &local, &p), int(LNDP_CHECK_OWN));
    QCOMPARE(lndp_validateDatagram(nullptr, 100, ptr(v4(1, 1, 1, 1)), &local, &p), int(LNDP_CHECK_SIZE));
    QCOMPARE(lndp_validateDatagram(d.data(), -5, ptr(v4(1, 1, 1, 1)), &local, &p), int(LNDP_CHECK_SIZE));
}

void TestLndpPacket::decodeFillsTheRecord()
{
    std::vector<uint8_t> d = raw(5, 7, -1, 3, 0xA3);
    const netc_addr src = v4(10, 0, 0, 7);
    const netc_addr local = v4(10, 0, 0, 1);
    T_LNDP_PARSE p;
    QCOMPARE(lndp_validateDatagram(d.data(), (int)d.size(), &src, &local, &p), int(LNDP_CHECK_OK));
    _LNDP_HOST_INFO h;
    memset(&h, 0xEE, sizeof h);
    lndp_decodeDatagram(d.data(), &p, &local, &src, &h);
    QCOMPARE(h.senderRole, uint8_t(1));
    QCOMPARE(h.reserved, uint8_t(2));
    QCOMPARE(h.status, uint8_t(3));
    QCOMPARE(h.hostAddr.family, 4);
    QCOMPARE(h.hostAddr.addr[0], uint8_t(10));
    QCOMPARE(h.hostAddr.addr[3], uint8_t(7));
    QCOMPARE(h.hostAddr.addr[4], uint8_t(0));
    QCOMPARE(QByteArray((const char *)h.macAddr, 6), QByteArray((const char *)kMac, 6));
    QCOMPARE(h.serviceNameLen, uint8_t(5));
    QCOMPARE(QByteArray((const char *)h.serviceName, 6), QByteArray("xxxxx\0", 6));
    QCOMPARE(h.exInfoLen, uint16_t(7));
    QCOMPARE(QByteArray((const char *)h.exInfo, 8), QByteArray("eeeeeee\0", 8));
    QCOMPARE(h.exInfo[LNDP_MAX_EXINFO - 1], uint8_t(0));
    QVERIFY(lndp_addrEqual(&h.localAddr, &local));
    QVERIFY(lndp_addrEqual(&h.sourceAddr, &src));
    QCOMPARE(QByteArray((const char *)h.magic, 4), QByteArray("LNDP"));
    QCOMPARE(h.rawFlags, uint8_t(0xA3));
    QCOMPARE(h.rawAddrFamily, uint8_t(4));

    d[6] = 0x00;
    lndp_decodeDatagram(d.data(), &p, &local, &src, &h);
    QCOMPARE(h.senderRole, uint8_t(2));
}

void TestLndpPacket::decodeIpv6AndOtherFamilies()
{
    std::vector<uint8_t> d = raw(1, 0);
    d[7] = 6;
    for (int i = 0; i < 16; ++i)
        d[8 + i] = (uint8_t)(0xF0 + i);
    const netc_addr src = v4(10, 0, 0, 7);
    const netc_addr local = v4(10, 0, 0, 1);
    T_LNDP_PARSE p;
    QCOMPARE(lndp_validateDatagram(d.data(), (int)d.size(), &src, &local, &p), int(LNDP_CHECK_OK));
    _LNDP_HOST_INFO h;
    lndp_decodeDatagram(d.data(), &p, &local, &src, &h);
    QCOMPARE(h.hostAddr.family, 6);
    QCOMPARE(h.hostAddr.addr[15], uint8_t(0xFF));
    QCOMPARE(h.hostAddr.scopeId, 0u);
    d[7] = 9; // any other value is IPv4: only 4 bytes are copied
    lndp_decodeDatagram(d.data(), &p, &local, &src, &h);
    QCOMPARE(h.hostAddr.family, 4);
    QCOMPARE(h.hostAddr.addr[3], uint8_t(0xF3));
    QCOMPARE(h.hostAddr.addr[4], uint8_t(0));
    QCOMPARE(h.rawAddrFamily, uint8_t(9));
}

void TestLndpPacket::exInfoReader()
{
    const uint8_t data[] = {0x00, 0x03, 'a', 'b', 'c', 0x02, 'x'};
    uint32_t off = 0;
    const uint8_t *s = nullptr;
    uint32_t len = 99;
    QCOMPARE(lndp_exInfoNext(data, sizeof data, &off, &s, &len), 1);
    QCOMPARE(len, 0u);
    QCOMPARE(lndp_exInfoNext(data, sizeof data, &off, &s, &len), 1);
    QCOMPARE(QByteArray((const char *)s, (int)len), QByteArray("abc"));
    QCOMPARE(off, 5u);
    QCOMPARE(lndp_exInfoNext(data, sizeof data, &off, &s, &len), 0); // cut short
    QCOMPARE(off, 5u);
    // An entry ending exactly at the end is complete; nothing past len is read.
    const uint8_t exact[] = {0x02, 'h', 'i'};
    off = 0;
    QCOMPARE(lndp_exInfoNext(exact, 3, &off, &s, &len), 1);
    QCOMPARE(lndp_exInfoNext(exact, 3, &off, &s, &len), 0);
    off = 0;
    QCOMPARE(lndp_exInfoNext(exact, 2, &off, &s, &len), 0);
    QCOMPARE(lndp_exInfoNext(nullptr, 3, &off, &s, &len), 0);
}

void TestLndpPacket::exInfoWriter()
{
    uint8_t buf[300];
    uint32_t used = 0;
    QCOMPARE(lndp_exInfoAppend(buf, sizeof buf, &used, nullptr, 0), 0);
    QCOMPARE(lndp_exInfoAppend(buf, sizeof buf, &used, (const uint8_t *)"TQ-730", 6), 0);
    QCOMPARE(used, 8u);
    QCOMPARE(QByteArray((const char *)buf, 8), QByteArray("\x00\x06TQ-730", 8));
    std::vector<uint8_t> big(400, 'z');
    QCOMPARE(lndp_exInfoAppend(buf, sizeof buf, &used, big.data(), 400), 0);
    QCOMPARE(buf[8], uint8_t(254));
    QCOMPARE(used, 8u + 255u);
    QCOMPARE(lndp_exInfoAppend(buf, sizeof buf, &used, big.data(), 100), LNDP_E_PARAM);
    QCOMPARE(used, 263u);
    QCOMPARE(lndp_exInfoAppend(buf, sizeof buf, &used, big.data(), 36), 0);
    QCOMPARE(used, 300u);
    QCOMPARE(lndp_exInfoAppend(buf, sizeof buf, &used, nullptr, 0), LNDP_E_PARAM);
    // Written entries read back.
    uint32_t off = 0;
    const uint8_t *s;
    uint32_t len;
    int n = 0;
    while (lndp_exInfoNext(buf, used, &off, &s, &len))
        ++n;
    QCOMPARE(n, 4);
}

void TestLndpPacket::exInfoWriterCutsAtCharacterBoundary_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("written");
    const QByteArray a254(254, 'a');
    const QByteArray euro("\xE2\x82\xAC"); // 3 bytes
    const QByteArray e("\xC3\xA9");         // 2 bytes
    const QByteArray emoji("\xF0\x9F\x98\x80"); // 4 bytes
    QTest::newRow("short text kept") << QByteArray("Desk") << QByteArray("Desk");
    QTest::newRow("254 bytes kept") << a254 << a254;
    QTest::newRow("255 bytes cut to 254") << QByteArray(255, 'a') << a254;
    QTest::newRow("1000 bytes cut to 254") << QByteArray(1000, 'a') << a254;
    QTest::newRow("254 bytes ending in a whole character kept") << QByteArray(252, 'a') + e << QByteArray(252, 'a') + e;
    QTest::newRow("2-byte character across the cut dropped") << QByteArray(253, 'a') + e << QByteArray(253, 'a');
    QTest::newRow("3-byte characters: 84 fit") << euro.repeated(100) << euro.repeated(84);
    QTest::newRow("3-byte character one byte past") << QByteArray(252, 'a') + euro << QByteArray(252, 'a');
    QTest::newRow("4-byte character across the cut dropped") << QByteArray(251, 'a') + emoji + "b"
                                                           << QByteArray(251, 'a');
    QTest::newRow("4-byte character ending at 254 kept") << QByteArray(250, 'a') + emoji + "b"
                                                        << QByteArray(250, 'a') + emoji;
}

void TestLndpPacket::exInfoWriterCutsAtCharacterBoundary()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, written);
    uint8_t buf[1024];
    uint32_t used = 0;
    QCOMPARE(lndp_exInfoAppend(buf, sizeof buf, &used, (const uint8_t *)text.constData(), (uint32_t)text.size()), 0);
    QCOMPARE(used, uint32_t(written.size() + 1));
    QCOMPARE(int(buf[0]), int(written.size()));
    QCOMPARE(QByteArray((const char *)buf + 1, int(used) - 1), written);
    QVERIFY(QString::fromUtf8(QByteArray((const char *)buf + 1, int(used) - 1)).toUtf8() == written);
}

void TestLndpPacket::addressEquality()
{
    netc_addr a = v4(1, 2, 3, 4);
    netc_addr b = a;
    b.addr[10] = 9; // bytes past the IPv4 address do not count
    b.scopeId = 3;
    QVERIFY(lndp_addrEqual(&a, &b));
    b.addr[3] = 5;
    QVERIFY(!lndp_addrEqual(&a, &b));
    netc_addr c = a;
    c.family = 6;
    QVERIFY(!lndp_addrEqual(&a, &c));
    netc_addr d = c;
    QVERIFY(lndp_addrEqual(&c, &d));
    d.scopeId = 1;
    QVERIFY(!lndp_addrEqual(&c, &d));
    d = c;
    d.addr[15] = 1;
    QVERIFY(!lndp_addrEqual(&c, &d));
    netc_addr z1, z2;
    memset(&z1, 0, sizeof z1);
    memset(&z2, 0, sizeof z2);
    QVERIFY(lndp_addrEqual(&z1, &z2));
    z2.scopeId = 1; // family 0: all 20 bytes after the family
    QVERIFY(!lndp_addrEqual(&z1, &z2));
    QVERIFY(!lndp_addrIsSet(&z1));
    z1.addr[7] = 1;
    QVERIFY(lndp_addrIsSet(&z1));
    QVERIFY(lndp_addrIsSet(&a));
    QVERIFY(!lndp_addrEqual(nullptr, &a));
}

QTEST_APPLESS_MAIN(TestLndpPacket)
#include "tst_lndp_packet.moc"
