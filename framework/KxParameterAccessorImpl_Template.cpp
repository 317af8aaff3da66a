#include "KxParameterAccessorImpl_Template.h"

#include "KxImplSharing.h"
#include "Logger.h"

namespace {

constexpr int kChannelMax = 0;

QString boolText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

// "KxParameterAccessorImpl_Template::<call>(<arguments>) has been called"
QString callLine(const char* call, const QStringList& arguments)
{
    return QStringLiteral("KxParameterAccessorImpl_Template::%1(%2) has been called")
        .arg(QLatin1String(call), arguments.join(QStringLiteral(", ")));
}

QString readLine(const char* call, KxParameterAccessor::ExpressionType type, int channel)
{
    return callLine(call, {QString::number(type), QString::number(channel)});
}

} // namespace

KxParameterAccessorImpl_Template::KxParameterAccessorImpl_Template(const QString& deviceId, KxParamID::ID paramId,
                                                                   QObject* parent)
    : KxParameterAccessorAbstractImpl(parent)
    , m_deviceId(deviceId)
    , m_paramId(paramId)
{
    CORVANE_LOG("KxParameterAccessorImpl_Template constructed");
}

KxParameterAccessorImpl_Template::~KxParameterAccessorImpl_Template()
{
    CORVANE_LOG("KxParameterAccessorImpl_Template destructed");
}

bool KxParameterAccessorImpl_Template::isAvailable(int channel) const
{
    return channel >= 0 && channel <= channelMax();
}

int KxParameterAccessorImpl_Template::channelMax() const
{
    return kChannelMax;
}

QVariant KxParameterAccessorImpl_Template::current(KxParameterAccessor::ExpressionType type, int channel) const
{
    CORVANE_LOG(readLine("current", type, channel));
    return m_current;
}

QVariant KxParameterAccessorImpl_Template::initial(KxParameterAccessor::ExpressionType type, int channel) const
{
    CORVANE_LOG(readLine("initial", type, channel));
    return m_initial;
}

QVariant KxParameterAccessorImpl_Template::minimum(KxParameterAccessor::ExpressionType type, int channel) const
{
    CORVANE_LOG(readLine("minimum", type, channel));
    return m_minimum;
}

QVariant KxParameterAccessorImpl_Template::maximum(KxParameterAccessor::ExpressionType type, int channel) const
{
    CORVANE_LOG(readLine("maximum", type, channel));
    return m_maximum;
}

void KxParameterAccessorImpl_Template::setCurrent(const QVariant& value, KxParameterAccessor::ExpressionType type,
                                                  int channel, bool fineMode)
{
    CORVANE_LOG(callLine("setCurrent",
                         {value.toString(), QString::number(type), QString::number(channel), boolText(fineMode)}));
    m_current = value.toInt();
    Q_EMIT currentChanged(channel);
}

void KxParameterAccessorImpl_Template::incDec(int count, int channel, bool fineMode)
{
    CORVANE_LOG(callLine("incDec", {QString::number(count), QString::number(channel), boolText(fineMode)}));
    setCurrent(m_current + count, KxParameterAccessor::Index, channel, fineMode);
}

std::shared_ptr<KxParameterAccessorAbstractImpl> KxParameterAccessorImplFactory::createKxImpl(const QString& deviceId,
                                                                                              KxParamID::ID paramId)
{
    if (deviceId.isEmpty() || paramId <= KxParamID::InvalidID || paramId >= KxParamID::NumberOfIDs)
        return nullptr;
    return kxMakeImpl<KxParameterAccessorAbstractImpl, KxParameterAccessorImpl_Template>(deviceId, paramId);
}
