#pragma once

#include "KxParamID.h"

#include <QObject>
#include <QString>
#include <QVariant>

#include <memory>

class KxParameterAccessorAbstractImpl;

// One value of one device for the views, named by device id and parameter
// id, read and written on this object's channel. All accessors of the same
// device and parameter share one implementation; without one (empty id,
// InvalidID or an id out of range) reads give invalid variants, `available`
// false and `channelMax` 0, and writes do nothing.
// User-interface thread only.
class KxParameterAccessor : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString deviceID READ deviceID WRITE setDeviceID NOTIFY deviceIDChanged)
    Q_PROPERTY(KxParamID::ID paramID READ paramID WRITE setParamID NOTIFY paramIDChanged)
    Q_PROPERTY(bool available READ isAvailable NOTIFY availableChanged)
    Q_PROPERTY(int channel READ channel WRITE setChannel NOTIFY channelChanged)
    Q_PROPERTY(int channelMax READ channelMax NOTIFY channelMaxChanged)
    Q_PROPERTY(bool notification READ notification WRITE setNotification NOTIFY notificationChanged)

public:
    enum ExpressionType : int { Index = 0, Text = 1, Value = 2, ExpressionTypeMax = 3 };
    Q_ENUM(ExpressionType)

    explicit KxParameterAccessor(QObject* parent = nullptr);
    ~KxParameterAccessor() override;

    QString deviceID() const { return m_deviceId; }
    // Both attach to the implementation shared under (device id, parameter
    // id) and announce the id, `available`, `current` and `channelMax` as
    // changed; the same value again does nothing.
    void setDeviceID(const QString& deviceId);
    KxParamID::ID paramID() const { return m_paramId; }
    void setParamID(KxParamID::ID paramId);

    bool isAvailable() const;
    int channel() const { return m_channel; }
    void setChannel(int channel);
    int channelMax() const;
    // While true, a change of the value on this object's channel, made
    // through any accessor of the same implementation, emits currentChanged.
    bool notification() const { return m_notification; }
    void setNotification(bool notification);

    Q_INVOKABLE QVariant current(KxParameterAccessor::ExpressionType type = Index) const;
    Q_INVOKABLE QVariant initial(KxParameterAccessor::ExpressionType type = Index) const;
    Q_INVOKABLE QVariant minimum(KxParameterAccessor::ExpressionType type = Index) const;
    Q_INVOKABLE QVariant maximum(KxParameterAccessor::ExpressionType type = Index) const;
    Q_INVOKABLE void setCurrent(const QVariant& value, KxParameterAccessor::ExpressionType type = Index,
                                bool fineMode = true);
    Q_INVOKABLE void incDec(int incDecCount, bool fineMode = true);

Q_SIGNALS:
    void deviceIDChanged();
    void paramIDChanged();
    void availableChanged();
    void channelChanged();
    void channelMaxChanged();
    void notificationChanged();
    void currentChanged();

private:
    void attach();
    void onImplCurrentChanged(int channel);

    std::shared_ptr<KxParameterAccessorAbstractImpl> m_impl;
    QString m_deviceId;
    KxParamID::ID m_paramId = KxParamID::InvalidID;
    int m_channel = 0;
    bool m_notification = false;
};
