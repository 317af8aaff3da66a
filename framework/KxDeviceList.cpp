#include "KxDeviceList.h"

#include "KxDeviceListAbstractImpl.h"
#include "KxDeviceListService.h"
#include "Logger.h"

KxDeviceList::KxDeviceList(QObject* parent)
    : QObject(parent)
    , m_impl(KxDeviceListService::implementation())
{
    if (!m_impl) {
        CORVANE_LOG("[KxDeviceList::KxDeviceList] >>> pImpl is nullptr");
        return;
    }
    connect(m_impl.get(), &KxDeviceListAbstractImpl::deviceIDsChanged, this, &KxDeviceList::deviceIDsChanged);
    connect(m_impl.get(), &KxDeviceListAbstractImpl::scanningChanged, this, &KxDeviceList::scanningChanged);
}

KxDeviceList::~KxDeviceList() = default;

QStringList KxDeviceList::deviceIDs() const
{
    return m_impl ? m_impl->deviceIDs() : QStringList();
}

bool KxDeviceList::scanning() const
{
    return m_impl ? m_impl->scanning() : false;
}

bool KxDeviceList::startScan(const QVariantMap& options)
{
    return m_impl ? m_impl->startScan(options) : false;
}

void KxDeviceList::stopScan()
{
    if (m_impl)
        m_impl->stopScan();
}
