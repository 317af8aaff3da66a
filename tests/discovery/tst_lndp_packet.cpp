// LNDP wire format: the announcement bytes, every receive-check boundary,
// decoding, extended-information strings and the address helpers.
#include <doctest/doctest.h>

#include <cstring>
#include <string>
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
const netc_addr* ptr(const netc_addr& a)
{
    return &a;
}

const uint8_t kMac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

// A datagram built by hand: name of nameLen 'x' bytes, exInfo of exLen 'e'
// bytes, length field as given (or the consistent one), extra trailing bytes.
std::vector<uint8_t> raw(int nameLen, int exLen, int lengthField = -1, int trailing = 0, uint8_t flags = 0x80)
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

int check(const std::vector<uint8_t>& d, int size = -1)
{
    const netc_addr src = v4(10, 0, 0, 7);
    const netc_addr local = v4(10, 0, 0, 1);
    T_LNDP_PARSE p;
    return lndp_validateDatagram(d.data(), size >= 0 ? size : (int)d.size(), &src, &local, &p);
}

std::string repeated(const std::string& s, int times)
{
    std::string r;
    for (int i = 0; i < times; ++i)
        r += s;
    return r;
}

// Well-formed UTF-8: no stray or missing continuation bytes, no overlong
// forms, no surrogates, nothing past U+10FFFF.
bool isUtf8(const std::string& s)
{
    size_t i = 0;
    while (i < s.size()) {
        const uint8_t c = uint8_t(s[i]);
        int extra;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1, cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2, cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= s.size())
            return false;
        for (int k = 1; k <= extra; ++k) {
            const uint8_t t = uint8_t(s[i + k]);
            if ((t & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (t & 0x3F);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10FFFF
            || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

} // namespace

TEST_CASE("announcementIsByteExact")
{
    const netc_addr local = v4(192, 168, 0, 10);
    uint8_t buf[LNDP_MAX_DATAGRAM];
    const int32_t n = lndp_buildDatagram(buf, sizeof buf, LNDP_ROLE_ANNOUNCER, 0, 0, &local, kMac,
                                         (const uint8_t*)"_zel-scp", 8, nullptr, 0);
    const uint8_t expected[41] = {0x4C, 0x4E, 0x44, 0x50, 0x00, 0x23, 0x00, 0x04, 0xC0, 0xA8, 0x00, 0x0A, 0,    0,
                                  0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0x00, 0x11, 0x22, 0x33,
                                  0x44, 0x55, 0x08, '_',  'z',  'e',  'l',  '-',  's',  'c',  'p',  0x00, 0x00};
    REQUIRE_EQ(n, 41);
    REQUIRE_EQ(std::string((const char*)buf, n), std::string((const char*)expected, 41));

    netc_addr mask = v4(255, 255, 255, 0);
    netc_addr bc;
    lndp_broadcastAddr(&local, &mask, &bc);
    REQUIRE(lndp_addrEqual(&bc, ptr(v4(192, 168, 0, 255))));
    mask = v4(255, 255, 255, 254);
    const netc_addr lo = v4(127, 0, 0, 2);
    lndp_broadcastAddr(&lo, &mask, &bc);
    REQUIRE(lndp_addrEqual(&bc, ptr(v4(127, 0, 0, 3))));

    // Responder role sets the role bit; status and reserved land in their bits.
    REQUIRE_EQ(lndp_buildDatagram(buf, sizeof buf, LNDP_ROLE_RESPONDER, 0x7, 0x1F, &local, kMac, (const uint8_t*)"a", 1,
                                  (const uint8_t*)"\x00", 1),
               35);
    REQUIRE_EQ(buf[6], uint8_t(0x80 | 0x70 | 0x0F));
    REQUIRE_EQ(buf[4], uint8_t(0));
    REQUIRE_EQ(buf[5], uint8_t(29));
    // The built datagram passes the receiver's checks.
    T_LNDP_PARSE p;
    const netc_addr other = v4(1, 2, 3, 4);
    REQUIRE_EQ(lndp_validateDatagram(buf, 35, &local, &other, &p), int(LNDP_CHECK_OK));
}

TEST_CASE("buildRefusesWhatCannotBeSent")
{
    const netc_addr local = v4(192, 168, 0, 10);
    static uint8_t ex[2000];
    static uint8_t name[255];
    memset(name, 'n', sizeof name);
    uint8_t buf[LNDP_MAX_DATAGRAM];
    REQUIRE_EQ(lndp_buildDatagram(buf, sizeof buf, 2, 0, 0, &local, kMac, name, 255, ex, 1025), LNDP_E_PARAM);
    REQUIRE_EQ(lndp_buildDatagram(buf, sizeof buf, 2, 0, 0, &local, kMac, name, 0, ex, 0), LNDP_E_PARAM);
    REQUIRE_EQ(lndp_buildDatagram(buf, 40, 2, 0, 0, &local, kMac, name, 8, nullptr, 0), LNDP_E_PARAM);
    REQUIRE_EQ(lndp_buildDatagram(buf, sizeof buf, 2, 0, 0, &local, kMac, name, 255, ex, 1024), 1312);
}

TEST_CASE("validationBoundaries")
{
    struct Row
    {
        const char* name;
        std::vector<uint8_t> datagram;
        int size;
        int expected;
    };
    std::vector<uint8_t> badMagic = raw(1, 0);
    badMagic[3] = 'Q';
    // Name claims 200 bytes inside a 40-byte datagram: no room for exInfoLen.
    std::vector<uint8_t> longName = raw(1, 6);
    longName[30] = 200;
    const Row rows[] = {
        {"33 bytes", raw(1, 0), 33, LNDP_CHECK_SIZE},
        {"34 bytes shortest", raw(1, 0), 34, LNDP_CHECK_OK},
        {"magic", badMagic, -1, LNDP_CHECK_MAGIC},
        {"length 27", raw(1, 0, 27, 10), -1, LNDP_CHECK_LENGTH},
        {"length 1307", raw(255, 1025, 1307), -1, LNDP_CHECK_LENGTH},
        {"length 1306", raw(255, 1024), -1, LNDP_CHECK_OK},
        {"length 28", raw(1, 0), -1, LNDP_CHECK_OK},
        {"truncated by one", raw(1, 5), 38, LNDP_CHECK_TRUNCATED},
        {"trailing bytes ignored", raw(3, 4, -1, 20), -1, LNDP_CHECK_OK},
        {"name length 0", raw(0, 1, 28), -1, LNDP_CHECK_NONAME},
        {"name does not fit", longName, -1, LNDP_CHECK_NAMEFIT},
        {"exInfoLen 1025", raw(1, 1025, 1053), -1, LNDP_CHECK_EXINFO},
        {"exInfoLen 1024 name 1", raw(1, 1024), -1, LNDP_CHECK_OK},
        {"inner lengths disagree", raw(2, 4, 27 + 2 + 3, 1), -1, LNDP_CHECK_SUM},
        {"length field short of data", raw(2, 4, 27 + 2 + 5), -1, LNDP_CHECK_TRUNCATED},
    };
    for (const Row& row : rows) {
        SUBCASE(row.name)
        REQUIRE_EQ(check(row.datagram, row.size), row.expected);
    }
}

TEST_CASE("ownDatagramIsDroppedFirst")
{
    const netc_addr local = v4(10, 0, 0, 1);
    const std::vector<uint8_t> d = raw(1, 0);
    T_LNDP_PARSE p;
    REQUIRE_EQ(lndp_validateDatagram(d.data(), (int)d.size(), &local, &local, &p), int(LNDP_CHECK_OWN));
    // Even garbage from the own address is reported as own.
    REQUIRE_EQ(lndp_validateDatagram(d.data(), 3, &local, &local, &p), int(LNDP_CHECK_OWN));
    REQUIRE_EQ(lndp_validateDatagram(nullptr, 100, ptr(v4(1, 1, 1, 1)), &local, &p), int(LNDP_CHECK_SIZE));
    REQUIRE_EQ(lndp_validateDatagram(d.data(), -5, ptr(v4(1, 1, 1, 1)), &local, &p), int(LNDP_CHECK_SIZE));
}

TEST_CASE("decodeFillsTheRecord")
{
    std::vector<uint8_t> d = raw(5, 7, -1, 3, 0xA3);
    const netc_addr src = v4(10, 0, 0, 7);
    const netc_addr local = v4(10, 0, 0, 1);
    T_LNDP_PARSE p;
    REQUIRE_EQ(lndp_validateDatagram(d.data(), (int)d.size(), &src, &local, &p), int(LNDP_CHECK_OK));
    _LNDP_HOST_INFO h;
    memset(&h, 0xEE, sizeof h);
    lndp_decodeDatagram(d.data(), &p, &local, &src, &h);
    REQUIRE_EQ(h.senderRole, uint8_t(1));
    REQUIRE_EQ(h.reserved, uint8_t(2));
    REQUIRE_EQ(h.status, uint8_t(3));
    REQUIRE_EQ(h.hostAddr.family, 4);
    REQUIRE_EQ(h.hostAddr.addr[0], uint8_t(10));
    REQUIRE_EQ(h.hostAddr.addr[3], uint8_t(7));
    REQUIRE_EQ(h.hostAddr.addr[4], uint8_t(0));
    REQUIRE_EQ(std::string((const char*)h.macAddr, 6), std::string((const char*)kMac, 6));
    REQUIRE_EQ(h.serviceNameLen, uint8_t(5));
    REQUIRE_EQ(std::string((const char*)h.serviceName, 6), std::string("xxxxx\0", 6));
    REQUIRE_EQ(h.exInfoLen, uint16_t(7));
    REQUIRE_EQ(std::string((const char*)h.exInfo, 8), std::string("eeeeeee\0", 8));
    REQUIRE_EQ(h.exInfo[LNDP_MAX_EXINFO - 1], uint8_t(0));
    REQUIRE(lndp_addrEqual(&h.localAddr, &local));
    REQUIRE(lndp_addrEqual(&h.sourceAddr, &src));
    REQUIRE_EQ(std::string((const char*)h.magic, 4), std::string("LNDP"));
    REQUIRE_EQ(h.rawFlags, uint8_t(0xA3));
    REQUIRE_EQ(h.rawAddrFamily, uint8_t(4));

    d[6] = 0x00;
    lndp_decodeDatagram(d.data(), &p, &local, &src, &h);
    REQUIRE_EQ(h.senderRole, uint8_t(2));
}

TEST_CASE("decodeIpv6AndOtherFamilies")
{
    std::vector<uint8_t> d = raw(1, 0);
    d[7] = 6;
    for (int i = 0; i < 16; ++i)
        d[8 + i] = (uint8_t)(0xF0 + i);
    const netc_addr src = v4(10, 0, 0, 7);
    const netc_addr local = v4(10, 0, 0, 1);
    T_LNDP_PARSE p;
    REQUIRE_EQ(lndp_validateDatagram(d.data(), (int)d.size(), &src, &local, &p), int(LNDP_CHECK_OK));
    _LNDP_HOST_INFO h;
    lndp_decodeDatagram(d.data(), &p, &local, &src, &h);
    REQUIRE_EQ(h.hostAddr.family, 6);
    REQUIRE_EQ(h.hostAddr.addr[15], uint8_t(0xFF));
    REQUIRE_EQ(h.hostAddr.scopeId, 0u);
    d[7] = 9; // any other value is IPv4: only 4 bytes are copied
    lndp_decodeDatagram(d.data(), &p, &local, &src, &h);
    REQUIRE_EQ(h.hostAddr.family, 4);
    REQUIRE_EQ(h.hostAddr.addr[3], uint8_t(0xF3));
    REQUIRE_EQ(h.hostAddr.addr[4], uint8_t(0));
    REQUIRE_EQ(h.rawAddrFamily, uint8_t(9));
}

TEST_CASE("exInfoReader")
{
    const uint8_t data[] = {0x00, 0x03, 'a', 'b', 'c', 0x02, 'x'};
    uint32_t off = 0;
    const uint8_t* s = nullptr;
    uint32_t len = 99;
    REQUIRE_EQ(lndp_exInfoNext(data, sizeof data, &off, &s, &len), 1);
    REQUIRE_EQ(len, 0u);
    REQUIRE_EQ(lndp_exInfoNext(data, sizeof data, &off, &s, &len), 1);
    REQUIRE_EQ(std::string((const char*)s, (int)len), std::string("abc"));
    REQUIRE_EQ(off, 5u);
    REQUIRE_EQ(lndp_exInfoNext(data, sizeof data, &off, &s, &len), 0); // cut short
    REQUIRE_EQ(off, 5u);
    // An entry ending exactly at the end is complete; nothing past len is read.
    const uint8_t exact[] = {0x02, 'h', 'i'};
    off = 0;
    REQUIRE_EQ(lndp_exInfoNext(exact, 3, &off, &s, &len), 1);
    REQUIRE_EQ(lndp_exInfoNext(exact, 3, &off, &s, &len), 0);
    off = 0;
    REQUIRE_EQ(lndp_exInfoNext(exact, 2, &off, &s, &len), 0);
    REQUIRE_EQ(lndp_exInfoNext(nullptr, 3, &off, &s, &len), 0);
}

TEST_CASE("exInfoWriter")
{
    uint8_t buf[300];
    uint32_t used = 0;
    REQUIRE_EQ(lndp_exInfoAppend(buf, sizeof buf, &used, nullptr, 0), 0);
    REQUIRE_EQ(lndp_exInfoAppend(buf, sizeof buf, &used, (const uint8_t*)"TQ-730", 6), 0);
    REQUIRE_EQ(used, 8u);
    REQUIRE_EQ(std::string((const char*)buf, 8), std::string("\x00\x06TQ-730", 8));
    std::vector<uint8_t> big(400, 'z');
    REQUIRE_EQ(lndp_exInfoAppend(buf, sizeof buf, &used, big.data(), 400), 0);
    REQUIRE_EQ(buf[8], uint8_t(254));
    REQUIRE_EQ(used, 8u + 255u);
    REQUIRE_EQ(lndp_exInfoAppend(buf, sizeof buf, &used, big.data(), 100), LNDP_E_PARAM);
    REQUIRE_EQ(used, 263u);
    REQUIRE_EQ(lndp_exInfoAppend(buf, sizeof buf, &used, big.data(), 36), 0);
    REQUIRE_EQ(used, 300u);
    REQUIRE_EQ(lndp_exInfoAppend(buf, sizeof buf, &used, nullptr, 0), LNDP_E_PARAM);
    // Written entries read back.
    uint32_t off = 0;
    const uint8_t* s;
    uint32_t len;
    int n = 0;
    while (lndp_exInfoNext(buf, used, &off, &s, &len))
        ++n;
    REQUIRE_EQ(n, 4);
}

TEST_CASE("exInfoWriterCutsAtCharacterBoundary")
{
    const std::string a254(254, 'a');
    const std::string euro("\xE2\x82\xAC"); // 3 bytes
    const std::string e("\xC3\xA9"); // 2 bytes
    const std::string emoji("\xF0\x9F\x98\x80"); // 4 bytes
    const struct
    {
        const char* name;
        std::string text;
        std::string written;
    } rows[] = {
        {"short text kept", "Desk", "Desk"},
        {"254 bytes kept", a254, a254},
        {"255 bytes cut to 254", std::string(255, 'a'), a254},
        {"1000 bytes cut to 254", std::string(1000, 'a'), a254},
        {"254 bytes ending in a whole character kept", std::string(252, 'a') + e, std::string(252, 'a') + e},
        {"2-byte character across the cut dropped", std::string(253, 'a') + e, std::string(253, 'a')},
        {"3-byte characters: 84 fit", repeated(euro, 100), repeated(euro, 84)},
        {"3-byte character one byte past", std::string(252, 'a') + euro, std::string(252, 'a')},
        {"4-byte character across the cut dropped", std::string(251, 'a') + emoji + "b", std::string(251, 'a')},
        {"4-byte character ending at 254 kept", std::string(250, 'a') + emoji + "b", std::string(250, 'a') + emoji},
    };
    for (const auto& row : rows) {
        SUBCASE(row.name)
        {
            const std::string& text = row.text;
            const std::string& written = row.written;
            uint8_t buf[1024];
            uint32_t used = 0;
            REQUIRE_EQ(lndp_exInfoAppend(buf, sizeof buf, &used, (const uint8_t*)text.data(), (uint32_t)text.size()),
                       0);
            REQUIRE_EQ(used, uint32_t(written.size() + 1));
            REQUIRE_EQ(int(buf[0]), int(written.size()));
            REQUIRE_EQ(std::string((const char*)buf + 1, int(used) - 1), written);
            REQUIRE(isUtf8(std::string((const char*)buf + 1, int(used) - 1)));
        }
    }
}

TEST_CASE("addressEquality")
{
    netc_addr a = v4(1, 2, 3, 4);
    netc_addr b = a;
    b.addr[10] = 9; // bytes past the IPv4 address do not count
    b.scopeId = 3;
    REQUIRE(lndp_addrEqual(&a, &b));
    b.addr[3] = 5;
    REQUIRE(!lndp_addrEqual(&a, &b));
    netc_addr c = a;
    c.family = 6;
    REQUIRE(!lndp_addrEqual(&a, &c));
    netc_addr d = c;
    REQUIRE(lndp_addrEqual(&c, &d));
    d.scopeId = 1;
    REQUIRE(!lndp_addrEqual(&c, &d));
    d = c;
    d.addr[15] = 1;
    REQUIRE(!lndp_addrEqual(&c, &d));
    netc_addr z1, z2;
    memset(&z1, 0, sizeof z1);
    memset(&z2, 0, sizeof z2);
    REQUIRE(lndp_addrEqual(&z1, &z2));
    z2.scopeId = 1; // family 0: all 20 bytes after the family
    REQUIRE(!lndp_addrEqual(&z1, &z2));
    REQUIRE(!lndp_addrIsSet(&z1));
    z1.addr[7] = 1;
    REQUIRE(lndp_addrIsSet(&z1));
    REQUIRE(lndp_addrIsSet(&a));
    REQUIRE(!lndp_addrEqual(nullptr, &a));
}

int main(int argc, char** argv)
{
    return doctest::Context(argc, argv).run();
}
