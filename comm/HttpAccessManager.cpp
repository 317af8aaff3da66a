#include "HttpAccessManager.h"

#include "Logger.h"
#include "NestedWait.h"
#include "NetworkUtils.h"
#include "PeerTrust.h"
#include "StreamedBody.h"
#include "UploadTransfer.h"

#include <QCoreApplication>
#include <QHttpMultiPart>
#include <QMutexLocker>
#include <QNetworkProxy>
#include <QPointer>
#include <QTimer>

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

// The connection, not the device's answer: Qt's errors below 100 are the
// network's (an abort of ours among them), ProtocolFailure an answer that was
// not HTTP. The others of a reply with a status stand for the status itself
// (403 is ContentAccessDenied) and leave it readable.
// A reply without a status: refused by the trust (and why), or else the
// connection failed.
int32_t refusalResult(int verdict)
{
    switch (PeerTrust::Verdict(verdict)) {
    case PeerTrust::Verdict::KeyChanged:
        return HttpAccessManager::kKeyRefused;
    case PeerTrust::Verdict::Unavailable:
        return HttpAccessManager::kTrustUnavailable;
    case PeerTrust::Verdict::NewKey:
        return HttpAccessManager::kKeyNew;
    case PeerTrust::Verdict::AddressShared:
        return HttpAccessManager::kAddressShared;
    case PeerTrust::Verdict::KeyOfAnother:
        return HttpAccessManager::kKeyOfAnother;
    case PeerTrust::Verdict::Allowed:
        break;
    }
    return HttpAccessManager::kNoStatus;
}

bool brokeAfterStatus(QNetworkReply::NetworkError error)
{
    return (error > QNetworkReply::NoError && error < QNetworkReply::ProxyConnectionRefusedError)
           || error == QNetworkReply::ProtocolFailure;
}

QString poolKey(const QUrl& url)
{
    return url.host() + QLatin1Char(':') + QString::number(url.port());
}

} // namespace

HttpAccessManager& HttpAccessManager::getInstance()
{
    static HttpAccessManager instance;
    // The process-wide manager outlives the application object; its
    // transfers' TLS ends while the application object and Qt's TLS backend
    // still exist.
    static const bool stoppedWithApplication = [] {
        qAddPostRoutine([] { getInstance().m_transfers.reset(); });
        return true;
    }();
    Q_UNUSED(stoppedWithApplication)
    return instance;
}

HttpAccessManager::HttpAccessManager(QObject* parent)
    : QObject(parent)
    , m_networkAccessManager(this)
    // Owned as a member; the shared owner only lets requests name it.
    , m_sharedPool(&m_networkAccessManager, [](QNetworkAccessManager*) {})
{
    attachPool(m_networkAccessManager);
}

void HttpAccessManager::attachPool(QNetworkAccessManager& pool)
{
    pool.setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    // Direct: the reply must be told to ignore the errors before the
    // handshake goes on.
    connect(&pool, &QNetworkAccessManager::sslErrors, this, &HttpAccessManager::sslErrors, Qt::DirectConnection);
    connect(&pool, &QNetworkAccessManager::finished, this, &HttpAccessManager::replyFinished, Qt::QueuedConnection);
    // The process-wide manager outlives the application object; its pooled
    // TLS connections must go while the TLS backend still exists: when the
    // event loop ends, and at the latest with the application object (a
    // program that never ran exec() gets no aboutToQuit).
    if (QCoreApplication* app = QCoreApplication::instance()) {
        connect(app, &QCoreApplication::aboutToQuit, &pool, &QNetworkAccessManager::clearConnectionCache);
        connect(app, &QObject::destroyed, &pool, &QNetworkAccessManager::clearConnectionCache);
    }
}

bool HttpAccessManager::isKeyRefusal(int32_t result)
{
    return result == kKeyRefused || result == kTrustUnavailable || result == kKeyNew || result == kAddressShared
           || result == kKeyOfAnother;
}

void HttpAccessManager::setPeerTrust(std::shared_ptr<PeerTrust> trust)
{
    QMutexLocker locker(&m_lock);
    m_trust = std::move(trust);
}

std::shared_ptr<PeerTrust> HttpAccessManager::peerTrust() const
{
    QMutexLocker locker(&m_lock);
    return m_trust;
}

