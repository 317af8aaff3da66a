#pragma once

#include "KxMeterID.h"

#include <QObject>
#include <QString>
#include <QVariant>

#include <memory>

class KxMeterDataAccessorAbstractImpl;

// One meter of one device for the views, named by device id and meter id,
// read on this object's channel. All accessors of the same device and meter
// share one implementation; without one (empty id, InvalidID or an id out of
// range) `current` is an invalid variant, `peak`, `over` and `available`
// false and `channelMax` 0. User-interface thread only.
class KxMeterDataAccessor : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString deviceID READ deviceID WRITE setDeviceID NOTIFY deviceIDChanged)
    Q_PROPERTY(KxMeterID::ID meterID READ meterID WRITE setMeterID NOTIFY meterIDChanged)
    Q_PROPERTY(bool available READ isAvailable NOTIFY availableChanged)
    Q_PROPERTY(int channel READ channel WRITE setChannel NOTIFY channelChanged)
    Q_PROPERTY(int channelMax READ channelMax NOTIFY channelMaxChanged)

public:
    enum ExpressionType : int {
        InvalidExpressionType = -1,
        Normalized = 0,
        LinearNormalizedWithDecibel = 1,
        RawData = 2,
        Text = 3,
        NumberOfExpressionTypes = 4
    };
    Q_ENUM(ExpressionType)

    explicit KxMeterDataAccessor(QObject* parent = nullptr);
    ~KxMeterDataAccessor() override;

    QString deviceID() const { return m_deviceId; }
    // Both attach to the implementation shared under (device id, meter id)
    // and announce the id, `available` and `channelMax` as changed; the same
    // value again does nothing.
    void setDeviceID(const QString& deviceId);
    KxMeterID::ID meterID() const { return m_meterId; }
    void setMeterID(KxMeterID::ID meterId);

    bool isAvailable() const;
    int channel() const { return m_channel; }
    void setChannel(int channel);
    int channelMax() const;

    Q_INVOKABLE QVariant current(KxMeterDataAccessor::ExpressionType type = Normalized) const;
    Q_INVOKABLE bool peak() const;
    Q_INVOKABLE bool over() const;

Q_SIGNALS:
    void deviceIDChanged();
    void meterIDChanged();
    void availableChanged();
    void channelChanged();
    void channelMaxChanged();

private:
    void attach();

    std::shared_ptr<KxMeterDataAccessorAbstractImpl> m_impl;
    QString m_deviceId;
    KxMeterID::ID m_meterId = KxMeterID::InvalidID;
    int m_channel = 0;
};
