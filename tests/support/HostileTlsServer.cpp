#include "HostileTlsServer.h"

#include <QList>

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

using Play = HostileTlsServer::Play;

struct HostileTlsServer::State
{
    Play play = Play::Healthy;
    int pieces = 0;
    int status = 403;
    SSL_CTX* context = nullptr;
    int listener = -1;
    quint16 port = 0;
    std::atomic<bool> stopping{false};
    std::atomic<int> connections{0};
    std::atomic<qint64> read{0};
    std::mutex lock; // guards the two below
    std::vector<int> sockets;
    std::vector<std::thread> threads;
    std::thread acceptor;

    ~State()
    {
        if (context)
            SSL_CTX_free(context);
    }
};

namespace {

using namespace std::chrono_literals;

// Closed under the lock, so that the destructor never shuts a number down
// that the system has handed out again meanwhile.
void closeSocket(HostileTlsServer::State& state, int socket)
{
    std::lock_guard<std::mutex> guard(state.lock);
    state.sockets.erase(std::remove(state.sockets.begin(), state.sockets.end(), socket), state.sockets.end());
    ::close(socket);
}

// A self-signed P-256 certificate, made in memory.
SSL_CTX* makeContext()
{
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    bool made = key && certificate && context;
    if (made) {
        ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
        X509_gmtime_adj(X509_getm_notBefore(certificate), -60);
        X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
        X509_set_pubkey(certificate, key);
        X509_NAME* name = X509_get_subject_name(certificate);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("hostile"), -1, -1,
                                   0);
        X509_set_issuer_name(certificate, name);
        made = X509_sign(certificate, key, EVP_sha256()) > 0 && SSL_CTX_use_certificate(context, certificate) == 1
               && SSL_CTX_use_PrivateKey(context, key) == 1;
    }
    X509_free(certificate);
    EVP_PKEY_free(key);
    if (!made && context) {
        SSL_CTX_free(context);
        context = nullptr;
    }
    return context;
}

// One connection's play: blocking reads and writes on its TLS session.
class Peer
{
public:
    Peer(HostileTlsServer::State& state, int socket)
        : m_state(state)
        , m_socket(socket)
        , m_ssl(SSL_new(state.context))
    {
        SSL_set_fd(m_ssl, socket);
    }

    ~Peer()
    {
        SSL_free(m_ssl);
        if (m_socket >= 0)
            closeSocket(m_state, m_socket);
    }