int32_t HttpAccessManager::setPeerDevice(int requestId, const QString& deviceId)
{
    const std::shared_ptr<Request> request = findRequest(requestId);
    if (!request)
        return kNoSuchRequest;
    request->setDeviceId(deviceId);
    return ResultCode::kSuccess;
}

std::shared_ptr<QNetworkAccessManager> HttpAccessManager::newPool()
{
    // A child, so that it goes with the manager; before that, when the last
    // request sent through it lets go (deferred: that may happen inside one
    // of its own signals).
    auto* pool = new QNetworkAccessManager(this);
    attachPool(*pool);
    QPointer<QNetworkAccessManager> guard(pool);
    return std::shared_ptr<QNetworkAccessManager>(pool, [guard](QNetworkAccessManager*) {
        if (guard) {
            guard->clearConnectionCache();
            guard->deleteLater();
        }
    });
}

std::shared_ptr<QNetworkAccessManager> HttpAccessManager::poolFor(const std::shared_ptr<Request>& request)
{
    const QString key = poolKey(request->networkRequest().url());
    QMutexLocker locker(&m_lock);
    const auto own = m_ownPools.constFind(key);
    return own != m_ownPools.cend() ? *own : m_sharedPool;
}

HttpAccessManager::~HttpAccessManager()
{
    {
        QMutexLocker locker(&m_lock);
        m_requests.clear();
        m_ownPools.clear();
    }
    m_transfers.reset();
}

int32_t HttpAccessManager::createSyncRequest(const char* scheme, const char* host, const char* path, const char* query,
                                             int port, int& requestId, const char* authCode)
{
    return createRequestImpl(scheme, host, path, query, port, Request::SyncMode::Sync, {}, requestId, authCode);
}

int32_t HttpAccessManager::createAsyncRequest(const char* scheme, const char* host, const char* path, const char* query,
                                              int port, const std::function<void(int)>& callback, int& requestId,
                                              const char* authCode)
{
    return createRequestImpl(scheme, host, path, query, port, Request::SyncMode::Async, callback, requestId, authCode);
}

