#include "HttpAccessManager.h"

#include "Logger.h"
#include "NestedWait.h"
#include "NetworkUtils.h"

#include <QCoreApplication>
#include <QHttpMultiPart>
#include <QMutexLocker>
#include <QNetworkProxy>

#include <algorithm>
#include <atomic>
#include <climits>

namespace {

// Ids are unique for the life of the process, whichever manager hands them
// out, so that progress and callbacks can never be mistaken for another
// request's.
std::atomic<int> s_lastRequestId{0};

QString describe(const Request& request)
{
    // Scheme, host, port and path only: never the header.
    return request.networkRequest().url().toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery);
}

} // namespace

HttpAccessManager& HttpAccessManager::getInstance()
{
    static HttpAccessManager instance;
    return instance;
}

HttpAccessManager::HttpAccessManager(QObject* parent)
    : QObject(parent)
    , m_networkAccessManager(this)
{
    m_networkAccessManager.setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    // Direct: the reply must be told to ignore the errors before the
    // handshake goes on.
    connect(&m_networkAccessManager, &QNetworkAccessManager::sslErrors, this, &HttpAccessManager::sslErrors,
            Qt::DirectConnection);
    connect(&m_networkAccessManager, &QNetworkAccessManager::finished, this, &HttpAccessManager::replyFinished,
            Qt::QueuedConnection);
    // The process-wide manager outlives the application object; its pooled
    // TLS connections must go while the TLS backend still exists: when the
    // event loop ends, and at the latest with the application object (a
    // program that never ran exec() gets no aboutToQuit).
    if (QCoreApplication* app = QCoreApplication::instance()) {
        connect(app, &QCoreApplication::aboutToQuit, &m_networkAccessManager,
                &QNetworkAccessManager::clearConnectionCache);
        connect(app, &QObject::destroyed, &m_networkAccessManager, &QNetworkAccessManager::clearConnectionCache);
    }
}

HttpAccessManager::~HttpAccessManager()
{
    QMutexLocker locker(&m_lock);
    m_requests.clear();
}

int32_t HttpAccessManager::createSyncRequest(const char* scheme, const char* host, const char* path,
                                             const char* query, int port, int& requestId, const char* authCode)
{
    return createRequestImpl(scheme, host, path, query, port, Request::SyncMode::Sync, {}, requestId, authCode);
}

int32_t HttpAccessManager::createAsyncRequest(const char* scheme, const char* host, const char* path,
                                              const char* query, int port, const std::function<void(int)>& callback,
                                              int& requestId, const char* authCode)
{
    return createRequestImpl(scheme, host, path, query, port, Request::SyncMode::Async, callback, requestId,
                             authCode);
}

int32_t HttpAccessManager::createRequestImpl(const char* scheme, const char* host, const char* path,
                                             const char* query, int port, Request::SyncMode syncMode,
                                             const std::function<void(int)>& callback, int& requestId,
                                             const char* authCode)
{
    const QNetworkRequest networkRequest = NetworkUtils::createNetworkRequest(scheme, host, path, query, port, authCode);

    std::shared_ptr<Request> request;
    {
        QMutexLocker locker(&m_lock);
        const int id = ++s_lastRequestId;
        request = std::make_shared<Request>(id, networkRequest, syncMode);
        if (syncMode == Request::SyncMode::Async)
            request->setCallback(callback);
        m_requests.append(request);
    }
    requestId = request->requestId();

    if (syncMode == Request::SyncMode::Async && !callback)
        CORVANE_LOG(QStringLiteral("asynchronous request %1 (%2) has no callback; its end will be reported to no one")
                        .arg(request->requestId())
                        .arg(describe(*request)));
    return ResultCode::kSuccess;
}

std::shared_ptr<Request> HttpAccessManager::findRequest(int requestId)
{
    QMutexLocker locker(&m_lock);
    const auto found = std::find_if(m_requests.cbegin(), m_requests.cend(),
                                    [requestId](const std::shared_ptr<Request>& r) { return r->requestId() == requestId; });
    return found == m_requests.cend() ? nullptr : *found;
}

int32_t HttpAccessManager::setTimeout(int requestId, unsigned milliseconds)
{
    if (milliseconds == 0)
        return kZeroTimeout;
    const std::shared_ptr<Request> request = findRequest(requestId);
    if (!request)
        return kNoSuchRequest;
    request->setTimeout(milliseconds);
    return ResultCode::kSuccess;
}

int32_t HttpAccessManager::sendGetRequest(int requestId)
{
    const std::shared_ptr<Request> request = findRequest(requestId);
    if (!request)
        return kNoSuchRequest;
    return startSending(request, m_networkAccessManager.get(request->networkRequest()), false);
}

int32_t HttpAccessManager::sendPostRequest(int requestId, const QByteArray& body)
{
    const std::shared_ptr<Request> request = findRequest(requestId);
    if (!request)
        return kNoSuchRequest;
    return startSending(request, m_networkAccessManager.post(request->networkRequest(), body), true);
}

int32_t HttpAccessManager::sendPostRequest(int requestId, QHttpMultiPart* body)
{
    const std::shared_ptr<Request> request = findRequest(requestId);
    if (!request)
        return kNoSuchRequest;
    // Qt's post with a null multipart would dereference it; an empty body is
    // the harmless reading of a caller's slip.
    QNetworkReply* reply = body ? m_networkAccessManager.post(request->networkRequest(), body)
                                : m_networkAccessManager.post(request->networkRequest(), QByteArray());
    if (!body)
        CORVANE_LOG(QStringLiteral("request %1: no multipart body given, posting an empty one").arg(requestId));
    return startSending(request, reply, true);
}

