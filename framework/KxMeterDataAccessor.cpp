#include "KxMeterDataAccessor.h"

#include "KxFront.h"
#include "KxMeterDataAccessorAbstractImpl.h"
#include "KxMeterDataAccessorService.h"

KxMeterDataAccessor::KxMeterDataAccessor(QObject* parent)
    : QObject(parent)
{
}

KxMeterDataAccessor::~KxMeterDataAccessor()
{
    kxDetach(this, m_impl);
}

void KxMeterDataAccessor::setDeviceID(const QString& deviceId)
{
    kxSetKey(
        this, m_deviceId, deviceId, [this] { attach(); }, &KxMeterDataAccessor::deviceIDChanged,
        &KxMeterDataAccessor::availableChanged, &KxMeterDataAccessor::channelMaxChanged);
}

void KxMeterDataAccessor::setMeterID(KxMeterID::ID meterId)
{
    kxSetKey(
        this, m_meterId, meterId, [this] { attach(); }, &KxMeterDataAccessor::meterIDChanged,
        &KxMeterDataAccessor::availableChanged, &KxMeterDataAccessor::channelMaxChanged);
}

void KxMeterDataAccessor::attach()
{
    using Impl = KxMeterDataAccessorAbstractImpl;
    kxAttach(
        this, m_impl, [this] { return KxMeterDataAccessorService::implementation(m_deviceId, m_meterId); },
        [this](Impl* impl) {
            connect(impl, &Impl::channelMaxChanged, this, &KxMeterDataAccessor::channelMaxChanged);
            connect(impl, &Impl::availableChanged, this, &KxMeterDataAccessor::availableChanged);
        });
}

bool KxMeterDataAccessor::isAvailable() const
{
    return m_impl ? m_impl->isAvailable(m_channel) : false;
}

void KxMeterDataAccessor::setChannel(int channel)
{
    if (channel == m_channel)
        return;
    m_channel = channel;
    Q_EMIT channelChanged();
    // Whether the meter can be read depends on the channel.
    Q_EMIT availableChanged();
}

int KxMeterDataAccessor::channelMax() const
{
    return m_impl ? m_impl->channelMax() : 0;
}

QVariant KxMeterDataAccessor::current(ExpressionType type) const
{
    return m_impl ? m_impl->current(type, m_channel) : QVariant();
}

bool KxMeterDataAccessor::peak() const
{
    return m_impl ? m_impl->peak(m_channel) : false;
}

bool KxMeterDataAccessor::over() const
{
    return m_impl ? m_impl->over(m_channel) : false;
}
