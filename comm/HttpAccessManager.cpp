#include "HttpAccessManager.h"

#include "HttpTransfer.h"
#include "Logger.h"
#include "NestedWait.h"
#include "NetworkUtils.h"
#include "PeerTrust.h"
#include "StreamedBody.h"

#include <QCoreApplication>
#include <QMutexLocker>
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
    return request.url().toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery);
}

// A refusal's code: why the trust refused the key.
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

} // namespace

HttpAccessManager& HttpAccessManager::getInstance()
{
    static HttpAccessManager instance;
    // The process-wide manager outlives the application object; its
    // transfers' TLS ends while the application object still exists.
    static const bool stoppedWithApplication = [] {
        qAddPostRoutine([] { getInstance().m_transfers.reset(); });
        return true;
    }();
    Q_UNUSED(stoppedWithApplication)
    return instance;
}

HttpAccessManager::HttpAccessManager(QObject* parent)
    : QObject(parent)
{
}

HttpAccessManager::~HttpAccessManager() = default;

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
    const QNetworkRequest built = NetworkUtils::createNetworkRequest(scheme, host, path, query, port, authCode);
    QList<QByteArray> headerLines;
    for (const QByteArray& name : built.rawHeaderList())
        headerLines.append(name + ": " + built.rawHeader(name));

    std::shared_ptr<Request> request;
    {
        QMutexLocker locker(&m_lock);
        const int id = ++s_lastRequestId;
        request = std::make_shared<Request>(id, built.url(), headerLines, syncMode);
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
    return send(request, false, {}, nullptr);
}

int32_t HttpAccessManager::sendPostRequest(int requestId, const QByteArray& body)
{
    const std::shared_ptr<Request> request = findRequest(requestId);
    if (!request)
        return kNoSuchRequest;
    return send(request, true, body, nullptr);
}

int32_t HttpAccessManager::sendPostRequest(int requestId, std::unique_ptr<StreamedBody> body)
{
    const std::shared_ptr<Request> request = findRequest(requestId);
    if (!request)
        return kNoSuchRequest;
    if (!body || !body->file) {
        CORVANE_LOG(QStringLiteral("request %1: no streamed body given, posting an empty one").arg(requestId));
        body.reset();
    }
    return send(request, true, {}, std::move(body));
}

int32_t HttpAccessManager::send(const std::shared_ptr<Request>& request, bool post, const QByteArray& body,
                                std::unique_ptr<StreamedBody> streamed)
{
    if (!m_transfers)
        m_transfers = std::make_shared<TransferThread>();
    TransferRequest exchange;
    exchange.url = request->url();
    exchange.headerLines = request->headerLines();
    exchange.post = post;
    exchange.body = body;
    exchange.streamed = std::move(streamed);
    exchange.maxBodyBytes = request->maxResponseBytes();
    exchange.stallSeconds = request->stallTimeout();
    // The transfer thread asks the trust itself, before the request goes.
    exchange.trust = peerTrust();
    exchange.deviceId = request->deviceId();

    const std::weak_ptr<Request> weak = request;
    // The transfer's id is known only once it started; its first report
    // comes through the event loop, after it is noted below.
    auto transfer = std::make_shared<quint64>(0);
    const quint64 id = m_transfers->start(
        std::move(exchange), request.get(),
        // Progress is relayed as it comes (a queue at each step would let
        // the device's own report on the file overtake the last of it).
        [weak](qint64 sent, qint64 total) {
            if (const std::shared_ptr<Request> r = weak.lock())
                r->onReceivedUploadProgress(sent, total);
        },
        [self = QPointer<HttpAccessManager>(this), weak, transfer](const HttpAnswer& answer) {
            if (self)
                self->onEnded(weak, *transfer, answer);
        });
    *transfer = id;
    request->restart(id);
    if (post)
        connect(request.get(), &Request::uploadProgress, this, &HttpAccessManager::uploadProgress,
                Qt::UniqueConnection);

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
    abandon(request, Request::Outcome::TimedOut);
}

