#include "KxMeterDataAccessorImpl_Template.h"

#include "KxImplSharing.h"
#include "Logger.h"

#include <iterator>

namespace {

struct TestMeterData
{
    float normalized;
    float linearNormalizedWithDecibel;
    int rawData;
    const char* text;
    bool peak;
    bool over;
};

// The sample readings of channels 0 and 1.
constexpr TestMeterData TEST_METER_DATA[] = {
    {0.0f, 0.5f, 8, "10dB", true, false},
    {1.0f, 0.8f, 100, "100dB", false, true},
};
constexpr int kChannelCount = int(std::size(TEST_METER_DATA));

const TestMeterData* row(int channel)
{
    return channel >= 0 && channel < kChannelCount ? &TEST_METER_DATA[channel] : nullptr;
}

} // namespace

KxMeterDataAccessorImpl_Template::KxMeterDataAccessorImpl_Template(const QString& deviceId, KxMeterID::ID meterId,
                                                                   QObject* parent)
    : KxMeterDataAccessorAbstractImpl(parent)
    , m_deviceId(deviceId)
    , m_meterId(meterId)
{
    CORVANE_LOG(QStringLiteral("[KxMeterDataAccessorImpl_Template] >>> Created. deviceID: %1").arg(m_deviceId));
}

KxMeterDataAccessorImpl_Template::~KxMeterDataAccessorImpl_Template()
{
    CORVANE_LOG("[KxMeterDataAccessorImpl_Template] >>> Deleted.");
}

bool KxMeterDataAccessorImpl_Template::isAvailable(int channel) const
{
    return row(channel) != nullptr;
}

QVariant KxMeterDataAccessorImpl_Template::current(KxMeterDataAccessor::ExpressionType type, int channel) const
{
    CORVANE_LOG(QStringLiteral("KxMeterDataAccessorImpl_Template::current(%1, %2) has been called")
                    .arg(int(type))
                    .arg(channel));
    const TestMeterData* data = row(channel);
    if (data == nullptr)
        return {};
    switch (type) {
    case KxMeterDataAccessor::Normalized:
        return QVariant(data->normalized);
    case KxMeterDataAccessor::LinearNormalizedWithDecibel:
        return QVariant(data->linearNormalizedWithDecibel);
    case KxMeterDataAccessor::RawData:
        return QVariant(data->rawData);
    case KxMeterDataAccessor::Text:
        return QVariant(QString::fromLatin1(data->text));
    case KxMeterDataAccessor::InvalidExpressionType:
    case KxMeterDataAccessor::NumberOfExpressionTypes:
        break;
    }
    return {};
}

bool KxMeterDataAccessorImpl_Template::peak(int channel) const
{
    CORVANE_LOG("KxMeterDataAccessorImpl_Template::peak() has been called");
    const TestMeterData* data = row(channel);
    return data != nullptr && data->peak;
}

bool KxMeterDataAccessorImpl_Template::over(int channel) const
{
    CORVANE_LOG("KxMeterDataAccessorImpl_Template::over() has been called");
    const TestMeterData* data = row(channel);
    return data != nullptr && data->over;
}

int KxMeterDataAccessorImpl_Template::channelMax() const
{
    return kChannelCount - 1;
}

std::shared_ptr<KxMeterDataAccessorAbstractImpl> KxMeterDataAccessorImplFactory::createKxImpl(const QString& deviceId,
                                                                                              KxMeterID::ID meterId)
{
    if (deviceId.isEmpty() || meterId <= KxMeterID::InvalidID || meterId >= KxMeterID::NumberOfIDs)
        return nullptr;
    return kxMakeImpl<KxMeterDataAccessorAbstractImpl, KxMeterDataAccessorImpl_Template>(deviceId, meterId);
}
