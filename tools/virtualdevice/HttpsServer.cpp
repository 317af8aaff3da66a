#include "HttpsServer.h"

#include "PushHub.h"
#include "VirtualDevice.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSslSocket>

namespace {

constexpr qint64 kReadChunk = 64 * 1024;
constexpr qint64 kReadBuffer = 256 * 1024;
constexpr qint64 kWriteChunk = 64 * 1024;
constexpr qint64 kWriteAhead = 1024 * 1024;
constexpr int kThrottleTickMs = 50;
constexpr int kHandshakeTimeoutMs = 30000;

const char* reason(int status)
{
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 202:
        return "Accepted";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 401:
        return "Unauthorized";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 415:
        return "Unsupported Media Type";
    case 426:
        return "Upgrade Required";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Status";
    }
}

// 204 and 304 carry neither a body nor its length.
bool bodiless(int status)
{
    return status == 204 || status == 304;
}

QByteArray responseHead(int status, qint64 length, bool close, const QByteArray& extraHeaders)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason(status) + "\r\n";
    if (!bodiless(status)) {
        out += "Content-Type: application/json\r\n";
        out += "Content-Length: " + QByteArray::number(length) + "\r\n";
    }
    out += close ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
    out += extraHeaders;
    out += "\r\n";
    return out;
}

QByteArray errorBody(const QString& text)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("error"), text}}).toJson(QJsonDocument::Compact);
}

qsizetype findHeadEnd(const QByteArray& bytes)
{
    const qsizetype crlf = bytes.indexOf("\r\n\r\n");
    const qsizetype lf = bytes.indexOf("\n\n");
    if (crlf >= 0 && (lf < 0 || crlf + 2 <= lf))
        return crlf + 4;
    return lf >= 0 ? lf + 2 : -1;
}

const char* kindName(UploadReceiver::Kind kind)
{
    switch (kind) {
    case UploadReceiver::Kind::Firmware:
        return "firmware";
    case UploadReceiver::Kind::Import:
        return "import";
    case UploadReceiver::Kind::StandbyImage:
        return "standby-image";
    }
    return "";
}

} // namespace

HttpsServer::HttpsServer(VirtualDevice* device, const QSslConfiguration& tls, QObject* parent)
    : QTcpServer(parent)
    , m_device(device)
    , m_tls(tls)
{
}

bool HttpsServer::start(quint16 port, QString& error)
{
    if (!listen(m_device->config().address, port)) {
        error = QStringLiteral("cannot listen on %1:%2: %3")
                    .arg(m_device->config().address.toString())
                    .arg(port)
                    .arg(errorString());
        return false;
    }
    m_port = serverPort();
    return true;
}

void HttpsServer::setRefusing(bool refusing)
{
    m_refusing = refusing;
    updateListening();
}

void HttpsServer::setDown(bool down)
{
    m_down = down;
    updateListening();
    if (!down)
        return;
    // Every connection goes, whatever it was doing: TLS handshakes, requests,
    // uploads half received.
    const QList<QSslSocket*> sockets = findChildren<QSslSocket*>();
    for (QSslSocket* socket : sockets)
        socket->abort();
}

void HttpsServer::updateListening()
{
    if (m_refusing || m_down) {
        close(); // new connections are refused by the kernel
    } else if (!isListening()) {
        if (!listen(m_device->config().address, m_port))
            Q_EMIT m_device->event(QStringLiteral("cannot listen again: %1").arg(errorString()));
    }
}

void HttpsServer::setTls(const QSslConfiguration& tls)
{
    if (tls == m_tls)
        return;
    m_tls = tls;
    const QList<QSslSocket*> sockets = findChildren<QSslSocket*>();
    for (QSslSocket* socket : sockets)
        socket->abort();
}

int HttpsServer::openConnections() const
{
    return int(findChildren<QSslSocket*>().size());
}

