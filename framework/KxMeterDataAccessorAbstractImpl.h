#pragma once

#include "KxMeterDataAccessor.h"

#include <QObject>
#include <QVariant>

// What a KxMeterDataAccessor front forwards to: one device meter per
// channel, channels 0 to channelMax(). All instances live on the
// user-interface thread.
class KxMeterDataAccessorAbstractImpl : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~KxMeterDataAccessorAbstractImpl() override = default;

public Q_SLOTS:
    virtual bool isAvailable(int channel) const = 0;
    virtual QVariant current(KxMeterDataAccessor::ExpressionType type, int channel) const = 0;
    virtual bool peak(int channel) const = 0;
    virtual bool over(int channel) const = 0;
    virtual int channelMax() const = 0;

Q_SIGNALS:
    void channelMaxChanged();
    void availableChanged();
};
