#include "KxDevice.h"

#include "KxDeviceAbstractImpl.h"
#include "KxDeviceImpl.h"
#include "KxFront.h"

KxDevice::KxDevice(QObject* parent)
    : QObject(parent)
{
}

KxDevice::~KxDevice()
{
    detach();
}

void KxDevice::detach()
{
    kxDetach(this, m_impl);
}

void KxDevice::setDeviceID(const QString& id)
{
    if (id == m_deviceId)
        return;
    m_deviceId = id;
    detach();

    m_impl = KxDeviceService::implementation(id);
    if (KxDeviceAbstractImpl* impl = m_impl.get()) {
        connect(impl, &KxDeviceAbstractImpl::deviceIDChanged, this, &KxDevice::deviceIDChanged);
        connect(impl, &KxDeviceAbstractImpl::availableChanged, this, &KxDevice::availableChanged);
        connect(impl, &KxDeviceAbstractImpl::modelIDChanged, this, &KxDevice::modelIDChanged);
        connect(impl, &KxDeviceAbstractImpl::deviceNameChanged, this, &KxDevice::deviceNameChanged);
        connect(impl, &KxDeviceAbstractImpl::versionChanged, this, &KxDevice::versionChanged);
        connect(impl, &KxDeviceAbstractImpl::metaDataChanged, this, &KxDevice::metaDataChanged);
        connect(impl, &KxDeviceAbstractImpl::statusChanged, this, &KxDevice::statusChanged);
        connect(impl, &KxDeviceAbstractImpl::statusOptionsChanged, this, &KxDevice::statusOptionsChanged);
        connect(impl, &KxDeviceAbstractImpl::found, this, &KxDevice::found);
        connect(impl, &KxDeviceAbstractImpl::connectSuccessed, this, &KxDevice::connectSuccessed);
        connect(impl, &KxDeviceAbstractImpl::connectFailed, this, &KxDevice::connectFailed);
        connect(impl, &KxDeviceAbstractImpl::lost, this, &KxDevice::lost);
        connect(impl, &KxDeviceAbstractImpl::eventReceived, this, &KxDevice::eventReceived);
    }

    Q_EMIT deviceIDChanged();
    Q_EMIT availableChanged();
    Q_EMIT metaDataChanged();
    Q_EMIT modelIDChanged();
    Q_EMIT deviceNameChanged();
    Q_EMIT versionChanged();
    Q_EMIT statusChanged();
    Q_EMIT statusOptionsChanged();
}

bool KxDevice::isAvailable() const
{
    return m_impl ? m_impl->isAvailable() : false;
}

QVariantMap KxDevice::metaData() const
{
    return m_impl ? m_impl->metaData() : QVariantMap();
}

void KxDevice::setMetaData(const QVariantMap& metaData)
{
    if (m_impl)
        m_impl->setMetaData(metaData);
}

QString KxDevice::modelID() const
{
    return m_impl ? m_impl->modelID() : QString();
}

QString KxDevice::deviceName() const
{
    return m_impl ? m_impl->deviceName() : QString();
}

QString KxDevice::version() const
{
    return m_impl ? m_impl->version() : QString();
}

KxDevice::DeviceStatus KxDevice::status() const
{
    return m_impl ? static_cast<DeviceStatus>(m_impl->status()) : InvalidDeviceStatus;
}

QVariantMap KxDevice::statusOptions() const
{
    return m_impl ? m_impl->statusOptions() : QVariantMap();
}

bool KxDevice::requestConnect(const QVariantMap& options)
{
    return m_impl ? m_impl->requestConnect(options) : false;
}

bool KxDevice::disconnect()
{
    return m_impl ? m_impl->disconnect() : false;
}

bool KxDevice::sendEvent(KxDeviceEventID::ID event, const QVariantMap& options)
{
    // The login waits in a nested event loop, where this front may let go of
    // the implementation (a new id, or its own destruction).
    const std::shared_ptr<KxDeviceAbstractImpl> impl = m_impl;
    return impl ? impl->sendEvent(event, options) : false;
}
