#include "FileUploader.h"

#include "DeviceEndpoints.h"
#include "HttpAccessManager.h"
#include "Logger.h"
#include "MultiPartBody.h"

FileUploader::FileUploader(const QString &host, const char *path, MultiPartBody *body, QObject *parent)
    : QObject(parent)
    , m_http(HttpAccessManager::getInstance())
    , m_host(host)
    , m_path(path)
    , m_body(body)
{
    // Queued, so that progress arrives during the synchronous send's wait.
    connect(&m_http, &HttpAccessManager::uploadProgress, this, &FileUploader::onReceivedUploadProgress,
            Qt::QueuedConnection);
}

FileUploader::~FileUploader()
{
    m_http.deleteRequest(m_requestId);
}

int32_t FileUploader::upload(const QString &authenticationCode, unsigned timeoutMs)
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
    m_http.deleteRequest(m_requestId);
    m_requestId = -1;

    const QByteArray host = m_host.toUtf8();
    const QByteArray code = authenticationCode.toUtf8();
    int32_t result = m_http.createSyncRequest("https", host.constData(), m_path, "", DeviceEndpoints::kPort,
                                              m_requestId, code.constData());
    if (ResultCode::isFailure(result))
        return result;
    result = m_http.setTimeout(m_requestId, timeoutMs);
    if (ResultCode::isFailure(result))
        return result;
    m_bodySent = true;
    result = m_http.sendPostRequest(m_requestId, m_body->multiPart());
    if (ResultCode::isFailure(result))
        CORVANE_LOG(QStringLiteral("upload to %1%2 ended without an answer: 0x%3")
                        .arg(m_host, QString::fromUtf8(m_path))
                        .arg(quint32(result), 8, 16, QLatin1Char('0')));
    return result;
}

int32_t FileUploader::getResponseStatusCode(int &status)
{
    return m_http.getResponseStatusCode(m_requestId, status);
}

int32_t FileUploader::getResponseHeader(const char *name, std::string &value)
{
    return m_http.getResponseHeader(m_requestId, name, value);
}

int32_t FileUploader::getResponseBody(QByteArray &body)
{
    return m_http.getResponseBody(m_requestId, body);
}

void FileUploader::onReceivedUploadProgress(qint64 bytesSent, qint64 bytesTotal, int requestId)
{
    if (requestId != -1 && requestId == m_requestId)
        Q_EMIT uploadProgress(m_host, bytesSent, bytesTotal);
}