    void play()
    {
        if (SSL_accept(m_ssl) != 1)
            return;
        switch (m_state.play) {
        case Play::Healthy:
            if (readHead() && readBody(m_length))
                send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nOK");
            return drain();
        case Play::StatusThenReset:
            if (readHead() && readBody(64 * 1024))
                send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n0123456789");
            std::this_thread::sleep_for(50ms);
            return reset();
        case Play::WholeAnswerThenReset:
            if (readHead() && readBody(64 * 1024) && send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nOK")) {
                // Time for the client to read the answer while its body
                // still goes out.
                std::this_thread::sleep_for(200ms);
                readBody(128 * 1024);
            }
            return reset();
        case Play::BadChunk:
            if (readHead() && readBody(m_length)
                && send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n")) {
                std::this_thread::sleep_for(50ms);
                sendCut("1FFFFFFFFFFFFFFFF0\r\nxyz\r\n0\r\n\r\n");
            }
            return drain();
        case Play::StatusBelow100:
            if (readHead() && readBody(m_length))
                send("HTTP/1.1 010 Odd\r\nContent-Length: 0\r\n\r\n");
            return drain();
        case Play::EarlyRefusal:
            if (readHead() && readBody(256 * 1024)) {
                // The client's buffers fill meanwhile, as they do in front of
                // a device that stopped reading to answer.
                std::this_thread::sleep_for(100ms);
                send("HTTP/1.1 " + QByteArray::number(m_state.status)
                     + " Refused\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            }
            return; // closed with the body unread: a reset
        case Play::RefusalOnHead:
            // As a device that judges the request by its head (its length,
            // its credential): answered at once, whether the client waits
            // for it (Expect: 100-continue) or sends its body meanwhile.
            if (readHead())
                send("HTTP/1.1 " + QByteArray::number(m_state.status)
                     + " Refused\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            return; // closed with whatever of the body came unread: a reset
        case Play::RefusalThenReset:
            if (readHead()
                && send("HTTP/1.1 " + QByteArray::number(m_state.status)
                        + " Refused\r\nContent-Length: 100\r\n\r\nrefused: ")) {
                std::this_thread::sleep_for(50ms);
            }
            return reset();
        case Play::HeaderBomb: {
            QByteArray head = "HTTP/1.1 200 OK\r\n";
            for (int field = 0; field < 13000; ++field)
                head += "a:b\r\n";
            if (readHead() && send(head + "\r\n")) {
                while (send(QByteArray(64 * 1024, 'x'))) { }
            }
            return;
        }
        case Play::InterimFlood:
            if (readHead()) {
                QByteArray interim;
                for (int answer = 0; answer < 100; ++answer)
                    interim += "HTTP/1.1 100 Continue\r\n\r\n";
                while (send(interim)) { }
            }
            return;
        case Play::LongAnnounced:
            if (readHead() && readBody(m_length))
                send("HTTP/1.1 200 OK\r\nContent-Length: 4194304\r\n\r\n" + QByteArray(4 << 20, 'x'));
            return drain();
        case Play::EndlessChunks:
            if (readHead() && readBody(m_length) && send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")) {
                const QByteArray chunk = "10000\r\n" + QByteArray(0x10000, 'x') + "\r\n";
                while (send(chunk)) { }
            }
            return;
        case Play::Http2PingFlood:
        case Play::Http2ContinuationFlood:
            if (readHead() && send(http2Frame(4, 0, 0, {}))) {
                const QByteArray flood = m_state.play == Play::Http2PingFlood
                                             ? http2Frame(6, 0, 0, QByteArray(8, 'p')).repeated(1024)
                                             : http2Frame(9, 0, 1, QByteArray(1024, 'c')).repeated(64);
                if (m_state.play == Play::Http2ContinuationFlood)
                    send(http2Frame(1, 0, 1, QByteArray(16, 'h')));
                while (send(flood)) { }
            }
            return;
        case Play::PushPingFlood:
            if (upgrade()) {
                const QByteArray pings = webSocketFrame(0x9, true, QByteArray(125, 'p')).repeated(256);
                while (send(pings)) { }
            }
            return;
        case Play::PushEmptyFragments:
            if (upgrade() && send(webSocketFrame(0x1, false, {}))) {
                const QByteArray empty = webSocketFrame(0x0, false, {}).repeated(1024);
                while (send(empty)) { }
            }
            return;
        case Play::PushBinaryFrames:
        case Play::PushMessageStream:
            if (upgrade()) {
                const bool binary = m_state.play == Play::PushBinaryFrames;
                QByteArray message = R"({"event":"settings","padding":")";
                message += QByteArray(60000 - message.size() - 2, 'x') + "\"}";
                const QByteArray frame = webSocketFrame(binary ? 0x2 : 0x1, true, message);
                for (int sent = 0; sent < 200; ++sent) {
                    if (!send(frame))
                        return;
                    // A device that has this much to say, not a flood.
                    if (!binary)
                        std::this_thread::sleep_for(5ms);
                }
                send(webSocketFrame(0x1, true, "done"));
            }
            return drain();
        case Play::PushUpgradeHeaderBomb:
            if (readHead() && send("HTTP/1.1 101 Switching Protocols\r\n")) {
                const QByteArray fields = QByteArray("a:b\r\n").repeated(4096);
                while (send(fields)) { }
            }
            return;
        case Play::PushInvalidText:
            if (upgrade())
                send(webSocketFrame(0x1, true, "\xC3\x28 not text"));
            return drain();
        case Play::PushOverlongFrame:
            if (upgrade()) {
                QByteArray head("\x82\x7F", 2);
                for (const int shift : {56, 48, 40, 32, 24, 16, 8, 0})
                    head += char(quint64(100000000) >> shift);
                if (send(head)) {
                    const QByteArray block(64 * 1024, 'x');
                    while (send(block)) { }
                }
            }
            return;
        case Play::ZeroWindow:
            while (!m_state.stopping)
                std::this_thread::sleep_for(20ms);
            return;
        case Play::Trickle:
            while (!m_state.stopping) {
                char byte = 0;
                if (::recv(m_socket, &byte, 1, 0) <= 0)
                    return;
                std::this_thread::sleep_for(100ms);
            }
            return;
        }
    }

private:
    bool readHead()
    {
        char chunk[16 * 1024];
        while (!m_buffer.contains("\r\n\r\n")) {
            const int got = SSL_read(m_ssl, chunk, sizeof chunk);
            if (got <= 0 || m_buffer.size() > 256 * 1024)
                return false;
            m_buffer.append(chunk, got);
        }
        const qsizetype end = m_buffer.indexOf("\r\n\r\n") + 4;
        m_head = m_buffer.left(end);
        for (const QByteArray& line : m_buffer.left(end).split('\n')) {
            if (line.toLower().startsWith("content-length:"))
                m_length = line.mid(15).trimmed().toLongLong();
        }
        m_buffer.remove(0, end);
        m_state.read += m_buffer.size();
        return true;
    }

    // Until `count` body bytes are in (those after the head count).
    bool readBody(qint64 count)
    {
        char chunk[64 * 1024];
        qint64 taken = m_buffer.size();
        m_buffer.clear();
        while (taken < count) {
            const int got = SSL_read(m_ssl, chunk, int(std::min<qint64>(sizeof chunk, count - taken)));
            if (got <= 0)
                return false;
            taken += got;
            m_state.read += got;
        }
        return true;
    }

    bool send(const QByteArray& bytes)
    {
        return !m_state.stopping && SSL_write(m_ssl, bytes.constData(), int(bytes.size())) > 0;
    }

    // In the pieces the server was asked for, each a TLS record of its own.
    void sendCut(const QByteArray& bytes)
    {
        const qsizetype piece = m_state.pieces <= 0 ? bytes.size() : m_state.pieces;
        for (qsizetype at = 0; at < bytes.size(); at += piece) {
            if (!send(bytes.mid(at, piece)))
                return;
        }
    }

    // Reads the upgrade request and accepts it as a device would.
    bool upgrade()
    {
        if (!readHead())
            return false;
        QByteArray key;
        for (const QByteArray& line : m_head.split('\n')) {
            if (line.toLower().startsWith("sec-websocket-key:"))
                key = line.mid(18).trimmed();
        }
        const QByteArray proof = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
        unsigned char digest[SHA_DIGEST_LENGTH];
        SHA1(reinterpret_cast<const unsigned char*>(proof.constData()), size_t(proof.size()), digest);
        const QByteArray accept = QByteArray(reinterpret_cast<const char*>(digest), sizeof digest).toBase64();
        return send("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    "Sec-WebSocket-Accept: "
                    + accept + "\r\n\r\n");
    }

    // A server's frame (unmasked): FIN and opcode, length, payload.
    static QByteArray webSocketFrame(int opcode, bool fin, const QByteArray& payload)
    {
        QByteArray frame;
        frame += char((fin ? 0x80 : 0) | opcode);
        const auto length = quint64(payload.size());
        if (length < 126) {
            frame += char(length);
        } else if (length < 65536) {
            frame += char(126);
            frame += char(length >> 8);
            frame += char(length);
        } else {
            frame += char(127);
            for (const int shift : {56, 48, 40, 32, 24, 16, 8, 0})
                frame += char(length >> shift);
        }
        return frame + payload;
    }

    // A frame: 24-bit length, type, flags, stream id, payload.
    static QByteArray http2Frame(char type, char flags, quint32 stream, const QByteArray& payload)
    {
        QByteArray frame;
        const auto length = quint32(payload.size());
        frame += char(length >> 16);
        frame += char(length >> 8);
        frame += char(length);
        frame += type;
        frame += flags;
        for (const int shift : {24, 16, 8, 0})
            frame += char(stream >> shift);
        return frame + payload;
    }

    // Reads and drops whatever comes until the client closes.
    void drain()
    {
        char chunk[16 * 1024];
        while (!m_state.stopping && SSL_read(m_ssl, chunk, sizeof chunk) > 0) { }
    }

    // The connection ends with a reset, nothing said in TLS.
    void reset()
    {
        const linger abrupt{1, 0};
        ::setsockopt(m_socket, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
        closeSocket(m_state, m_socket);
        m_socket = -1;
    }

    HostileTlsServer::State& m_state;
    int m_socket;
    SSL* m_ssl;
    QByteArray m_buffer;
    QByteArray m_head; // the last request head read
    qint64 m_length = 0;
};

void acceptLoop(HostileTlsServer::State& state)
{
    for (;;) {
        const int socket = ::accept(state.listener, nullptr, nullptr);
        if (socket < 0 || state.stopping) {
            if (socket >= 0)
                ::close(socket);
            return;
        }
        const int on = 1;
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ++state.connections;
        std::lock_guard<std::mutex> guard(state.lock);
        state.sockets.push_back(socket);
        state.threads.emplace_back([&state, socket] {
            // A write to a client that went away fails with EPIPE here
            // instead of ending the process; the signal stays with this
            // thread and goes with it.
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
            Peer(state, socket).play();
        });
    }
}

} // namespace

HostileTlsServer::HostileTlsServer(Play play, int pieces, int status)
    : m_state(std::make_shared<State>())
{
    State& state = *m_state;
    state.play = play;
    state.pieces = pieces;
    state.status = status;
    state.context = makeContext();
    state.listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!state.context || state.listener < 0)
        return;
    if (play == Play::ZeroWindow || play == Play::Trickle) {
        // Small buffers on the device's side: the window closes soon.
        const int small = 16 * 1024;
        ::setsockopt(state.listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(state.listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(state.listener, 16) != 0
        || ::getsockname(state.listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return;
    state.port = ntohs(address.sin_port);
    state.acceptor = std::thread([&state] { acceptLoop(state); });
}

HostileTlsServer::~HostileTlsServer()
{
    State& state = *m_state;
    state.stopping = true;
    if (state.listener >= 0) {
        // Wakes the acceptor; the connections' blocking calls end likewise.
        ::shutdown(state.listener, SHUT_RDWR);
        if (state.acceptor.joinable())
            state.acceptor.join();
        ::close(state.listener);
    }
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        for (const int socket : state.sockets)
            ::shutdown(socket, SHUT_RDWR);
        threads.swap(state.threads);
    }
    for (std::thread& thread : threads)
        thread.join();
}

quint16 HostileTlsServer::port() const
{
    return m_state->port;
}

int HostileTlsServer::connections() const
{
    return m_state->connections;
}

qint64 HostileTlsServer::bytesRead() const
{
    return m_state->read;
}
