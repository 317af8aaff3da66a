#include "LoginController.h"

#include "DeviceEndpoints.h"
#include "DeviceFacade.h"
#include "HashGenerator.h"
#include "HttpAccessManager.h"
#include "HttpExchange.h"
#include "HttpStatus.h"
#include "Logger.h"
#include "SettingsFields.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <climits>
#include <cmath>
#include <memory>

namespace {

using DeviceEndpoints::kAuthenticatePath;
using DeviceEndpoints::kSettingsPath;

// What login copies from the settings document, in the order it stores them.
constexpr SettingsFields::Field kLoginFields[] = {
    SettingsFields::Field::Version, SettingsFields::Field::SerialNumber, SettingsFields::Field::DeviceStatus,
    SettingsFields::Field::Subnet,  SettingsFields::Field::Gateway,      SettingsFields::Field::Dns1,
    SettingsFields::Field::Dns2,
};

} // namespace

QString LoginController::authCodeOf(const QString& password)
{
    return QString::fromLatin1(HashGenerator::generate(password.toUtf8(), QCryptographicHash::Md5).toHex());
}

LoginController::LoginController(DeviceFacade& facade, HttpAccessManager& httpAccess)
    : m_httpAccess(httpAccess)
    , m_facade(facade)
{
}

int32_t LoginController::requestLogin(const QString& deviceId, const QString& authCode)
{
    QVariant address;
    if (!m_facade.getDeviceParameter(deviceId, DeviceParameter::IpAddress, address, DeviceFindPolicy::ById)) {
        CORVANE_LOG(QStringLiteral("login: no device %1").arg(deviceId));
        return ResultCode::kFailure;
    }
    const QString ipAddress = address.toString();

    const int32_t result = processRequestLogin(authCode, deviceId, ipAddress);
    if (ResultCode::isFailure(result)) {
        CORVANE_LOG(QStringLiteral("login to %1 failed at authenticate: %2").arg(ipAddress, ResultCode::toHex(result)));
        return result;
    }
    markAuthenticated(deviceId, authCode);

    QByteArray body;
    int status = 0;
    const int32_t read = exchange(Method::Get, kSettingsPath, 0, authCode, deviceId, ipAddress, status, &body);
    return afterSettingsRead(deviceId, ipAddress, read, status, body);
}

// The steps of requestLogin, each started from the previous one's answer.
class AsyncLogin : public QObject
{
public:
    AsyncLogin(const LoginController& login, const QString& deviceId, const QString& ipAddress, const QString& authCode,
               const LoginController::Done& done, QObject* context)
        : QObject(context)
        , m_login(login)
        , m_deviceId(deviceId)
        , m_ipAddress(ipAddress)
        , m_authCode(authCode)
        , m_done(done)
    {
    }

    void start()
    {
        exchange(LoginController::Method::Post, kAuthenticatePath, m_login.m_loginTimeout, false,
                 [this](int32_t result, int status, const QByteArray&) {
                     if (ResultCode::isSuccess(result))
                         result = m_login.authenticateVerdict(m_deviceId, m_ipAddress, status);
                     if (ResultCode::isFailure(result)) {
                         CORVANE_LOG(QStringLiteral("login to %1 failed at authenticate: %2")
                                         .arg(m_ipAddress, ResultCode::toHex(result)));
                         return finish(result);
                     }
                     m_login.markAuthenticated(m_deviceId, m_authCode);
                     exchange(LoginController::Method::Get, kSettingsPath, 0, true,
                              [this](int32_t read, int settingsStatus, const QByteArray& body) {
                                  finish(
                                      m_login.afterSettingsRead(m_deviceId, m_ipAddress, read, settingsStatus, body));
                              });
                 });
    }

private:
    using Next = std::function<void(int32_t result, int status, const QByteArray& body)>;

    // One asynchronous exchange; `next` gets its answer. The exchange (and
    // with it the request) goes with this object or with the next exchange.
    void exchange(LoginController::Method method, const char* path, int timeoutMs, bool wantBody, const Next& next)
    {
        m_exchange = std::make_unique<HttpExchange>(
            m_login.m_httpAccess, m_deviceId, m_ipAddress, path, m_authCode, [this, wantBody, next] {
                int status = 0;
                QByteArray body;
                const int32_t result = m_exchange->readAnswer(status, wantBody ? &body : nullptr);
                next(result, status, body);
            });
        m_login.prepare(*m_exchange, timeoutMs, wantBody);
        const int32_t sent
            = method == LoginController::Method::Post ? m_exchange->post(QByteArray()) : m_exchange->get();
        if (ResultCode::isFailure(sent))
            QMetaObject::invokeMethod(
                this, [next, sent] { next(sent, 0, QByteArray()); }, Qt::QueuedConnection);
    }

    void finish(int32_t result)
    {
        const LoginController::Done done = m_done;
        deleteLater();
        done(result);
    }

    LoginController m_login;
    const QString m_deviceId;
    const QString m_ipAddress;
    const QString m_authCode;
    const LoginController::Done m_done;
    std::unique_ptr<HttpExchange> m_exchange;
};

void LoginController::requestLoginAsync(const QString& deviceId, const QString& authCode, QObject* context,
                                        const Done& done)
{
    QVariant address;
    if (!m_facade.getDeviceParameter(deviceId, DeviceParameter::IpAddress, address, DeviceFindPolicy::ById)) {
        CORVANE_LOG(QStringLiteral("login: no device %1").arg(deviceId));
        QMetaObject::invokeMethod(
            context, [done] { done(ResultCode::kFailure); }, Qt::QueuedConnection);
        return;
    }
    auto* login = new AsyncLogin(*this, deviceId, address.toString(), authCode, done, context);
    login->start();
}

