#include "UploadTransfer.h"

#include "HttpResponseParser.h"

#include <QNetworkProxy>
#include <QPointer>
#include <QSslSocket>
#include <QUrl>

#include <algorithm>
#include <atomic>

namespace {

// Read from the file at a time, and kept at most in the socket's buffers: few
// wake-ups per megabyte, little memory, and the kernel never runs dry.
constexpr qint64 kChunkBytes = 256 * 1024;
constexpr qint64 kWindowBytes = 1024 * 1024;
constexpr int kRoundsPerPump = 8;

std::atomic<quint64> s_lastJobId{0};

// "POST /path?query HTTP/1.1" and the header fields: Host as Qt writes it
// (the port only when it is not the scheme's own), the request's own fields,
// the body's, its length.
QByteArray requestHead(const QNetworkRequest& request, const StreamedBody& body)
{
    const QUrl url = request.url();
    QByteArray target = url.path(QUrl::FullyEncoded).toLatin1();
    if (target.isEmpty())
        target = "/";
    if (url.hasQuery())
        target += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    const int defaultPort = url.scheme() == QLatin1String("https") ? 443 : 80;
    if (url.port() != -1 && url.port() != defaultPort)
        host += ':' + QByteArray::number(url.port());

    QByteArray head = "POST " + target + " HTTP/1.1\r\nHost: " + host + "\r\n";
    for (const QByteArray& name : request.rawHeaderList())
        head += name + ": " + request.rawHeader(name) + "\r\n";
    for (const auto& [name, value] : body.headers)
        head += name + ": " + value + "\r\n";
    head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    head += "Connection: Keep-Alive\r\nUser-Agent: Mozilla/5.0\r\n\r\n";
    return head;
}

QNetworkReply::NetworkError replyError(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QNetworkReply::ConnectionRefusedError;
    case QAbstractSocket::RemoteHostClosedError:
        return QNetworkReply::RemoteHostClosedError;
    case QAbstractSocket::HostNotFoundError:
        return QNetworkReply::HostNotFoundError;
    case QAbstractSocket::SocketTimeoutError:
        return QNetworkReply::TimeoutError;
    case QAbstractSocket::SslHandshakeFailedError:
    case QAbstractSocket::SslInternalError:
    case QAbstractSocket::SslInvalidUserDataError:
        return QNetworkReply::SslHandshakeFailedError;
    case QAbstractSocket::NetworkError:
        return QNetworkReply::UnknownNetworkError;
    default:
        return QNetworkReply::UnknownNetworkError;
    }
}

} // namespace

// One upload on the transfer thread: connects, sends the request head, then
// the body from its parts while the socket's buffers have room, and reads
// the answer as it comes. Reports to its reply through queued signals only,
// so that a reply gone meanwhile hears nothing.
class UploadJob : public QObject
{
    Q_OBJECT

public:
    UploadJob(const QNetworkRequest& request, std::unique_ptr<StreamedBody> body)
        : m_id(++s_lastJobId)
        , m_request(request)
        , m_body(std::move(body))
        , m_fileLeft(m_body->fileSize)
    {
    }

    quint64 id() const { return m_id; }
    QFile* file() const { return m_body->file.get(); }

    void start()
    {
        m_socket = new QSslSocket(this);
        m_socket->setProxy(QNetworkProxy::NoProxy);
        // Devices sign their own certificates.
        connect(m_socket, &QSslSocket::sslErrors, m_socket, [this] { m_socket->ignoreSslErrors(); });
        // Room in the socket's buffers is told from inside its own writing:
        // the next round starts from the event loop, never inside it.
        connect(m_socket, &QAbstractSocket::bytesWritten, this, &UploadJob::schedulePump);
        connect(m_socket, &QSslSocket::encryptedBytesWritten, this, &UploadJob::schedulePump);
        connect(m_socket, &QIODevice::readyRead, this, &UploadJob::onReadyRead);
        connect(m_socket, &QAbstractSocket::disconnected, this, &UploadJob::onDisconnected);
        connect(m_socket, &QAbstractSocket::errorOccurred, this, &UploadJob::onError);
        const QUrl url = m_request.url();
        if (url.scheme() == QLatin1String("https")) {
            m_socket->setSslConfiguration(m_request.sslConfiguration());
            connect(m_socket, &QSslSocket::encrypted, this, &UploadJob::onConnected);
            m_socket->connectToHostEncrypted(url.host(), static_cast<quint16>(url.port(443)));
        } else {
            connect(m_socket, &QAbstractSocket::connected, this, &UploadJob::onConnected);
            m_socket->connectToHost(url.host(), static_cast<quint16>(url.port(80)));
        }
    }

    // Ends at once and in silence: the reply knows already. The socket goes
    // with the job, from the event loop.
    void cancel()
    {
        if (m_ended)
            return;
        m_ended = true;
        deleteLater();
    }

Q_SIGNALS:
    void progressed(qint64 sent, qint64 total);
    void answered(int status, const QByteArray& reason, const QList<QPair<QByteArray, QByteArray>>& headers,
                  qint64 length);
    void received(const QByteArray& bytes);
    void ended(int error, const QString& message);

private:
    enum class Part { Head, File, Tail, Done };

