#pragma once

#include "DeviceFacade.h"
#include "HttpAccessManager.h"
#include "ResultCode.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

// Logs in to one device: authenticates with the device's authentication code
// (MD5 hex of the operator's password), marks the device logged in with that
// code, reads the device's settings document once and copies version, serial
// number, running status and network settings into the device record. No
// state between calls; create one per login.
//
// Results: 0 on success, else the failure code of the step that failed:
// kInvalidPassword (the device answered 403), the HTTP access manager's codes
// (time-out, no status), ResultCode::kFailure (a record value could not be
// read or stored).
//
// Threads: the thread of the HTTP access manager (the user-interface
// thread). Each exchange waits in the manager's nested event loop, so other
// events, a second login among them, run meanwhile. Neither the code nor the
// "Authorization" header is ever logged.
class LoginController
{
public:
    // The device refused the authentication code (403).
    static constexpr int32_t kInvalidPassword = ResultCode::failure(ResultCode::Facility::Login, 0x0001);

    static constexpr int kLoginTimeoutMs = 10000;

    // The process-wide facade and manager unless others are given; both must
    // outlive the controller.
    explicit LoginController(DeviceFacade& facade = DeviceFacade::getInstance(),
                             HttpAccessManager& httpAccess = HttpAccessManager::getInstance());

    // The whole sequence for the device with this id. A device the facade does
    // not know gives ResultCode::kFailure without any exchange.
    int32_t requestLogin(const QString& deviceId, const QString& authCode);

    // POST /api/v1/auth/authenticate with a 10 s time-out. 200, 202, 204 and
    // any other status but 403 are success; 403 marks the device (found by
    // address) logged out and gives kInvalidPassword.
    int32_t processRequestLogin(const QString& authCode, const QString& ipAddress);

    // GET /api/v1/settings/self; the body is read for 200, 202 and 204 only
    // and left empty otherwise.
    int32_t processRequestGetDeviceInfo(const QString& authCode, const QString& ipAddress, QByteArray& body);

    // Stores the seven login values of the document (missing ones as "" or
    // 0); 0 when every store succeeded, else ResultCode::kFailure, all seven
    // tried either way.
    int32_t saveDeviceInfo(const QString& deviceId, const QByteArray& body);

    bool setAuthCode(const QString& deviceId, const QString& authCode);
    bool setLoggedIn(const QString& deviceId, bool loggedIn);

private:
    enum class Method { Get, Post };
    // One synchronous exchange; the request is deleted before returning.
    int32_t exchange(Method method, const char* path, int timeoutMs, const QString& authCode,
                     const QString& ipAddress, int& status, QByteArray* body);

    const int m_loginTimeout = kLoginTimeoutMs;
    HttpAccessManager& m_httpAccess;
    DeviceFacade& m_facade;
};
