#include "KxParameterAccessor.h"

#include "KxFront.h"
#include "KxParameterAccessorAbstractImpl.h"
#include "KxParameterAccessorService.h"

KxParameterAccessor::KxParameterAccessor(QObject* parent)
    : QObject(parent)
{
}

KxParameterAccessor::~KxParameterAccessor()
{
    kxDetach(this, m_impl);
}

void KxParameterAccessor::setDeviceID(const QString& deviceId)
{
    kxSetKey(
        this, m_deviceId, deviceId, [this] { attach(); }, &KxParameterAccessor::deviceIDChanged,
        &KxParameterAccessor::availableChanged, &KxParameterAccessor::currentChanged,
        &KxParameterAccessor::channelMaxChanged);
}

void KxParameterAccessor::setParamID(KxParamID::ID paramId)
{
    kxSetKey(
        this, m_paramId, paramId, [this] { attach(); }, &KxParameterAccessor::paramIDChanged,
        &KxParameterAccessor::availableChanged, &KxParameterAccessor::currentChanged,
        &KxParameterAccessor::channelMaxChanged);
}

void KxParameterAccessor::attach()
{
    using Impl = KxParameterAccessorAbstractImpl;
    kxAttach(
        this, m_impl, [this] { return KxParameterAccessorService::implementation(m_deviceId, m_paramId); },
        [this](Impl* impl) {
            connect(impl, &Impl::currentChanged, this, &KxParameterAccessor::onImplCurrentChanged);
            connect(impl, &Impl::channelMaxChanged, this, &KxParameterAccessor::channelMaxChanged);
            connect(impl, &Impl::availableChanged, this, &KxParameterAccessor::availableChanged);
        });
}

void KxParameterAccessor::onImplCurrentChanged(int channel)
{
    if (m_notification && channel == m_channel)
        Q_EMIT currentChanged();
}

bool KxParameterAccessor::isAvailable() const
{
    return m_impl ? m_impl->isAvailable(m_channel) : false;
}

void KxParameterAccessor::setChannel(int channel)
{
    if (channel == m_channel)
        return;
    m_channel = channel;
    Q_EMIT channelChanged();
    // Whether the value can be had depends on the channel.
    Q_EMIT availableChanged();
}

int KxParameterAccessor::channelMax() const
{
    return m_impl ? m_impl->channelMax() : 0;
}

void KxParameterAccessor::setNotification(bool notification)
{
    if (notification == m_notification)
        return;
    m_notification = notification;
    Q_EMIT notificationChanged();
}

QVariant KxParameterAccessor::current(ExpressionType type) const
{
    return m_impl ? m_impl->current(type, m_channel) : QVariant();
}

QVariant KxParameterAccessor::initial(ExpressionType type) const
{
    return m_impl ? m_impl->initial(type, m_channel) : QVariant();
}

QVariant KxParameterAccessor::minimum(ExpressionType type) const
{
    return m_impl ? m_impl->minimum(type, m_channel) : QVariant();
}

QVariant KxParameterAccessor::maximum(ExpressionType type) const
{
    return m_impl ? m_impl->maximum(type, m_channel) : QVariant();
}

void KxParameterAccessor::setCurrent(const QVariant& value, ExpressionType type, bool fineMode)
{
    if (m_impl)
        m_impl->setCurrent(value, type, m_channel, fineMode);
}

void KxParameterAccessor::incDec(int incDecCount, bool fineMode)
{
    if (m_impl)
        m_impl->incDec(incDecCount, m_channel, fineMode);
}
