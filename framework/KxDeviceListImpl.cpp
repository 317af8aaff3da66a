#include "KxDeviceListImpl.h"

#include "DeviceFacade.h"
#include "KxImplSharing.h"
#include "Services.h"

KxDeviceListImpl::KxDeviceListImpl(QObject* parent)
    : KxDeviceListImpl(*Services::process().facade, parent)
{
}

KxDeviceListImpl::KxDeviceListImpl(DeviceFacade& facade, QObject* parent)
    : KxDeviceListAbstractImpl(parent)
    , m_facade(facade)
{
    // The views re-read the whole list; which ids changed does not matter.
    connect(&m_facade, &DeviceFacade::deviceIDsChanged, this, &KxDeviceListAbstractImpl::deviceIDsChanged);
    connect(&m_facade, &DeviceFacade::scanningChanged, this, &KxDeviceListAbstractImpl::scanningChanged);
}

KxDeviceListImpl::~KxDeviceListImpl() = default;

QStringList KxDeviceListImpl::deviceIDs() const
{
    return m_facade.deviceIDs();
}

bool KxDeviceListImpl::scanning() const
{
    return m_facade.scanning();
}

bool KxDeviceListImpl::startScan(const QVariantMap& options)
{
    // Stopping first lets the facade tell a restart on the same interface
    // (devices kept) from a switch to another one (devices removed).
    if (m_facade.scanning())
        m_facade.stopScan(options);
    return m_facade.startScan(options);
}

void KxDeviceListImpl::stopScan()
{
}

std::shared_ptr<KxDeviceListAbstractImpl> KxDeviceListImplFactory::createKxImpl()
{
    return kxMakeImpl<KxDeviceListAbstractImpl, KxDeviceListImpl>();
}
