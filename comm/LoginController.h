#pragma once

#include "DeviceFacade.h"
#include "HttpAccessManager.h"
#include "ResultCode.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>

// Logs in to one device: authenticates with the device's authentication code
// (MD5 hex of the operator's password), marks the device logged in with that
// code, reads the device's settings document once and copies version, serial
// number, running status and network settings into the device record. No
// state between calls; create one per login.
//
// Results: 0 on success, else the failure code of the step that failed:
// kInvalidPassword (the device answered 401 or 403), deviceError(status) (a
// 5xx answer to authenticate), the HTTP access manager's codes (time-out, no
// status, an oversize answer), ResultCode::kFailure (a record value could not
// be read or stored). A login that fails after authenticate leaves the device
// marked logged out, so that the operator can always log in again.
//
// Threads: the thread of the HTTP access manager (the user-interface
// thread). requestLogin waits in the manager's nested event loop, so other
// events run meanwhile: it is for the operator's own login. Background work
// (re-login of a failed push channel) uses requestLoginAsync, which never
// waits. Neither the code nor the "Authorization" header is ever logged.
class HttpExchange;

class LoginController
{
public:
    // The device refused the authentication code (403).
    static constexpr int32_t kInvalidPassword = ResultCode::failure(ResultCode::Facility::Login, 0x0001);

    static constexpr int kLoginTimeoutMs = 10000;

    // The code a login sends for `password` (the devices' own scheme: the
    // MD5 of its UTF-8 bytes, in lower-case hex); both front ends use it.
    static QString authCodeOf(const QString& password);
    // A settings document is a few hundred bytes; anything near this is no
    // settings document.
    static constexpr qint64 kMaxSettingsBytes = 64 * 1024;

    // A device error (5xx) answered to authenticate: the status in the low
    // bits (500 gives 0x801101F4).
    static constexpr int32_t deviceError(int status)
    {
        return ResultCode::failure(ResultCode::Facility::Login, static_cast<uint16_t>(status));
    }

    using Done = std::function<void(int32_t)>;

    // The process-wide facade and manager unless others are given; both must
    // outlive the controller.
    explicit LoginController(DeviceFacade& facade = DeviceFacade::getInstance(),
                             HttpAccessManager& httpAccess = HttpAccessManager::getInstance());

    // The whole sequence for the device with this id. A device the facade does
    // not know gives ResultCode::kFailure without any exchange.
    int32_t requestLogin(const QString& deviceId, const QString& authCode);

    // The same sequence without a nested wait: every exchange is
    // asynchronous, and `done` is called once with the result, always after
    // this call has returned. Nothing is called once `context` is gone.
    void requestLoginAsync(const QString& deviceId, const QString& authCode, QObject* context, const Done& done);

    // POST /api/v1/auth/authenticate with a 10 s time-out, to the device
    // `deviceId` at `ipAddress`. 401 and 403 mark the device logged out and
    // give kInvalidPassword; a 5xx gives deviceError(status); any other
    // status is success.
    int32_t processRequestLogin(const QString& authCode, const QString& deviceId, const QString& ipAddress);

    // GET /api/v1/settings/self; the body is read for 200, 202 and 204 only
    // and left empty otherwise. An answer past kMaxSettingsBytes fails with
    // the manager's kTooLarge.
    int32_t processRequestGetDeviceInfo(const QString& authCode, const QString& deviceId, const QString& ipAddress,
                                        QByteArray& body);

    // Stores the login values of the document: strings missing from it as
    // "", the running status only when the document holds it as a whole
    // number. A body that is no JSON object is no document: nothing is
    // stored and the result is 0. Else 0 when every store succeeded,
    // ResultCode::kFailure otherwise, all tried either way.
    int32_t saveDeviceInfo(const QString& deviceId, const QByteArray& body);

    bool setAuthCode(const QString& deviceId, const QString& authCode);
    bool setLoggedIn(const QString& deviceId, bool loggedIn);

private:
    friend class AsyncLogin;
    enum class Method { Get, Post };
    // One synchronous exchange; the request is deleted before returning.
    int32_t exchange(Method method, const char* path, int timeoutMs, const QString& authCode, const QString& deviceId,
                     const QString& ipAddress, int& status, QByteArray* body);
    // The time-out (none: the request's default) and, for the settings
    // read, the size limit of an exchange.
    void prepare(HttpExchange& exchange, int timeoutMs, bool readsSettings) const;

    // What the steps make of their answers, shared by both ways of waiting.
    int32_t authenticateVerdict(const QString& deviceId, const QString& ipAddress, int status);
    void markAuthenticated(const QString& deviceId, const QString& authCode);
    int32_t afterSettingsRead(const QString& deviceId, const QString& ipAddress, int32_t result, int status,
                              const QByteArray& body);

    const int m_loginTimeout = kLoginTimeoutMs;
    HttpAccessManager& m_httpAccess;
    DeviceFacade& m_facade;
};
