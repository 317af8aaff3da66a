#pragma once

#include "HttpAccessManager.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct StreamedBody;

// One HTTPS exchange with a device through the access manager, from the
// request's creation to its deletion, which comes when the exchange goes:
// https://<host>:60010<path> with the device's authentication code, made for
// the device `deviceId` (whose pin the key its connection shows must be). The
// first failure sticks: the later steps do nothing and return it, so a
// caller may run the steps in a row and look once.
//
// Threads: the access manager's (the user-interface thread).
class HttpExchange
{
public:
    // A synchronous exchange.
    HttpExchange(HttpAccessManager& http, const QString& deviceId, const QString& host, const char* path,
                 const QString& authCode);
    // An asynchronous one: `answered` is called when the reply has ended
    // (not after the exchange has gone).
    HttpExchange(HttpAccessManager& http, const QString& deviceId, const QString& host, const char* path,
                 const QString& authCode, const std::function<void()>& answered);
    ~HttpExchange();

    HttpExchange(const HttpExchange&) = delete;
    HttpExchange& operator=(const HttpExchange&) = delete;

    int requestId() const { return m_requestId; }
    // 0, or the first failure so far.
    int32_t result() const { return m_result; }

    int32_t setTimeout(unsigned milliseconds);
    int32_t setMaxResponseSize(qint64 bytes);
    int32_t setStallTimeout(unsigned seconds);
    int32_t get();
    int32_t post(const QByteArray& body);
    // Taken over by the send (see HttpAccessManager).
    int32_t post(std::unique_ptr<StreamedBody> body);

    // The answer: what the send came to (also for an asynchronous one), then
    // the status.
    int32_t status(int& status);
    int32_t header(const char* name, std::string& value);
    int32_t body(QByteArray& body);

    // Status, and the body when the status is one a device answers with
    // (HttpStatus::isAccepted); `body` may be null.
    int32_t readAnswer(int& status, QByteArray* body);

private:
    int32_t step(int32_t result);

    HttpAccessManager& m_http;
    int m_requestId = HttpAccessManager::kNoRequest;
    int32_t m_result = ResultCode::kSuccess;
};
