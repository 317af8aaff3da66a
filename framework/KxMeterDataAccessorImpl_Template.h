#pragma once

#include "KxMeterDataAccessorAbstractImpl.h"

#include <memory>

// A stand-in for a device meter: two channels (0 and 1) whose readings come
// from the fixed table TEST_METER_DATA, and a log line for each call.
// User-interface thread only.
class KxMeterDataAccessorImpl_Template : public KxMeterDataAccessorAbstractImpl
{
    Q_OBJECT

public:
    KxMeterDataAccessorImpl_Template(const QString& deviceId, KxMeterID::ID meterId, QObject* parent = nullptr);
    ~KxMeterDataAccessorImpl_Template() override;

public Q_SLOTS:
    bool isAvailable(int channel) const override;
    // Normalized and LinearNormalizedWithDecibel as float, RawData as int,
    // Text as string; invalid for any other type or channel.
    QVariant current(KxMeterDataAccessor::ExpressionType type, int channel) const override;
    bool peak(int channel) const override;
    bool over(int channel) const override;
    int channelMax() const override;

private:
    const QString m_deviceId;
    const KxMeterID::ID m_meterId;
};

// Makes the implementation that the accessors of one device and meter share:
// null for an empty device id, InvalidID, ids from NumberOfIDs up, or when it
// cannot be made; never throws.
class KxMeterDataAccessorImplFactory
{
public:
    static std::shared_ptr<KxMeterDataAccessorAbstractImpl> createKxImpl(const QString& deviceId,
                                                                         KxMeterID::ID meterId);
};