int32_t HttpAccessManager::createRequestImpl(const char* scheme, const char* host, const char* path, const char* query,
                                             int port, Request::SyncMode syncMode,
                                             const std::function<void(int)>& callback, int& requestId,
                                             const char* authCode)
{
    const QNetworkRequest networkRequest
        = NetworkUtils::createNetworkRequest(scheme, host, path, query, port, authCode);

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
    const auto found
        = std::find_if(m_requests.cbegin(), m_requests.cend(),
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

int32_t HttpAccessManager::setMaxResponseSize(int requestId, qint64 bytes)
{
    const std::shared_ptr<Request> request = findRequest(requestId);
    if (!request)
        return kNoSuchRequest;
    request->setMaxResponseBytes(bytes);
    return ResultCode::kSuccess;
}

int32_t HttpAccessManager::setStallTimeout(int requestId, unsigned seconds)
{
    if (seconds == 0)
        return kZeroTimeout;
    const std::shared_ptr<Request> request = findRequest(requestId);
    if (!request)
        return kNoSuchRequest;
    request->setStallTimeout(seconds);
    return ResultCode::kSuccess;
}

int32_t HttpAccessManager::sendGetRequest(int requestId)
{
    const std::shared_ptr<Request> request = findRequest(requestId);
    if (!request)
        return kNoSuchRequest;
    request->setPool(poolFor(request));
    return startSending(request, request->pool()->get(asked(request->networkRequest())), false);
}

int32_t HttpAccessManager::sendPostRequest(int requestId, const QByteArray& body)
{
    const std::shared_ptr<Request> request = findRequest(requestId);
    if (!request)
        return kNoSuchRequest;
    request->setPool(poolFor(request));
    return startSending(request, request->pool()->post(asked(request->networkRequest()), body), true);
}

int32_t HttpAccessManager::sendPostRequest(int requestId, QHttpMultiPart* body)
{
    const std::shared_ptr<Request> request = findRequest(requestId);
    if (!request)
        return kNoSuchRequest;
    request->setPool(poolFor(request));
    QNetworkAccessManager& pool = *request->pool();
    // Qt's post with a null multipart would dereference it; an empty body is
    // the harmless reading of a caller's slip.
    QNetworkReply* reply = body ? pool.post(asked(request->networkRequest()), body)
                                : pool.post(asked(request->networkRequest()), QByteArray());
    if (!body)
        CORVANE_LOG(QStringLiteral("request %1: no multipart body given, posting an empty one").arg(requestId));
    return startSending(request, reply, true);
}

int32_t HttpAccessManager::sendPostRequest(int requestId, std::unique_ptr<StreamedBody> body)
{
    const std::shared_ptr<Request> request = findRequest(requestId);
    if (!request)
        return kNoSuchRequest;
    if (!body || !body->file) {
        CORVANE_LOG(QStringLiteral("request %1: no streamed body given, posting an empty one").arg(requestId));
        return sendPostRequest(requestId, QByteArray());
    }
    // The transfer thread asks the trust itself, before the request goes.
    const UploadPeer peer{peerTrust(), request->deviceId()};
    if (!m_transfers)
        m_transfers = std::make_shared<TransferThread>();
    request->setPool(nullptr);
    const UploadLimits limits{request->maxResponseBytes(), request->stallTimeout()};
    auto* reply = new UploadReply(m_transfers, request->networkRequest(), std::move(body), limits, peer, this);
    // Context: the reply, so that a reply gone meanwhile is not looked for.
    connect(
        reply, &QNetworkReply::finished, reply, [this, reply] { replyFinished(reply); }, Qt::QueuedConnection);
    return startSending(request, reply, true);
}

int32_t HttpAccessManager::startSending(const std::shared_ptr<Request>& request, QNetworkReply* reply,
                                        bool relayProgress)
{
    request->setReply(reply);
    request->restart();
    // Progress is relayed as it comes (a queue at each step would let the
    // device's own report on the file overtake the last of it).
    connect(reply, &QNetworkReply::uploadProgress, request.get(), &Request::onReceivedUploadProgress);
    if (relayProgress)
        connect(request.get(), &Request::uploadProgress, this, &HttpAccessManager::uploadProgress,
                Qt::UniqueConnection);
    // Direct: an answer past its limit is cut off before more of it is
    // buffered.
    const std::weak_ptr<Request> weak = request;
    connect(reply, &QNetworkReply::downloadProgress, request.get(),
            [this, weak](qint64 received, qint64 total) { onDownloadProgress(weak, received, total); });

    QTimer& deadline = request->deadline();
    disconnect(&deadline, nullptr, this, nullptr);
    connect(&deadline, &QTimer::timeout, this, [this, weak] { onDeadline(weak); });
    // QTimer takes an int; longer waits are cut to the longest it can time.
    deadline.start(static_cast<int>(std::min<unsigned>(request->timeout(), INT_MAX)));

    if (request->syncMode() == Request::SyncMode::Sync)
        return waitResponseForSyncMode(request);
    return ResultCode::kSuccess;
}

void HttpAccessManager::onDeadline(const std::weak_ptr<Request>& weak)
{
    const std::shared_ptr<Request> request = weak.lock();
    if (!request || request->outcome() != Request::Outcome::Running)
        return;
    CORVANE_LOG(QStringLiteral("request %1 (%2) timed out after %3 ms")
                    .arg(request->requestId())
                    .arg(describe(*request))
                    .arg(request->timeout()));
    // Whatever held this device up may hold its pooled connections too: its
    // later requests start on fresh ones.
    const std::shared_ptr<QNetworkAccessManager> fresh = newPool();
    {
        QMutexLocker locker(&m_lock);
        m_ownPools.insert(poolKey(request->networkRequest().url()), fresh);
    }
    abandon(request, Request::Outcome::TimedOut);
}

void HttpAccessManager::onDownloadProgress(const std::weak_ptr<Request>& weak, qint64 received, qint64 total)
{
    const std::shared_ptr<Request> request = weak.lock();
    if (!request || request->outcome() != Request::Outcome::Running)
        return;
    const qint64 limit = request->maxResponseBytes();
    if (received <= limit && total <= limit)
        return;
    CORVANE_LOG(QStringLiteral("request %1 (%2): answer of %3 bytes is larger than its limit of %4; cut off")
                    .arg(request->requestId())
                    .arg(describe(*request))
                    .arg(std::max(received, total))
                    .arg(limit));
    abandon(request, Request::Outcome::TooLarge);
}

// Settles the outcome and aborts the reply. The abort's end still reaches
// replyFinished, which calls an asynchronous request back; a synchronous
// wait is told here.
void HttpAccessManager::abandon(const std::shared_ptr<Request>& request, Request::Outcome outcome)
{
    if (!request->settle(outcome))
        return;
    if (QNetworkReply* reply = request->reply())
        reply->abort();
    if (request->syncMode() == Request::SyncMode::Sync && request->eventLoop())
        request->eventLoop()->quit();
}

int32_t HttpAccessManager::abortRequest(int requestId)
{
    const std::shared_ptr<Request> request = findRequest(requestId);
    if (!request)
        return kNoSuchRequest;
    if (request->outcome() == Request::Outcome::Running) {
        CORVANE_LOG(QStringLiteral("request %1 (%2) ended by its caller").arg(requestId).arg(describe(*request)));
        abandon(request, Request::Outcome::Aborted);
    }
    return ResultCode::kSuccess;
}

int32_t HttpAccessManager::sendResult(Request::Outcome outcome)
{
    switch (outcome) {
    case Request::Outcome::Finished:
        return ResultCode::kSuccess;
    case Request::Outcome::TimedOut:
        return kTimedOut;
    case Request::Outcome::TooLarge:
        return kTooLarge;
    case Request::Outcome::Interrupted:
        return kNoStatus;
    case Request::Outcome::Aborted:
        return kAborted;
    case Request::Outcome::NotSent:
    case Request::Outcome::Running:
        break;
    }
    return kNotSent;
}

int32_t HttpAccessManager::getSendResult(int requestId)
{
    const std::shared_ptr<Request> request = findRequest(requestId);
    if (!request)
        return kNoSuchRequest;
    return sendResult(request->outcome());
}

// Waits in a nested event loop until the reply's outcome is settled: by its
// end (replyFinished), its deadline or its size limit, each of which quits
// the loop from an event.
int32_t HttpAccessManager::waitResponseForSyncMode(const std::shared_ptr<Request>& request)
{
    const std::shared_ptr<QEventLoop> loop = request->eventLoop();
    if (!loop)
        return ResultCode::kSuccess;
    const bool settled = NestedWait::run(*loop, [&request] { return request->outcome() != Request::Outcome::Running; });
    if (!settled) {
        CORVANE_LOG(QStringLiteral("request %1 (%2) given up: the application is quitting")
                        .arg(request->requestId())
                        .arg(describe(*request)));
        abandon(request, Request::Outcome::Interrupted);
    }
    return sendResult(request->outcome());
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
    // A transfer that stopped moving is a time-out, however it ended.
    const bool stalled = reply->error() == QNetworkReply::TimeoutError;
    if (request->settle(stalled ? Request::Outcome::TimedOut : Request::Outcome::Finished) && stalled)
        CORVANE_LOG(QStringLiteral("request %1 (%2) stalled: %3")
                        .arg(request->requestId())
                        .arg(describe(*request), reply->errorString()));

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
    const std::shared_ptr<PeerTrust> trust = peerTrust();
    if (!trust) {
        reply->ignoreSslErrors();
        return;
    }
    QString deviceId;
    {
        QMutexLocker locker(&m_lock);
        const auto found = std::find_if(m_requests.cbegin(), m_requests.cend(),
                                        [reply](const std::shared_ptr<Request>& r) { return r->reply() == reply; });
        if (found != m_requests.cend())
            deviceId = (*found)->deviceId();
    }
    const QString shown = KnownDevices::digestOf(PeerTrust::shownIn(reply->sslConfiguration(), errors));
    // Not ignored, the errors fail the handshake: nothing of the request
    // (and of its credential) goes.
    const PeerTrust::Verdict verdict = trust->judge(deviceId, reply->url().host(), shown);
    if (verdict != PeerTrust::Verdict::Allowed) {
        reply->setProperty(kRefusedProperty, int(verdict));
        reply->setProperty(kShownKeyProperty, shown);
        return;
    }
    // These errors, of this certificate, only: an error list ignored whole
    // stays with the pooled connection, and its next handshake (the
    // device's address now answered by another key) would pass unasked.
    reply->ignoreSslErrors(errors);
}

// Every certificate comes to sslErrors once there is a trust.
QNetworkRequest HttpAccessManager::asked(QNetworkRequest request) const
{
    if (peerTrust())
        request.setSslConfiguration(PeerTrust::everyKeyAsked(request.sslConfiguration()));
    return request;
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
        return refusalResult(reply->property(kRefusedProperty).toInt());
    if (brokeAfterStatus(reply->error()))
        return kAnswerBroken;
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
        const auto found
            = std::find_if(m_requests.begin(), m_requests.end(),
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
