#pragma once

#include "KxParameterAccessor.h"

#include <QObject>
#include <QVariant>

// What a KxParameterAccessor front forwards to: one device value per channel,
// channels 0 to channelMax(). currentChanged(channel) follows every write on
// that channel. All instances live on the user-interface thread.
class KxParameterAccessorAbstractImpl : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~KxParameterAccessorAbstractImpl() override = default;

public Q_SLOTS:
    virtual bool isAvailable(int channel) const = 0;
    virtual int channelMax() const = 0;
    virtual QVariant current(KxParameterAccessor::ExpressionType type, int channel) const = 0;
    virtual QVariant initial(KxParameterAccessor::ExpressionType type, int channel) const = 0;
    virtual QVariant minimum(KxParameterAccessor::ExpressionType type, int channel) const = 0;
    virtual QVariant maximum(KxParameterAccessor::ExpressionType type, int channel) const = 0;
    virtual void setCurrent(const QVariant& value, KxParameterAccessor::ExpressionType type, int channel, bool fineMode)
        = 0;
    virtual void incDec(int count, int channel, bool fineMode) = 0;

Q_SIGNALS:
    void currentChanged(int channel);
    void channelMaxChanged();
    void availableChanged();
};
