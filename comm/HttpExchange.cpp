#include "HttpExchange.h"

#include "DeviceEndpoints.h"
#include "HttpStatus.h"
#include "StreamedBody.h"

HttpExchange::HttpExchange(HttpAccessManager& http, const QString& deviceId, const QString& host, const char* path,
                           const QString& authCode)
    : m_http(http)
{
    const QByteArray hostText = host.toUtf8();
    const QByteArray code = authCode.toUtf8();
    step(m_http.createSyncRequest(DeviceEndpoints::kScheme, hostText.constData(), path, nullptr, DeviceEndpoints::kPort,
                                  m_requestId, code.constData()));
    step(m_http.setPeerDevice(m_requestId, deviceId));
}

HttpExchange::HttpExchange(HttpAccessManager& http, const QString& deviceId, const QString& host, const char* path,
                           const QString& authCode, const std::function<void()>& answered)
    : m_http(http)
{
    const QByteArray hostText = host.toUtf8();
    const QByteArray code = authCode.toUtf8();
    step(m_http.createAsyncRequest(
        DeviceEndpoints::kScheme, hostText.constData(), path, nullptr, DeviceEndpoints::kPort,
        [answered](int) { answered(); }, m_requestId, code.constData()));
    step(m_http.setPeerDevice(m_requestId, deviceId));
}

HttpExchange::~HttpExchange()
{
    m_http.deleteRequest(m_requestId);
}

int32_t HttpExchange::step(int32_t result)
{
    if (ResultCode::isSuccess(m_result) && ResultCode::isFailure(result))
        m_result = result;
    return m_result;
}

int32_t HttpExchange::setTimeout(unsigned milliseconds)
{
    return ResultCode::isFailure(m_result) ? m_result : step(m_http.setTimeout(m_requestId, milliseconds));
}

int32_t HttpExchange::setStallTimeout(unsigned seconds)
{
    return ResultCode::isFailure(m_result) ? m_result : step(m_http.setStallTimeout(m_requestId, seconds));
}

int32_t HttpExchange::setMaxResponseSize(qint64 bytes)
{
    return ResultCode::isFailure(m_result) ? m_result : step(m_http.setMaxResponseSize(m_requestId, bytes));
}

int32_t HttpExchange::get()
{
    return ResultCode::isFailure(m_result) ? m_result : step(m_http.sendGetRequest(m_requestId));
}

int32_t HttpExchange::post(const QByteArray& body)
{
    return ResultCode::isFailure(m_result) ? m_result : step(m_http.sendPostRequest(m_requestId, body));
}

int32_t HttpExchange::post(std::unique_ptr<StreamedBody> body)
{
    return ResultCode::isFailure(m_result) ? m_result : step(m_http.sendPostRequest(m_requestId, std::move(body)));
}

int32_t HttpExchange::status(int& status)
{
    if (ResultCode::isFailure(m_result))
        return m_result;
    step(m_http.getSendResult(m_requestId));
    return ResultCode::isFailure(m_result) ? m_result : step(m_http.getResponseStatusCode(m_requestId, status));
}

int32_t HttpExchange::header(const char* name, std::string& value)
{
    // An absent header is no failure of the exchange.
    return ResultCode::isFailure(m_result) ? m_result : m_http.getResponseHeader(m_requestId, name, value);
}

int32_t HttpExchange::body(QByteArray& body)
{
    return ResultCode::isFailure(m_result) ? m_result : step(m_http.getResponseBody(m_requestId, body));
}

int32_t HttpExchange::readAnswer(int& answered, QByteArray* answer)
{
    if (ResultCode::isSuccess(status(answered)) && answer && HttpStatus::isAccepted(answered))
        body(*answer);
    return ResultCode::isFailure(m_result) ? m_result : ResultCode::kSuccess;
}
