#include "KxCompGraphCalc.h"

#include "CompCalc2.h"
#include "Logger.h"

#include <cmath>
#include <QMetaEnum>
#include <QPointF>

KxCompGraphCalc::KxCompGraphCalc(QObject* parent)
    : KxGraphCalc(parent)
    , m_calc(std::make_unique<CompCalc2>())
{
    setXMapType(Linear);
    setYMapType(Linear);
    m_params = {{Threshold, 0.0}, {Ratio, 0.0}, {Knee, 0.0}, {Gain, 0.0}};
}

KxCompGraphCalc::~KxCompGraphCalc() = default;

bool KxCompGraphCalc::setCompParam(ParamType paramType, double value)
{
    if (paramType < Threshold || paramType >= NumberOfParamTypes) {
        const char* key = QMetaEnum::fromType<ParamType>().valueToKey(paramType);
        CORVANE_LOG(QStringLiteral("CPP setParam() no paramter type (%1)")
                        .arg(key ? QString::fromLatin1(key) : QString::number(paramType)));
        return false;
    }
    if (!std::isfinite(value)) {
        CORVANE_LOG(QStringLiteral("CPP setParam() value of %1 is not a finite number")
                        .arg(QString::fromLatin1(QMetaEnum::fromType<ParamType>().valueToKey(paramType))));
        return false;
    }
    m_params.insert(paramType, value);
    return true;
}

QVariantList KxCompGraphCalc::generateGraphPath() const
{
    const QList<double> xs = plotXPositions();
    if (xs.isEmpty() || hasInvalidYAxis()) {
        return {};
    }
    m_calc->setThreshold(m_params.value(Threshold));
    m_calc->setRatio(m_params.value(Ratio));
    m_calc->setKnee(m_params.value(Knee));
    m_calc->setGain(m_params.value(Gain));

    QVariantList points;
    points.reserve(xs.size());
    for (double x : xs) {
        const double y = m_calc->CalcCompressor(x);
        points.append(QVariant::fromValue(QPointF(canvasXFromGraphXVal(x), canvasYFromGraphYVal(y))));
    }
    return points;
}