void HttpsServer::incomingConnection(qintptr descriptor)
{
    auto* socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    switch (m_device->faults().connect) {
    case DeviceFaults::Connect::Drop:
        socket->abort();
        socket->deleteLater();
        Q_EMIT m_device->event(QStringLiteral("connection dropped"));
        return;
    case DeviceFaults::Connect::StallTls:
        // Accept, then say nothing: the client's TLS handshake never completes.
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        Q_EMIT m_device->event(QStringLiteral("connection stalled before TLS"));
        return;
    case DeviceFaults::Connect::Refuse:
    case DeviceFaults::Connect::Normal:
        break;
    }
    socket->setSslConfiguration(m_tls);
    new HttpConnection(m_device, socket, this);
}

HttpConnection::HttpConnection(VirtualDevice* device, QSslSocket* socket, QObject* parent)
    : QObject(parent)
    , m_device(device)
    , m_socket(socket)
    , m_parser(*this)
{
    socket->setParent(this);
    socket->setReadBufferSize(kReadBuffer);
    connect(socket, &QSslSocket::readyRead, this, &HttpConnection::process);
    connect(socket, &QSslSocket::encrypted, this, [this] {
        m_handshakeTimer.stop();
        process();
    });
    connect(socket, &QSslSocket::encryptedBytesWritten, this, &HttpConnection::onBodyWritten);
    connect(socket, &QAbstractSocket::disconnected, this, &QObject::deleteLater);
    connect(socket, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error != QAbstractSocket::RemoteHostClosedError && m_mode != Mode::HandedOver) {
            m_mode = Mode::Closing;
            m_socket->abort();
            deleteLater();
        }
    });
    connect(socket, QOverload<const QList<QSslError>&>::of(&QSslSocket::sslErrors), socket,
            [socket](const QList<QSslError>&) { socket->ignoreSslErrors(); });
    m_handshakeTimer.setSingleShot(true);
    connect(&m_handshakeTimer, &QTimer::timeout, this, [this] {
        m_socket->abort();
        deleteLater();
    });
    m_handshakeTimer.start(kHandshakeTimeoutMs);
    m_throttleTimer.setInterval(kThrottleTickMs);
    connect(&m_throttleTimer, &QTimer::timeout, this, &HttpConnection::refill);
    socket->startServerEncryption();
}

bool HttpConnection::throttled() const
{
    return m_device->faults().throttleBytesPerSecond > 0;
}

void HttpConnection::refill()
{
    if (!throttled()) {
        m_throttleTimer.stop();
        m_socket->setReadBufferSize(kReadBuffer);
    } else {
        m_budget = qMax<qint64>(1, m_device->faults().throttleBytesPerSecond * kThrottleTickMs / 1000);
    }
    process();
}

void HttpConnection::process()
{
    if (m_mode != Mode::Active || !m_socket->isEncrypted())
        return;
    for (;;) {
        QByteArray data;
        if (!m_leftover.isEmpty()) {
            data.swap(m_leftover);
        } else if (m_parser.atMessageStart()) {
            // Look at the head before reading it, so that a push upgrade
            // reaches the WebSocket server with its handshake intact.
            const QByteArray peeked = m_socket->peek(HttpRequestParser::kMaxHeadSize + 4);
            const qsizetype end = findHeadEnd(peeked);
            if (end < 0) {
                if (peeked.size() > HttpRequestParser::kMaxHeadSize)
                    respondError(431, QStringLiteral("request head too long"), true);
                return;
            }
            HttpRequestHead head;
            int status = 0;
            QString error;
            if (HttpRequestParser::parseHead(peeked.left(end), head, status, error) && head.path() == "/api/v1/push"
                && head.isWebSocketUpgrade()) {
                handleUpgrade(head, end);
                return;
            }
            data = m_socket->read(end);
        } else {
            qint64 max = kReadChunk;
            if (throttled()) {
                if (!m_throttleTimer.isActive()) {
                    m_socket->setReadBufferSize(16 * 1024);
                    m_budget = qMax<qint64>(1, m_device->faults().throttleBytesPerSecond * kThrottleTickMs / 1000);
                    m_throttleTimer.start();
                }
                max = qMin(max, m_budget);
                if (max <= 0)
                    return;
            }
            const qint64 remaining = m_parser.remainingContentLength();
            if (remaining > 0)
                max = qMin(max, remaining);
            data = m_socket->read(max);
            if (data.isEmpty())
                return;
            if (throttled())
                m_budget -= data.size();
        }
        const qsizetype used = m_parser.feed(data.constData(), data.size());
        if (m_parser.hasFailed()) {
            respondError(m_parser.errorStatus(), m_parser.errorText(), true);
            return;
        }
        if (used < data.size())
            m_leftover = data.mid(used);
        if (m_mode != Mode::Active)
            return;
        if (m_parser.isDone()) {
            if (!finishMessage())
                return;
            m_parser.reset();
            if (m_mode != Mode::Active)
                return; // a streamed answer; reading resumes after it
        }
    }
}

