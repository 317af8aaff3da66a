#pragma once

#include "KxParameterAccessorAbstractImpl.h"

#include <memory>

// A stand-in for a device value: one channel (0), four integers that start
// at 0 and are shared by every expression type, and a log line for each
// call. Writes store the value as an integer and always announce it.
// User-interface thread only.
class KxParameterAccessorImpl_Template : public KxParameterAccessorAbstractImpl
{
    Q_OBJECT

public:
    KxParameterAccessorImpl_Template(const QString& deviceId, KxParamID::ID paramId, QObject* parent = nullptr);
    ~KxParameterAccessorImpl_Template() override;

public Q_SLOTS:
    bool isAvailable(int channel) const override;
    int channelMax() const override;
    QVariant current(KxParameterAccessor::ExpressionType type, int channel) const override;
    QVariant initial(KxParameterAccessor::ExpressionType type, int channel) const override;
    QVariant minimum(KxParameterAccessor::ExpressionType type, int channel) const override;
    QVariant maximum(KxParameterAccessor::ExpressionType type, int channel) const override;
    void setCurrent(const QVariant& value, KxParameterAccessor::ExpressionType type, int channel,
                    bool fineMode) override;
    void incDec(int count, int channel, bool fineMode) override;

private:
    const QString m_deviceId;
    const KxParamID::ID m_paramId;
    int m_current = 0;
    int m_initial = 0;
    int m_minimum = 0;
    int m_maximum = 0;
};

// Makes the implementation that the accessors of one device and parameter
// share: null for an empty device id, InvalidID, ids from NumberOfIDs up, or
// when it cannot be made; never throws.
class KxParameterAccessorImplFactory
{
public:
    static std::shared_ptr<KxParameterAccessorAbstractImpl> createKxImpl(const QString& deviceId,
                                                                         KxParamID::ID paramId);
};