// Settles the outcome and ends the exchange. What came so far still reaches
// onEnded, which calls an asynchronous request back; a synchronous wait is
// told here.
void HttpAccessManager::abandon(const std::shared_ptr<Request>& request, Request::Outcome outcome)
{
    if (!request->settle(outcome))
        return;
    if (m_transfers && request->transfer() != 0)
        m_transfers->cancel(request->transfer());
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

// Waits in a nested event loop until the send's outcome is settled: by its
// end (onEnded), its deadline, or an abort, each of which quits the loop from
// an event.
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

void HttpAccessManager::onEnded(const std::weak_ptr<Request>& weak, quint64 transfer, const HttpAnswer& answer)
{
    const std::shared_ptr<Request> request = weak.lock();
    // Deleted meanwhile, or replaced by a later send.
    if (!request || request->transfer() != transfer)
        return;
    request->setAnswer(answer);
    disconnect(request.get(), &Request::uploadProgress, this, &HttpAccessManager::uploadProgress);
    Request::Outcome outcome = Request::Outcome::Finished;
    if (answer.end == HttpAnswer::End::Stalled)
        outcome = Request::Outcome::TimedOut;
    else if (answer.end == HttpAnswer::End::TooLarge)
        outcome = Request::Outcome::TooLarge;
    else if (answer.end == HttpAnswer::End::Aborted)
        outcome = Request::Outcome::Aborted;
    // One cut off at its deadline or by an abort settled then, and is
    // reported now, once, with what came so far.
    if (request->settle(outcome) && answer.end != HttpAnswer::End::Complete)
        CORVANE_LOG(QStringLiteral("request %1 (%2) ended without a whole answer: %3")
                        .arg(request->requestId())
                        .arg(describe(*request), answer.error));
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

// The request for the answer's reads: no request, or one never sent, answer
// with their codes.
int32_t HttpAccessManager::findAnswer(int requestId, std::shared_ptr<Request>& request)
{
    request = findRequest(requestId);
    if (!request)
        return kNoSuchRequest;
    return request->outcome() == Request::Outcome::NotSent || request->outcome() == Request::Outcome::Running
               ? kNotSent
               : ResultCode::kSuccess;
}

int32_t HttpAccessManager::getResponseStatusCode(int requestId, int& statusCode)
{
    std::shared_ptr<Request> request;
    if (const int32_t found = findAnswer(requestId, request); found != ResultCode::kSuccess)
        return found;
    const std::optional<HttpAnswer>& answer = request->answer();
    if (!answer || answer->status < 0)
        return answer && answer->end == HttpAnswer::End::Refused ? refusalResult(answer->refusal) : kNoStatus;
    if (answer->end != HttpAnswer::End::Complete)
        return kAnswerBroken;
    statusCode = answer->status;
    return ResultCode::kSuccess;
}

int32_t HttpAccessManager::getResponseHeader(int requestId, const char* name, std::string& value)
{
    std::shared_ptr<Request> request;
    if (const int32_t found = findAnswer(requestId, request); found != ResultCode::kSuccess)
        return found;
    const QByteArray header = name && request->answer() ? request->answer()->header(name) : QByteArray();
    value.assign(header.constData(), static_cast<size_t>(header.size()));
    return value.empty() ? kHeaderAbsent : ResultCode::kSuccess;
}

int32_t HttpAccessManager::getResponseBody(int requestId, QByteArray& body)
{
    std::shared_ptr<Request> request;
    if (const int32_t found = findAnswer(requestId, request); found != ResultCode::kSuccess)
        return found;
    body = request->takeBody();
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
    // An exchange still under way ends with it: a synchronous send waiting on
    // it returns kAborted; an asynchronous one is called back no more.
    if (removed->outcome() == Request::Outcome::Running)
        abandon(removed, Request::Outcome::Aborted);
    return kRequestRemoved;
}