void HttpConnection::reject(int status, const QString& text)
{
    if (m_rejectStatus == 0) {
        m_rejectStatus = status;
        m_rejectText = text;
    }
}

void HttpConnection::onHead(const HttpRequestHead& head)
{
    m_route = Route::None;
    m_upload.reset();
    m_multipart.reset();
    m_rejectStatus = 0;
    m_rejectText.clear();
    m_earlyAnswered = false;
    m_keepAlive = head.keepAlive();
    const QByteArray path = head.path();
    const QByteArray method = head.method;
    ++m_requests;
    if (!head.header("authorization").isEmpty())
        m_device->noteCredential();
    if (m_device->faults().requestStall) {
        // Heard and never answered; the connection stays open until the
        // client gives up.
        m_mode = Mode::Stalled;
        Q_EMIT m_device->event(QStringLiteral("request stalled %1 %2 request=%3")
                                   .arg(QString::fromLatin1(method), QString::fromLatin1(path))
                                   .arg(m_requests));
        return;
    }
    const bool authorised = m_device->isAuthorised(head.header("authorization"));

    if (path == "/api/v1/auth/authenticate" || path == "/api/v1/settings/self") {
        const bool isAuth = path == "/api/v1/auth/authenticate";
        const QByteArray wanted = isAuth ? "POST" : "GET";
        if (method != wanted)
            reject(405, QStringLiteral("use %1").arg(QLatin1String(wanted)));
        else if (!authorised)
            reject(403, QStringLiteral("wrong credentials"));
        m_route = isAuth ? Route::Authenticate : Route::Settings;
        return;
    }
    if (path == "/api/v1/push") {
        reject(426, QStringLiteral("the push channel needs a WebSocket upgrade"));
        return;
    }
    if (path == "/api/v1/files/firmware")
        m_kind = UploadReceiver::Kind::Firmware;
    else if (path == "/api/v1/files/import")
        m_kind = UploadReceiver::Kind::Import;
    else if (path == "/api/v1/files/standby-image")
        m_kind = UploadReceiver::Kind::StandbyImage;
    else {
        reject(404, QStringLiteral("no such resource"));
        return;
    }
    m_route = Route::Upload;
    m_uploadClock.start();
    if (method != "POST") {
        reject(405, QStringLiteral("use POST"));
    } else if (!authorised) {
        reject(403, QStringLiteral("wrong credentials"));
    } else if (m_device->faults().uploadStatus != 0) {
        reject(m_device->faults().uploadStatus, QStringLiteral("upload refused (injected fault)"));
    } else if ((m_kind == UploadReceiver::Kind::StandbyImage && m_device->deviceStatus() == 1)
               || (m_kind != UploadReceiver::Kind::StandbyImage
                   && (m_device->deviceStatus() != 0 || m_device->isUpdating()))) {
        reject(409, QStringLiteral("device is %1").arg(DeviceConfigParser::statusName(m_device->deviceStatus())));
    } else {
        QByteArray mediaType, boundary;
        QString error;
        const QByteArray contentType = head.header("content-type");
        if (!MultipartParser::parseContentType(contentType, mediaType, boundary, error)) {
            reject(contentType.toLower().startsWith("multipart/") ? 400 : 415, error);
        } else {
            m_upload = std::make_unique<UploadReceiver>(m_kind);
            m_multipart = std::make_unique<MultipartParser>(boundary, *m_upload);
        }
    }
    if (head.header("expect").toLower() == "100-continue") {
        if (m_rejectStatus != 0) {
            // Refuse before the client sends the body, then end the connection.
            m_earlyAnswered = true;
            respondError(m_rejectStatus, m_rejectText, true);
        } else {
            m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
        }
    }
}

