#include "KxParameterAccessor.h"

#include "KxFront.h"
#include "KxParameterAccessorAbstractImpl.h"
#include "KxParameterAccessorImpl_Template.h"

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
    if (deviceId == m_deviceId)
        return;
    m_deviceId = deviceId;
    attach();
    Q_EMIT deviceIDChanged();
    Q_EMIT availableChanged();
    Q_EMIT currentChanged();
    Q_EMIT channelMaxChanged();
}

void KxParameterAccessor::setParamID(KxParamID::ID paramId)
{
    if (paramId == m_paramId)
        return;
    m_paramId = paramId;
    attach();
    Q_EMIT paramIDChanged();
    Q_EMIT availableChanged();
    Q_EMIT currentChanged();
    Q_EMIT channelMaxChanged();
}

void KxParameterAccessor::attach()
{
    kxDetach(this, m_impl);
    m_impl = KxParameterAccessorService::implementation(m_deviceId, m_paramId);
    if (KxParameterAccessorAbstractImpl* impl = m_impl.get()) {
        connect(impl, &KxParameterAccessorAbstractImpl::currentChanged, this,
                &KxParameterAccessor::onImplCurrentChanged);
        connect(impl, &KxParameterAccessorAbstractImpl::channelMaxChanged, this,
                &KxParameterAccessor::channelMaxChanged);
        connect(impl, &KxParameterAccessorAbstractImpl::availableChanged, this, &KxParameterAccessor::availableChanged);
    }
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
