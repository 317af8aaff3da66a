#include "KxDeviceImpl.h"

#include "AlertNotifier.h"
#include "DeviceEndpoints.h"
#include "DeviceFacade.h"
#include "HttpAccessManager.h"
#include "KxImplSharing.h"
#include "Logger.h"
#include "LoginController.h"
#include "PushSessionService.h"
#include "Services.h"

KxDeviceImpl::KxDeviceImpl(const QString& deviceId, QObject* parent)
    : KxDeviceImpl(deviceId, *Services::process().facade, *Services::process().httpAccess,
                   Services::process().pushSessions, parent)
{
}

KxDeviceImpl::KxDeviceImpl(const QString& deviceId, DeviceFacade& facade, HttpAccessManager& httpAccess,
                           PushSessionService* pushSessions, QObject* parent)
    : KxDeviceAbstractImpl(parent)
    , m_deviceId(deviceId)
    , m_facade(facade)
    , m_httpAccess(httpAccess)
    , m_pushSessions(pushSessions)
{
    std::shared_ptr<DeviceData> record;
    if (m_facade.getDeviceData(m_deviceId, record))
        connect(record.get(), &DeviceData::dataChanged, this, &KxDeviceImpl::onDataChanged);
}

KxDeviceImpl::~KxDeviceImpl() = default;

QVariant KxDeviceImpl::read(DeviceParameter type) const
{
    QVariant value;
    m_facade.getDeviceParameter(m_deviceId, type, value, DeviceFindPolicy::ById);
    return value;
}

bool KxDeviceImpl::isAvailable() const
{
    return true;
}

QString KxDeviceImpl::deviceName() const
{
    return read(DeviceParameter::HostName).toString();
}

QString KxDeviceImpl::modelID() const
{
    return read(DeviceParameter::ModelName).toString();
}

QString KxDeviceImpl::version() const
{
    return read(DeviceParameter::Version).toString();
}

QVariantMap KxDeviceImpl::metaData() const
{
    QVariant serialNumber;
    QVariant networkSettings;
    if (!m_facade.getDeviceParameter(m_deviceId, DeviceParameter::SerialNumber, serialNumber, DeviceFindPolicy::ById)
        || !m_facade.getDeviceParameter(m_deviceId, DeviceParameter::AllNetworkSettings, networkSettings,
                                        DeviceFindPolicy::ById))
        return {};
    return {{QStringLiteral("serialNumber"), serialNumber}, {QStringLiteral("networkSettings"), networkSettings}};
}

int KxDeviceImpl::status() const
{
    // An unknown device reads as lost (0), not as undetermined.
    return read(DeviceParameter::ConnectionStatus).toInt();
}

QVariantMap KxDeviceImpl::statusOptions() const
{
    return read(DeviceParameter::AllDeviceStatus).toMap();
}

void KxDeviceImpl::setMetaData(const QVariantMap&)
{
    // The record's identity comes from the device; views do not write it.
}

bool KxDeviceImpl::requestConnect(const QVariantMap&)
{
    // The push channel follows the login; there is no separate connect.
    return false;
}

bool KxDeviceImpl::disconnect()
{
    return false;
}

bool KxDeviceImpl::sendEvent(KxDeviceEventID::ID eventID, const QVariantMap& options)
{
    if (eventID == KxDeviceEventID::RequestLogin)
        requestLogin(options.value(QStringLiteral("password")).toString());
    return true;
}

void KxDeviceImpl::requestLogin(const QString& password)
{
    const QString authCode = LoginController::authCodeOf(password);
    LoginController login(m_facade, m_httpAccess);
    const int32_t result = login.requestLogin(m_deviceId, authCode);
    if (ResultCode::isFailure(result)) {
        AlertNotifier::notify(static_cast<unsigned int>(result));
        return;
    }

    if (!m_pushSessions) {
        CORVANE_LOG("logged in, but there are no push sessions to open the channel with");
        return;
    }
    const int32_t opened = m_pushSessions->createSession(m_deviceId, DeviceEndpoints::kPushPort);
    if (ResultCode::isFailure(opened))
        CORVANE_LOG(QStringLiteral("push session for %1 not created: %2").arg(m_deviceId, ResultCode::toHex(opened)));
}

void KxDeviceImpl::onDataChanged(const QString&, DeviceParameter type)
{
    if (isDeviceStatus(type) || type == DeviceParameter::AllDeviceStatus) {
        Q_EMIT statusOptionsChanged();
        return;
    }
    switch (type) {
    case DeviceParameter::HostName:
        Q_EMIT deviceNameChanged();
        break;
    case DeviceParameter::ModelName:
        Q_EMIT modelIDChanged();
        break;
    case DeviceParameter::Version:
        Q_EMIT versionChanged();
        break;
    case DeviceParameter::SerialNumber:
    case DeviceParameter::AllNetworkSettings:
    case DeviceParameter::IpAddress:
    case DeviceParameter::SubnetMask:
    case DeviceParameter::DefaultGateway:
    case DeviceParameter::DnsServer1:
    case DeviceParameter::DnsServer2:
        Q_EMIT metaDataChanged();
        break;
    case DeviceParameter::ConnectionStatus:
        // The status map carries the status text derived from the connection.
        Q_EMIT statusChanged();
        Q_EMIT statusOptionsChanged();
        break;
    default:
        break;
    }
}

std::shared_ptr<KxDeviceAbstractImpl> KxDeviceImplFactory::createKxImpl(const QString& deviceId)
{
    if (deviceId.isEmpty())
        return nullptr;
    return kxMakeImpl<KxDeviceAbstractImpl, KxDeviceImpl>(deviceId);
}