int32_t LoginController::processRequestLogin(const QString& authCode, const QString& deviceId, const QString& ipAddress)
{
    int status = 0;
    const int32_t result
        = exchange(Method::Post, kAuthenticatePath, m_loginTimeout, authCode, deviceId, ipAddress, status, nullptr);
    if (ResultCode::isFailure(result))
        return result;
    return authenticateVerdict(deviceId, ipAddress, status);
}

int32_t LoginController::authenticateVerdict(const QString& deviceId, const QString& ipAddress, int status)
{
    if (status == 401 || status == 403) {
        CORVANE_LOG(QStringLiteral("login to %1 refused (%2): wrong password").arg(ipAddress).arg(status));
        m_facade.setDeviceParameter(deviceId, DeviceParameter::LoggedInStatus, false, DeviceFindPolicy::ById);
        return kInvalidPassword;
    }
    // The device is there but could not judge the code: no login.
    if (status >= 500 && status <= 599) {
        CORVANE_LOG(QStringLiteral("login to %1: authenticate answered %2").arg(ipAddress).arg(status));
        return deviceError(status);
    }
    if (!HttpStatus::isAccepted(status))
        CORVANE_LOG(QStringLiteral("authenticate on %1 answered %2, taken as accepted").arg(ipAddress).arg(status));
    return ResultCode::kSuccess;
}

void LoginController::markAuthenticated(const QString& deviceId, const QString& authCode)
{
    setAuthCode(deviceId, authCode);
    setLoggedIn(deviceId, true);
}

int32_t LoginController::afterSettingsRead(const QString& deviceId, const QString& ipAddress, int32_t result,
                                           int status, const QByteArray& body)
{
    if (ResultCode::isFailure(result)) {
        // Authenticated but not done: logged out again, so that the device
        // offers its login instead of looking logged in without a channel.
        CORVANE_LOG(
            QStringLiteral("login to %1 failed at the settings read: %2").arg(ipAddress, ResultCode::toHex(result)));
        setLoggedIn(deviceId, false);
        return result;
    }
    if (!HttpStatus::isAccepted(status))
        CORVANE_LOG(QStringLiteral("settings read on %1 answered %2, nothing read").arg(ipAddress).arg(status));
    result = saveDeviceInfo(deviceId, body);
    if (ResultCode::isFailure(result))
        CORVANE_LOG(QStringLiteral("login to %1: settings not all stored").arg(ipAddress));
    return result;
}

int32_t LoginController::processRequestGetDeviceInfo(const QString& authCode, const QString& deviceId,
                                                     const QString& ipAddress, QByteArray& body)
{
    int status = 0;
    const int32_t result = exchange(Method::Get, kSettingsPath, 0, authCode, deviceId, ipAddress, status, &body);
    if (ResultCode::isSuccess(result) && !HttpStatus::isAccepted(status))
        CORVANE_LOG(QStringLiteral("settings read on %1 answered %2, nothing read").arg(ipAddress).arg(status));
    return result;
}

int32_t LoginController::exchange(Method method, const char* path, int timeoutMs, const QString& authCode,
                                  const QString& deviceId, const QString& ipAddress, int& status, QByteArray* body)
{
    HttpExchange exchange(m_httpAccess, deviceId, ipAddress, path, authCode);
    prepare(exchange, timeoutMs, body != nullptr);
    if (method == Method::Post)
        exchange.post(QByteArray());
    else
        exchange.get();
    return exchange.readAnswer(status, body);
}

void LoginController::prepare(HttpExchange& exchange, int timeoutMs, bool readsSettings) const
{
    if (timeoutMs > 0)
        exchange.setTimeout(static_cast<unsigned>(timeoutMs));
    if (readsSettings)
        exchange.setMaxResponseSize(kMaxSettingsBytes);
}

int32_t LoginController::saveDeviceInfo(const QString& deviceId, const QByteArray& body)
{
    // No document (an empty, malformed or other body) says nothing about the
    // device: what the record holds stays.
    QVariant known;
    if (!m_facade.getDeviceParameter(deviceId, DeviceParameter::DeviceId, known, DeviceFindPolicy::ById))
        return ResultCode::kFailure;
    const QJsonDocument parsed = QJsonDocument::fromJson(body);
    if (!parsed.isObject()) {
        CORVANE_LOG(QStringLiteral("no settings document from %1; the record keeps its values").arg(deviceId));
        return ResultCode::kSuccess;
    }
    const QJsonObject document = parsed.object();
    bool allStored = true;
    for (const SettingsFields::Field field : kLoginFields) {
        const SettingsFields::Entry& entry = SettingsFields::entry(field);
        const QJsonValue value
            = document.value(SettingsFields::sectionKey(entry.section)).toObject().value(QLatin1String(entry.key));
        QVariant stored;
        if (entry.kind == SettingsFields::Kind::Integer) {
            // A state the document does not give is not "idle".
            const double number = value.toDouble();
            if (!value.isDouble() || number < INT_MIN || number > INT_MAX || std::floor(number) != number)
                continue;
            stored = static_cast<int>(number);
        } else {
            stored = value.toString();
        }
        if (!m_facade.setDeviceParameter(deviceId, entry.parameter, stored, DeviceFindPolicy::ById))
            allStored = false;
    }
    return allStored ? ResultCode::kSuccess : ResultCode::kFailure;
}

bool LoginController::setAuthCode(const QString& deviceId, const QString& authCode)
{
    return m_facade.setDeviceParameter(deviceId, DeviceParameter::AcceptedMd5Password, authCode,
                                       DeviceFindPolicy::ById);
}

bool LoginController::setLoggedIn(const QString& deviceId, bool loggedIn)
{
    return m_facade.setDeviceParameter(deviceId, DeviceParameter::LoggedInStatus, loggedIn, DeviceFindPolicy::ById);
}
