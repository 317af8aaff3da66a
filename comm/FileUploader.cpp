#include "FileUploader.h"

#include "HttpAccessManager.h"
#include "HttpExchange.h"
#include "Logger.h"
#include "MultiPartBody.h"
#include "StreamedBody.h"

#include <QPointer>

FileUploader::FileUploader(const QString& host, const char* path, MultiPartBody* body, QObject* parent)
    : FileUploader(QString(), host, path, body, parent)
{
}

FileUploader::FileUploader(const QString& deviceId, const QString& host, const char* path, MultiPartBody* body,
                           QObject* parent)
    : QObject(parent)
    , m_http(HttpAccessManager::getInstance())
    , m_deviceId(deviceId)
    , m_host(host)
    , m_path(path)
    , m_body(body)
{
    // Direct on the manager's thread: progress passes on in the order it came
    // in, ahead of anything the device said meanwhile.
    connect(&m_http, &HttpAccessManager::uploadProgress, this, &FileUploader::onReceivedUploadProgress);
}

FileUploader::~FileUploader() = default;

void FileUploader::abort()
{
    if (requestId() != HttpAccessManager::kNoRequest)
        m_http.abortRequest(requestId());
}

int FileUploader::requestId() const
{
    return m_exchange ? m_exchange->requestId() : HttpAccessManager::kNoRequest;
}

int32_t FileUploader::upload(const QString& authenticationCode, unsigned timeoutMs)
{
    const int32_t result = send(authenticationCode, timeoutMs, {});
    if (ResultCode::isFailure(result))
        CORVANE_LOG(QStringLiteral("upload to %1%2 ended without an answer: %3")
                        .arg(m_host, QString::fromUtf8(m_path), ResultCode::toHex(result)));
    return result;
}

int32_t FileUploader::uploadAsync(const QString& authenticationCode, unsigned timeoutMs,
                                  const std::function<void(int32_t)>& done)
{
    QPointer<FileUploader> self(this);
    return send(authenticationCode, timeoutMs, [self, done] {
        // The exchange's end comes from the manager's event: the uploader
        // may have gone meanwhile.
        if (self && done)
            done(self->m_http.getSendResult(self->requestId()));
    });
}

// Sends synchronously without `answered`, else asynchronously.
int32_t FileUploader::send(const QString& authenticationCode, unsigned timeoutMs, const std::function<void()>& answered)
{
    if (m_body == nullptr || m_body->multiPart() == nullptr) {
        CORVANE_LOG(QStringLiteral("upload to %1 without a built body").arg(m_host));
        return kNoBody;
    }
    if (m_bodySent) {
        CORVANE_LOG(QStringLiteral("the body for %1 was sent already").arg(m_host));
        return kAlreadySent;
    }
    // An earlier attempt that stopped before sending leaves no request behind.
    m_exchange.reset();
    m_exchange = answered
                     ? std::make_unique<HttpExchange>(m_http, m_deviceId, m_host, m_path, authenticationCode, answered)
                     : std::make_unique<HttpExchange>(m_http, m_deviceId, m_host, m_path, authenticationCode);
    if (const int32_t timeout = m_exchange->setTimeout(timeoutMs); ResultCode::isFailure(timeout))
        return timeout;
    if (m_stallSeconds != 0) {
        if (const int32_t stall = m_exchange->setStallTimeout(m_stallSeconds); ResultCode::isFailure(stall))
            return stall;
    }
    // Streamed from its own file on the transfer thread: the body's bytes
    // never pass this thread.
    std::unique_ptr<StreamedBody> streamed = m_body->takeStreamedBody();
    if (!streamed) {
        CORVANE_LOG(QStringLiteral("upload to %1: the file could not be opened to stream it").arg(m_host));
        return kNoBody;
    }
    m_bodySent = true;
    return m_exchange->post(std::move(streamed));
}

int32_t FileUploader::getResponseStatusCode(int& status)
{
    return m_http.getResponseStatusCode(requestId(), status);
}

int32_t FileUploader::getResponseHeader(const char* name, std::string& value)
{
    return m_http.getResponseHeader(requestId(), name, value);
}

int32_t FileUploader::getResponseBody(QByteArray& body)
{
    return m_http.getResponseBody(requestId(), body);
}

void FileUploader::onReceivedUploadProgress(qint64 bytesSent, qint64 bytesTotal, int requestId)
{
    if (requestId != -1 && requestId == this->requestId())
        Q_EMIT uploadProgress(m_deviceId.isEmpty() ? m_host : m_deviceId, bytesSent, bytesTotal);
}
