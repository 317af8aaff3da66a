#include "KxDevice.h"

#include "KxDeviceAbstractImpl.h"
#include "KxDeviceService.h"
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
    using Impl = KxDeviceAbstractImpl;
    const auto attach = [this] {
        kxAttach(
            this, m_impl, [this] { return KxDeviceService::implementation(m_deviceId); },
            [this](Impl* impl) {
                connect(impl, &Impl::deviceIDChanged, this, &KxDevice::deviceIDChanged);
                connect(impl, &Impl::availableChanged, this, &KxDevice::availableChanged);
                connect(impl, &Impl::modelIDChanged, this, &KxDevice::modelIDChanged);
                connect(impl, &Impl::deviceNameChanged, this, &KxDevice::deviceNameChanged);
                connect(impl, &Impl::versionChanged, this, &KxDevice::versionChanged);
                connect(impl, &Impl::metaDataChanged, this, &KxDevice::metaDataChanged);
                connect(impl, &Impl::statusChanged, this, &KxDevice::statusChanged);
                connect(impl, &Impl::statusOptionsChanged, this, &KxDevice::statusOptionsChanged);
                connect(impl, &Impl::found, this, &KxDevice::found);
                connect(impl, &Impl::connectSuccessed, this, &KxDevice::connectSuccessed);
                connect(impl, &Impl::connectFailed, this, &KxDevice::connectFailed);
                connect(impl, &Impl::lost, this, &KxDevice::lost);
                connect(impl, &Impl::eventReceived, this, &KxDevice::eventReceived);
            });
    };
    kxSetKey(this, m_deviceId, id, attach, &KxDevice::deviceIDChanged, &KxDevice::availableChanged,
             &KxDevice::metaDataChanged, &KxDevice::modelIDChanged, &KxDevice::deviceNameChanged,
             &KxDevice::versionChanged, &KxDevice::statusChanged, &KxDevice::statusOptionsChanged);
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
