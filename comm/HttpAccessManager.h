#pragma once

#include "Request.h"
#include "ResultCode.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class PeerTrust;
struct StreamedBody;
class TransferThread;

// Every HTTPS exchange with a device: builds the request, keeps it under a
// request id (1, 2, 3, ... for the life of the process, never reused), sends
// GET and POST, waits for the end (Sync) or reports it through a callback
// (Async), then lets the caller read status, headers and body by id until it
// deletes the request. Devices sign their own certificates: with a trust, the
// key a connection shows is judged before the request goes; without one,
// every key is taken.
//
// One transport carries every exchange: libcurl on a thread of its own
// (TransferThread), HTTP/1.1 only, a connection per exchange, with the same
// bounds for every answer (its head, its interim answers, its body, its
// stalls); the transport fills one answer record per request (HttpAnswer),
// which the getters read.
//
// Results: 0 or positive on success, failure codes of the HttpAccess facility
// below. The manager never interprets HTTP status codes.
//
// Threads: use it from the thread it lives on (the user-interface thread).
// The request list and the id counter are guarded by one mutex, never held
// while a callback, an event loop or a network call runs. A synchronous send
// runs a nested event loop on the caller's thread, so other queued events
// (other replies, timers, callbacks) are delivered while it waits; only the
// operator's own actions may send synchronously; background work uses the
// asynchronous mode.
class HttpAccessManager : public QObject
{
    Q_OBJECT

public:
    static constexpr int32_t kRequestRemoved = 0x00010000;
    // No request with this id.
    static constexpr int32_t kNoSuchRequest = ResultCode::failure(ResultCode::Facility::HttpAccess, 0x1F5);
    // The synchronous wait timed out; the reply was aborted.
    static constexpr int32_t kTimedOut = ResultCode::failure(ResultCode::Facility::HttpAccess, 0x1F6);
    // setTimeout was given 0 ms.
    static constexpr int32_t kZeroTimeout = ResultCode::failure(ResultCode::Facility::HttpAccess, 0x1F7);
    // The request has no reply (it was never sent).
    static constexpr int32_t kNotSent = ResultCode::failure(ResultCode::Facility::HttpAccess, 0x1F8);
    // The reply carries no HTTP status (connection or TLS failure, abort).
    static constexpr int32_t kNoStatus = ResultCode::failure(ResultCode::Facility::HttpAccess, 0x1F9);
    // The asked response header is absent or empty.
    static constexpr int32_t kHeaderAbsent = ResultCode::failure(ResultCode::Facility::HttpAccess, 0x1FA);
    // The answer grew past the request's size limit; the reply was aborted.
    static constexpr int32_t kTooLarge = ResultCode::failure(ResultCode::Facility::HttpAccess, 0x1FB);
    // A status came, but not the whole answer: the connection broke or
    // stalled after it, or what followed was not HTTP. The status alone
    // never makes a success.
    static constexpr int32_t kAnswerBroken = ResultCode::failure(ResultCode::Facility::HttpAccess, 0x1FC);
    // The caller ended the send before its end (abortRequest).
    static constexpr int32_t kAborted = ResultCode::failure(ResultCode::Facility::HttpAccess, 0x1FD);
    // The trust (PeerTrust) refused the key the device showed: the
    // connection ended in its handshake and nothing of the request went.
    // Another key than the one pinned for the device:
    static constexpr int32_t kKeyRefused = ResultCode::failure(ResultCode::Facility::HttpAccess, 0x1FE);
    // The pins cannot be read (or the store lost some), so none could be
    // compared:
    static constexpr int32_t kTrustUnavailable = ResultCode::failure(ResultCode::Facility::HttpAccess, 0x1FF);
    // No key is pinned for the device yet and nobody accepted this one:
    static constexpr int32_t kKeyNew = ResultCode::failure(ResultCode::Facility::HttpAccess, 0x200);
    // No key is pinned for the device, and another device claims its address:
    static constexpr int32_t kAddressShared = ResultCode::failure(ResultCode::Facility::HttpAccess, 0x201);
    // No key is pinned for the device, and the one it shows is another's:
    static constexpr int32_t kKeyOfAnother = ResultCode::failure(ResultCode::Facility::HttpAccess, 0x202);
    // Whether a result is one of the trust's refusals above.
    static bool isKeyRefusal(int32_t result);

    static constexpr int kNoRequest = -1;

    // The process-wide manager, created on first use, destroyed at exit.
    static HttpAccessManager& getInstance();

    // A manager of its own (tests); ids stay unique across all managers.
    explicit HttpAccessManager(QObject* parent = nullptr);
    ~HttpAccessManager() override;

    // The trust every later connection's key is judged by (the front end's,
    // made once); none: every key is taken. Shared with the transfers that
    // judge on their own thread and with the push channels.
    void setPeerTrust(std::shared_ptr<PeerTrust> trust);
    std::shared_ptr<PeerTrust> peerTrust() const;
    // The device a request is meant for (its id, the MAC address): the key
    // its connection shows is judged against that device's pin. With a
    // trust, a request for no device is refused (kTrustUnavailable).
    // 0, kNoSuchRequest.
    int32_t setPeerDevice(int requestId, const QString& deviceId);

