#include "LoginController.h"

#include "DeviceEndpoints.h"
#include "DeviceFacade.h"
#include "HttpAccessManager.h"
#include "Logger.h"
#include "SettingsFields.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

constexpr char kScheme[] = "https";
constexpr char kAuthenticatePath[] = "/api/v1/auth/authenticate";
constexpr char kSettingsPath[] = "/api/v1/settings/self";

// What login copies from the settings document, in the order it stores them.
constexpr SettingsFields::Field kLoginFields[] = {
    SettingsFields::Field::Version, SettingsFields::Field::SerialNumber, SettingsFields::Field::DeviceStatus,
    SettingsFields::Field::Subnet,  SettingsFields::Field::Gateway,      SettingsFields::Field::Dns1,
    SettingsFields::Field::Dns2,
};

bool isAnswered(int status)
{
    return status == 200 || status == 202 || status == 204;
}

QString hex(int32_t code)
{
    return QStringLiteral("0x%1").arg(static_cast<uint32_t>(code), 8, 16, QLatin1Char('0'));
}

} // namespace

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

    int32_t result = processRequestLogin(authCode, ipAddress);
    if (ResultCode::isFailure(result)) {
        CORVANE_LOG(QStringLiteral("login to %1 failed at authenticate: %2").arg(ipAddress, hex(result)));
        return result;
    }
    setAuthCode(deviceId, authCode);
    setLoggedIn(deviceId, true);

    QByteArray body;
    result = processRequestGetDeviceInfo(authCode, ipAddress, body);
    if (ResultCode::isFailure(result)) {
        // Already marked logged in with the new code; the caller reports it.
        CORVANE_LOG(QStringLiteral("login to %1 failed at the settings read: %2").arg(ipAddress, hex(result)));
        return result;
    }
    result = saveDeviceInfo(deviceId, body);
    if (ResultCode::isFailure(result))
        CORVANE_LOG(QStringLiteral("login to %1: settings not all stored").arg(ipAddress));
    return result;
}

int32_t LoginController::processRequestLogin(const QString& authCode, const QString& ipAddress)
{
    int status = 0;
    const int32_t result = exchange(Method::Post, kAuthenticatePath, m_loginTimeout, authCode, ipAddress, status, nullptr);
    if (ResultCode::isFailure(result))
        return result;
    if (status == 403) {
        CORVANE_LOG(QStringLiteral("login to %1 refused: wrong password").arg(ipAddress));
        m_facade.setDeviceParameter(ipAddress, DeviceParameter::LoggedInStatus, false, DeviceFindPolicy::ByIpAddress);
        return kInvalidPassword;
    }
    // Any other answer means the device is there and did not refuse the
    // code; only 403 is a verdict.
    if (!isAnswered(status))
        CORVANE_LOG(QStringLiteral("authenticate on %1 answered %2, taken as accepted").arg(ipAddress).arg(status));
    return ResultCode::kSuccess;
}

int32_t LoginController::processRequestGetDeviceInfo(const QString& authCode, const QString& ipAddress,
                                                     QByteArray& body)
{
    int status = 0;
    const int32_t result = exchange(Method::Get, kSettingsPath, 0, authCode, ipAddress, status, &body);
    if (ResultCode::isSuccess(result) && !isAnswered(status))
        CORVANE_LOG(QStringLiteral("settings read on %1 answered %2, nothing read").arg(ipAddress).arg(status));
    return result;
}

int32_t LoginController::exchange(Method method, const char* path, int timeoutMs, const QString& authCode,
                                  const QString& ipAddress, int& status, QByteArray* body)
{
    const QByteArray host = ipAddress.toUtf8();
    const QByteArray code = authCode.toUtf8();
    int requestId = HttpAccessManager::kNoRequest;
    int32_t result = m_httpAccess.createSyncRequest(kScheme, host.constData(), path, nullptr, DeviceEndpoints::kPort,
                                                    requestId, code.constData());
    if (ResultCode::isSuccess(result) && timeoutMs > 0)
        result = m_httpAccess.setTimeout(requestId, static_cast<unsigned>(timeoutMs));
    if (ResultCode::isSuccess(result))
        result = method == Method::Post ? m_httpAccess.sendPostRequest(requestId, QByteArray())
                                        : m_httpAccess.sendGetRequest(requestId);
    if (ResultCode::isSuccess(result))
        result = m_httpAccess.getResponseStatusCode(requestId, status);
    if (ResultCode::isSuccess(result) && body && isAnswered(status))
        result = m_httpAccess.getResponseBody(requestId, *body);
    m_httpAccess.deleteRequest(requestId);
    return ResultCode::isFailure(result) ? result : ResultCode::kSuccess;
}

int32_t LoginController::saveDeviceInfo(const QString& deviceId, const QByteArray& body)
{
    // A malformed or empty body reads as an empty document: every value then
    // takes its default.
    const QJsonObject document = QJsonDocument::fromJson(body).object();
    bool allStored = true;
    for (const SettingsFields::Field field : kLoginFields) {
        const SettingsFields::Entry& entry = SettingsFields::entry(field);
        const QJsonValue value =
            document.value(SettingsFields::sectionKey(entry.section)).toObject().value(QLatin1String(entry.key));
        const QVariant stored = entry.kind == SettingsFields::Kind::Integer ? QVariant(value.toInt(0))
                                                                            : QVariant(value.toString());
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