int32_t HttpAccessManager::startSending(const std::shared_ptr<Request>& request, QNetworkReply* reply,
                                        bool relayProgress)
{
    request->setReply(reply);
    connect(reply, &QNetworkReply::uploadProgress, request.get(), &Request::onReceivedUploadProgress,
            Qt::QueuedConnection);
    if (relayProgress)
        connect(request.get(), &Request::uploadProgress, this, &HttpAccessManager::uploadProgress,
                static_cast<Qt::ConnectionType>(Qt::QueuedConnection | Qt::UniqueConnection));

    if (request->syncMode() == Request::SyncMode::Sync)
        return waitResponseForSyncMode(request);
    return ResultCode::kSuccess;
}

// Waits in the program's one nested event loop; replyFinished (queued) quits
// it.
int32_t HttpAccessManager::waitResponseForSyncMode(const std::shared_ptr<Request>& request)
{
    const std::shared_ptr<QEventLoop> loop = request->eventLoop();
    if (!loop)
        return ResultCode::kSuccess;

    // QTimer takes an int; longer waits are cut to the longest it can time.
    const unsigned timeout = std::min<unsigned>(request->timeout(), INT_MAX);
    if (NestedWait::run(*loop, static_cast<int>(timeout)))
        return ResultCode::kSuccess;
    CORVANE_LOG(QStringLiteral("request %1 (%2) timed out after %3 ms")
                    .arg(request->requestId())
                    .arg(describe(*request))
                    .arg(timeout));
    if (QNetworkReply* reply = request->reply())
        reply->abort();
    forgetStuckConnections();
    return kTimedOut;
}

// An aborted request can leave its connection behind half open (a TLS
// handshake that never finished), and Qt queues later requests to that device
// behind it until it gives up. Dropping the connection pool frees them; it
// would also cut other replies in flight, so it waits for a quiet moment.
void HttpAccessManager::forgetStuckConnections()
{
    {
        QMutexLocker locker(&m_lock);
        for (const std::shared_ptr<Request>& other : m_requests) {
            const QNetworkReply* reply = other->reply();
            if (reply != nullptr && reply->isRunning())
                return;
        }
    }
    m_networkAccessManager.clearConnectionCache();
}

void HttpAccessManager::replyFinished(QNetworkReply* reply)
{
    std::shared_ptr<Request> request;
    {
        QMutexLocker locker(&m_lock);
        const auto found = std::find_if(m_requests.cbegin(), m_requests.cend(),
                                        [reply](const std::shared_ptr<Request>& r) { return r->reply() == reply; });
        if (found != m_requests.cend())
            request = *found;
    }
    if (!request)
        return; // deleted meanwhile, or replaced by a later send

    disconnect(request.get(), &Request::uploadProgress, this, &HttpAccessManager::uploadProgress);

    if (request->syncMode() == Request::SyncMode::Async) {
        if (request->callback())
            request->callback()(request->requestId());
        else
            CORVANE_LOG(QStringLiteral("asynchronous request %1 (%2) finished without a callback to call")
                            .arg(request->requestId())
                            .arg(describe(*request)));
    } else if (request->eventLoop()) {
        request->eventLoop()->quit();
    }
}

void HttpAccessManager::sslErrors(QNetworkReply* reply, const QList<QSslError>& errors)
{
    Q_UNUSED(errors)
    reply->ignoreSslErrors();
}

// The reply of a request for the result reads: no request, or one never sent,
// answer with their codes.
int32_t HttpAccessManager::findReply(int requestId, QNetworkReply*& reply)
{
    const std::shared_ptr<Request> request = findRequest(requestId);
    if (!request)
        return kNoSuchRequest;
    reply = request->reply();
    return reply != nullptr ? ResultCode::kSuccess : kNotSent;
}

int32_t HttpAccessManager::getResponseStatusCode(int requestId, int& statusCode)
{
    QNetworkReply* reply = nullptr;
    if (const int32_t found = findReply(requestId, reply); found != ResultCode::kSuccess)
        return found;
    bool ok = false;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(&ok);
    if (!ok)
        return kNoStatus;
    statusCode = status;
    return ResultCode::kSuccess;
}

int32_t HttpAccessManager::getResponseHeader(int requestId, const char* name, std::string& value)
{
    QNetworkReply* reply = nullptr;
    if (const int32_t found = findReply(requestId, reply); found != ResultCode::kSuccess)
        return found;
    const QByteArray header = name ? reply->rawHeader(name) : QByteArray();
    value.assign(header.constData(), static_cast<size_t>(header.size()));
    return value.empty() ? kHeaderAbsent : ResultCode::kSuccess;
}

int32_t HttpAccessManager::getResponseBody(int requestId, QByteArray& body)
{
    QNetworkReply* reply = nullptr;
    if (const int32_t found = findReply(requestId, reply); found != ResultCode::kSuccess)
        return found;
    body = reply->readAll();
    return ResultCode::kSuccess;
}

int32_t HttpAccessManager::deleteRequest(int requestId)
{
    if (requestId == kNoRequest)
        return ResultCode::kSuccess;
    std::shared_ptr<Request> removed;
    {
        QMutexLocker locker(&m_lock);
        const auto found = std::find_if(m_requests.begin(), m_requests.end(),
                                        [requestId](const std::shared_ptr<Request>& r) { return r->requestId() == requestId; });
        if (found == m_requests.end())
            return kNoSuchRequest;
        removed = *found;
        m_requests.erase(found);
    }
    // The last owner (this one, or a send still waiting on it) hands the
    // reply to deferred deletion.
    return kRequestRemoved;
}