void HttpConnection::onBodyData(const char* data, qsizetype size)
{
    if (m_rejectStatus == 0 && m_multipart)
        m_multipart->feed(data, size);
}

void HttpConnection::onMessageEnd()
{
    // Answered in finishMessage(), once the parser has returned.
}

bool HttpConnection::finishMessage()
{
    const bool close = !m_keepAlive;
    if (m_rejectStatus != 0) {
        if (m_route == Route::Upload)
            Q_EMIT m_device->event(QStringLiteral("upload %1 refused %2 %3")
                                       .arg(QLatin1String(kindName(m_kind)))
                                       .arg(m_rejectStatus)
                                       .arg(m_rejectText));
        respondError(m_rejectStatus, m_rejectText, close);
        return !close;
    }
    switch (m_route) {
    case Route::Authenticate: {
        const DeviceFaults& faults = m_device->faults();
        const int status = faults.authStatus != 0 ? faults.authStatus : 200;
        const bool vanish = faults.vanishAfterAuth;
        const QByteArray body
            = status / 100 == 2 ? QJsonDocument(QJsonObject{{QStringLiteral("result"), QStringLiteral("ok")}})
                                      .toJson(QJsonDocument::Compact)
                                : errorBody(QStringLiteral("authentication answered %1 (injected fault)").arg(status));
        respond(status, body, close || vanish, redirectHeader(status));
        Q_EMIT m_device->event(status == 200 ? QStringLiteral("authenticated")
                                             : QStringLiteral("authenticated status=%1").arg(status));
        if (vanish) {
            // Gone from the network right after the answer: this connection
            // ends and new ones are refused until the fault is cleared.
            m_device->applyConnectFault(DeviceFaults::Connect::Refuse);
            Q_EMIT m_device->event(QStringLiteral("vanished after authenticate"));
            return false;
        }
        break;
    }
    case Route::Settings: {
        const DeviceFaults& faults = m_device->faults();
        if (faults.settingsClose) {
            Q_EMIT m_device->event(QStringLiteral("settings read closed without answer"));
            m_mode = Mode::Closing;
            m_socket->abort();
            deleteLater();
            return false;
        }
        QJsonObject document = m_device->settingsDocument();
        if (!faults.settingsDrop.isEmpty())
            document.remove(faults.settingsDrop);
        // An injected status still carries the document, so a client that
        // reads the body whatever the status shows it.
        const int status = faults.settingsStatus != 0 ? faults.settingsStatus : 200;
        if (faults.settingsSize > 0) {
            document.insert(QStringLiteral("padding"), QString());
            respondPadded(status,
                          PaddedJson::grow(QJsonDocument(document).toJson(QJsonDocument::Compact), faults.settingsSize),
                          close, redirectHeader(status));
        } else {
            respond(status, QJsonDocument(document).toJson(QJsonDocument::Compact), close, redirectHeader(status));
        }
        break;
    }
    case Route::Upload: {
        m_multipart->finish();
        const UploadReceiver::Outcome outcome = m_upload->finish(*m_multipart);
        if (outcome.status != 200) {
            Q_EMIT m_device->event(QStringLiteral("upload %1 refused %2 %3")
                                       .arg(QLatin1String(kindName(m_kind)))
                                       .arg(outcome.status)
                                       .arg(outcome.error));
            respondError(outcome.status, outcome.error, close);
            return !close;
        }
        const QJsonObject answer{
            {QStringLiteral("result"), QStringLiteral("ok")},
            {QStringLiteral("size"), double(outcome.size)},
            {QStringLiteral("md5"), QString::fromLatin1(outcome.md5)},
        };
        const auto takeIn = [this, &outcome] {
            switch (m_kind) {
            case UploadReceiver::Kind::Firmware:
                m_device->startFirmwareUpdate(outcome.fileName);
                break;
            case UploadReceiver::Kind::Import:
                m_device->finishImport(outcome.xmlWellFormed);
                break;
            case UploadReceiver::Kind::StandbyImage:
                m_device->finishStandbyImage(outcome.imageValid);
                break;
            }
        };
        // Some devices push their verdict before they answer the upload.
        const bool reportFirst = m_device->faults().resultFirst;
        if (reportFirst)
            takeIn();
        respond(200, QJsonDocument(answer).toJson(QJsonDocument::Compact), close);
        Q_EMIT m_device->event(QStringLiteral("upload %1 ok size=%2 md5=%3 ms=%4")
                                   .arg(QLatin1String(kindName(m_kind)))
                                   .arg(outcome.size)
                                   .arg(QString::fromLatin1(outcome.md5))
                                   .arg(m_uploadClock.elapsed()));
        if (!reportFirst)
            takeIn();
        break;
    }
    case Route::None:
        respondError(404, QStringLiteral("no such resource"), close);
        break;
    }
    m_upload.reset();
    m_multipart.reset();
    return !close;
}