    void onConnected()
    {
        m_connected = true;
        m_socket->write(requestHead(m_request, *m_body));
        // At once, so that the caller hears of the upload before the device
        // can report on the file, even when all of it fits into the kernel's
        // buffers in one go.
        m_reported = 0;
        Q_EMIT progressed(0, m_body->size());
        schedulePump();
    }

    qint64 pending() const { return m_socket->bytesToWrite() + m_socket->encryptedBytesToWrite(); }

    // Hands the body to the socket while its buffers have room, and tells of
    // what has left them; a few rounds at a time, so that other events get
    // their turn. Runs from the event loop only (schedulePump): the socket's
    // TLS must not be entered again from inside its own signals.
    void pump()
    {
        if (!m_connected || m_ended)
            return;
        for (int round = 0; round < kRoundsPerPump && m_part != Part::Done && pending() < kWindowBytes; ++round) {
            fill();
            if (m_ended || m_socket->state() != QAbstractSocket::ConnectedState)
                return;
            // Straight into the kernel, as much as it takes now.
            m_socket->flush();
            if (m_ended)
                return;
        }
        reportProgress();
        if (m_part != Part::Done && pending() < kWindowBytes)
            schedulePump();
    }

    void schedulePump()
    {
        if (m_pumpQueued || m_ended)
            return;
        m_pumpQueued = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_pumpQueued = false;
                pump();
            },
            Qt::QueuedConnection);
    }

    void fill()
    {
        while (m_part != Part::Done && pending() < kWindowBytes) {
            QByteArray chunk;
            if (m_part == Part::Head) {
                chunk = m_body->head;
                m_part = Part::File;
            } else if (m_part == Part::File) {
                if (m_fileLeft == 0) {
                    m_part = Part::Tail;
                    continue;
                }
                chunk.resize(static_cast<qsizetype>(std::min(kChunkBytes, m_fileLeft)));
                const qint64 read = m_body->file->read(chunk.data(), chunk.size());
                if (read <= 0) {
                    // Shorter than when the body was built: the announced
                    // length can no longer be kept.
                    end(QNetworkReply::UnknownContentError,
                        QStringLiteral("the file to upload could not be read to its end: %1")
                            .arg(m_body->file->errorString()));
                    return;
                }
                chunk.resize(static_cast<qsizetype>(read));
                m_fileLeft -= read;
            } else {
                chunk = m_body->tail;
                m_part = Part::Done;
            }
            if (chunk.isEmpty())
                continue;
            m_socket->write(chunk);
            m_handed += chunk.size();
        }
    }

    void reportProgress()
    {
        const qint64 total = m_body->size();
        const qint64 sent = std::clamp<qint64>(m_handed - pending(), 0, total);
        const qint64 step = std::max<qint64>(64 * 1024, total / 256);
        if (sent == m_reported || (sent < total && sent - m_reported < step))
            return;
        m_reported = sent;
        Q_EMIT progressed(sent, total);
    }

    void onReadyRead()
    {
        if (m_ended)
            return;
        const bool hadHead = m_parser.state() != HttpResponseParser::State::Head;
        QByteArray body;
        const HttpResponseParser::State state = m_parser.feed(m_socket->readAll(), body);
        if (state == HttpResponseParser::State::Malformed) {
            end(QNetworkReply::ProtocolFailure, QStringLiteral("the answer is not one of HTTP"));
            return;
        }
        if (!hadHead && state != HttpResponseParser::State::Head)
            Q_EMIT answered(m_parser.status(), m_parser.reason(), m_parser.headers(), m_parser.contentLength());
        if (!body.isEmpty())
            Q_EMIT received(body);
        if (state == HttpResponseParser::State::Complete)
            end(QNetworkReply::NoError, QString());
    }

    void onDisconnected()
    {
        if (m_ended)
            return;
        onReadyRead();
        if (m_ended)
            return;
        const bool hadHead = m_parser.state() != HttpResponseParser::State::Head;
        if (hadHead && m_parser.finish() == HttpResponseParser::State::Complete)
            end(QNetworkReply::NoError, QString());
        else
            end(QNetworkReply::RemoteHostClosedError, QStringLiteral("the device closed the connection"));
    }

    void onError(QAbstractSocket::SocketError error)
    {
        // A close is told by disconnected, after the last bytes were read.
        if (m_ended || error == QAbstractSocket::RemoteHostClosedError)
            return;
        end(replyError(error), m_socket->errorString());
    }

    void end(QNetworkReply::NetworkError error, const QString& message)
    {
        if (m_ended)
            return;
        m_ended = true;
        if (error == QNetworkReply::NoError)
            reportProgress();
        Q_EMIT ended(static_cast<int>(error), message);
        // Not closed here: this may run inside the socket's own signals. It
        // goes with the job, from the event loop.
        deleteLater();
    }

    const quint64 m_id;
    const QNetworkRequest m_request;
    std::unique_ptr<StreamedBody> m_body;
    QSslSocket* m_socket = nullptr;
    Part m_part = Part::Head;
    qint64 m_fileLeft;
    qint64 m_handed = 0; // body bytes given to the socket
    qint64 m_reported = -1;
    bool m_connected = false;
    bool m_ended = false;
    bool m_pumpQueued = false;
    HttpResponseParser m_parser;
};