    // Create a request for scheme://host:port/path[?query] with the
    // "Authorization" header built from `authCode` (none when null). Always 0,
    // the new id in `requestId`. An asynchronous request without a callback is
    // a programming error: it is reported in the log and its end is not
    // reported to anyone (the program does not crash).
    int32_t createSyncRequest(const char* scheme, const char* host, const char* path, const char* query, int port,
                              int& requestId, const char* authCode);
    int32_t createAsyncRequest(const char* scheme, const char* host, const char* path, const char* query, int port,
                               const std::function<void(int)>& callback, int& requestId, const char* authCode);

    // Time-out of a later send, in both modes (an asynchronous reply that
    // times out is aborted and its callback called): 0, kZeroTimeout (checked
    // first), kNoSuchRequest.
    int32_t setTimeout(int requestId, unsigned milliseconds);
    // Largest answer body a later send takes (Request::kDefaultMaxResponseBytes
    // unless set); a larger one aborts the reply. 0, kNoSuchRequest.
    int32_t setMaxResponseSize(int requestId, qint64 bytes);
    // How long a later streamed upload (below) may move no byte at all, while
    // connecting, sending or waiting for the answer, before it ends as a
    // time-out (Request::kDefaultStallTimeoutS unless set): 0, kZeroTimeout
    // (checked first), kNoSuchRequest.
    int32_t setStallTimeout(int requestId, unsigned seconds);

    // Send: kNoSuchRequest, or 0 (Async: at once; Sync: the exchange ended,
    // successfully or not, before the time-out), or (Sync) kTimedOut,
    // kTooLarge, or kNoStatus when the application quit during the wait. A
    // synchronous send reports what became of its own exchange, whatever ran
    // meanwhile. Transport failures show as kNoStatus from
    // getResponseStatusCode. A stall (see setStallTimeout) settles as a
    // time-out (kTimedOut). Redirects are not followed: a 3xx is the answer.
    int32_t sendGetRequest(int requestId);
    int32_t sendPostRequest(int requestId, const QByteArray& body);
    // The same for a body that is mostly one file, taken over by the send:
    // the file is read on the transfer thread, so that the body's bytes never
    // pass this thread; its progress comes through uploadProgress.
    int32_t sendPostRequest(int requestId, std::unique_ptr<StreamedBody> body);

    // What a send came to, as a synchronous send returns it: 0 once the
    // exchange ended by itself, kTimedOut, kTooLarge, kNoStatus (interrupted),
    // kAborted; kNotSent before a send or while it runs; kNoSuchRequest.
    // Asynchronous callers read it in their callback.
    int32_t getSendResult(int requestId);

    // 0 with the status in `statusCode`; kNoSuchRequest, kNotSent, kNoStatus
    // (or the trust's refusal), kAnswerBroken when the exchange ended in a
    // transport or protocol failure after its status came (out argument
    // untouched).
    int32_t getResponseStatusCode(int requestId, int& statusCode);
    // 0 with the header field `name` (any letter case; fields of one name
    // joined with ", ") in `value`; kHeaderAbsent with `value` empty;
    // kNoSuchRequest, kNotSent (untouched).
    int32_t getResponseHeader(int requestId, const char* name, std::string& value);
    // 0 with the answer's body (drained: a second read yields nothing);
    // kNoSuchRequest, kNotSent (untouched).
    int32_t getResponseBody(int requestId, QByteArray& body);

    // Ends a send that runs: the send comes to kAborted (a synchronous one
    // returns it). 0, also when nothing runs (the result of a send that ended
    // stays); kNoSuchRequest.
    int32_t abortRequest(int requestId);

    // kRequestRemoved, 0 for kNoRequest (-1), kNoSuchRequest. An exchange
    // still under way is ended.
    int32_t deleteRequest(int requestId);

Q_SIGNALS:
    void uploadProgress(qint64 bytesSent, qint64 bytesTotal, int requestId);

private:
    int32_t createRequestImpl(const char* scheme, const char* host, const char* path, const char* query, int port,
                              Request::SyncMode syncMode, const std::function<void(int)>& callback, int& requestId,
                              const char* authCode);
    std::shared_ptr<Request> findRequest(int requestId);
    int32_t findAnswer(int requestId, std::shared_ptr<Request>& request);
    int32_t send(const std::shared_ptr<Request>& request, bool post, const QByteArray& body,
                 std::unique_ptr<StreamedBody> streamed);
    void onEnded(const std::weak_ptr<Request>& request, quint64 transfer, const HttpAnswer& answer);
    void onDeadline(const std::weak_ptr<Request>& request);
    void abandon(const std::shared_ptr<Request>& request, Request::Outcome outcome);
    int32_t waitResponseForSyncMode(const std::shared_ptr<Request>& request);
    static int32_t sendResult(Request::Outcome outcome);

    // Started with the first send; stopped with the manager or the
    // application object, whichever goes first.
    std::shared_ptr<TransferThread> m_transfers;
    std::shared_ptr<PeerTrust> m_trust;
    QList<std::shared_ptr<Request>> m_requests;
    mutable QMutex m_lock;
};