void HttpConnection::handleUpgrade(const HttpRequestHead& head, qsizetype headLength)
{
    const DeviceFaults::Push mode = m_device->faults().push;
    if (!head.header("authorization").isEmpty())
        m_device->noteCredential();
    if (!m_device->isAuthorised(head.header("authorization")) || mode == DeviceFaults::Push::Refuse403) {
        m_socket->read(headLength);
        Q_EMIT m_device->event(QStringLiteral("push upgrade refused 403"));
        respondError(403, QStringLiteral("push channel refused"), true);
        return;
    }
    if (mode == DeviceFaults::Push::Stall) {
        m_socket->read(headLength);
        m_mode = Mode::Stalled;
        Q_EMIT m_device->event(QStringLiteral("push upgrade stalled"));
        return;
    }
    m_mode = Mode::HandedOver;
    m_handshakeTimer.stop();
    m_throttleTimer.stop();
    disconnect(m_socket, nullptr, this, nullptr);
    m_device->pushHub()->adopt(m_socket);
    deleteLater();
}

void HttpConnection::respond(int status, const QByteArray& body, bool close, const QByteArray& extraHeaders)
{
    QByteArray out = responseHead(status, body.size(), close, extraHeaders);
    if (!bodiless(status))
        out += body;
    m_socket->write(out);
    if (close) {
        m_mode = Mode::Closing;
        m_socket->disconnectFromHost();
    }
}

void HttpConnection::respondPadded(int status, const PaddedJson& body, bool close, const QByteArray& extraHeaders)
{
    if (bodiless(status)) {
        respond(status, QByteArray(), close, extraHeaders);
        return;
    }
    m_socket->write(responseHead(status, body.size(), close, extraHeaders));
    m_body = body;
    m_bodyClose = close;
    m_mode = Mode::Streaming;
    writeBody();
}

void HttpConnection::writeBody()
{
    // Kept at about a megabyte ahead of the network, however large the body.
    while (m_body.remaining() > 0 && m_socket->bytesToWrite() + m_socket->encryptedBytesToWrite() < kWriteAhead)
        m_socket->write(m_body.take(kWriteChunk));
    if (m_body.remaining() > 0)
        return;
    m_body = PaddedJson();
    if (m_bodyClose) {
        m_mode = Mode::Closing;
        m_socket->disconnectFromHost();
    } else {
        m_mode = Mode::Active;
    }
}

void HttpConnection::onBodyWritten()
{
    if (m_mode != Mode::Streaming)
        return;
    writeBody();
    if (m_mode == Mode::Active)
        process(); // requests that came in behind the streamed answer
}

QByteArray HttpConnection::redirectHeader(int status) const
{
    const QByteArray& location = m_device->faults().redirect;
    if (status / 100 != 3 || location.isEmpty())
        return QByteArray();
    return "Location: " + location + "\r\n";
}

void HttpConnection::respondError(int status, const QString& text, bool close)
{
    respond(status, errorBody(text), close);
}