// The parent of the jobs on the transfer thread.
class TransferHost : public QObject
{
    Q_OBJECT

public:
    void begin(UploadJob* job)
    {
        job->setParent(this);
        job->start();
    }

    void cancel(quint64 id)
    {
        for (UploadJob* job : findChildren<UploadJob*>(Qt::FindDirectChildrenOnly)) {
            if (job->id() == id)
                job->cancel();
        }
    }

    void stopAll()
    {
        for (UploadJob* job : findChildren<UploadJob*>(Qt::FindDirectChildrenOnly))
            job->cancel();
    }
};

TransferThread::TransferThread()
    : m_host(new TransferHost)
{
    m_thread.setObjectName(QStringLiteral("Corvane transfers"));
    m_host->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_host, &QObject::deleteLater);
    m_thread.start();
}

TransferThread::~TransferThread()
{
    // Queued starts run first; then every job ends before the thread does.
    QMetaObject::invokeMethod(m_host, &TransferHost::stopAll, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

void TransferThread::start(std::unique_ptr<UploadJob> job)
{
    UploadJob* moved = job.release();
    // The file is read there from now on, and goes with the job.
    moved->file()->moveToThread(&m_thread);
    moved->moveToThread(&m_thread);
    TransferHost* host = m_host;
    QMetaObject::invokeMethod(
        m_host, [host, moved] { host->begin(moved); }, Qt::QueuedConnection);
}

void TransferThread::cancel(quint64 id)
{
    TransferHost* host = m_host;
    QMetaObject::invokeMethod(
        m_host, [host, id] { host->cancel(id); }, Qt::QueuedConnection);
}

UploadReply::UploadReply(const std::shared_ptr<TransferThread>& thread, const QNetworkRequest& request,
                         std::unique_ptr<StreamedBody> body, QObject* parent)
    : QNetworkReply(parent)
    , m_thread(thread)
{
    setRequest(request);
    setUrl(request.url());
    setOperation(QNetworkAccessManager::PostOperation);
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);

    auto job = std::make_unique<UploadJob>(request, std::move(body));
    m_id = job->id();
    connect(job.get(), &UploadJob::progressed, this, &QNetworkReply::uploadProgress);
    connect(job.get(), &UploadJob::answered, this, &UploadReply::onAnswered);
    connect(job.get(), &UploadJob::received, this, &UploadReply::onReceived);
    connect(job.get(), &UploadJob::ended, this,
            [this](int error, const QString& message) { end(static_cast<NetworkError>(error), message); });
    thread->start(std::move(job));
}

UploadReply::~UploadReply()
{
    if (!isFinished()) {
        if (const std::shared_ptr<TransferThread> thread = m_thread.lock())
            thread->cancel(m_id);
    }
}

void UploadReply::abort()
{
    if (isFinished())
        return;
    if (const std::shared_ptr<TransferThread> thread = m_thread.lock())
        thread->cancel(m_id);
    end(OperationCanceledError, QStringLiteral("Operation canceled"));
}

void UploadReply::close()
{
    abort();
    QNetworkReply::close();
}

qint64 UploadReply::bytesAvailable() const
{
    return m_body.size() + QNetworkReply::bytesAvailable();
}

qint64 UploadReply::readData(char* data, qint64 maxSize)
{
    const qsizetype count = static_cast<qsizetype>(std::min<qint64>(maxSize, m_body.size()));
    if (count == 0)
        return isFinished() ? -1 : 0;
    std::copy_n(m_body.constData(), count, data);
    m_body.remove(0, count);
    return count;
}

void UploadReply::onAnswered(int status, const QByteArray& reason, const QList<QPair<QByteArray, QByteArray>>& headers,
                             qint64 length)
{
    if (isFinished())
        return;
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, status);
    setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, reason);
    // Fields of the same name read as one, their values joined as Qt does.
    QList<QByteArray> seen;
    for (const auto& [name, value] : headers) {
        const QByteArray key = name.toLower();
        if (seen.contains(key)) {
            setRawHeader(name, rawHeader(name) + ", " + value);
        } else {
            seen.append(key);
            setRawHeader(name, value);
        }
    }
    m_length = length;
    Q_EMIT metaDataChanged();
}

void UploadReply::onReceived(const QByteArray& bytes)
{
    if (isFinished())
        return;
    m_body += bytes;
    m_received += bytes.size();
    Q_EMIT downloadProgress(m_received, m_length);
    // The access manager may have cut the answer off meanwhile.
    if (!isFinished())
        Q_EMIT readyRead();
}

void UploadReply::end(NetworkError error, const QString& message)
{
    if (isFinished())
        return;
    if (error != NoError) {
        setError(error, message);
        Q_EMIT errorOccurred(error);
    }
    setFinished(true);
    Q_EMIT finished();
}

#include "UploadTransfer.moc"
