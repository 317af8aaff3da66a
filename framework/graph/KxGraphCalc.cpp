#include "KxGraphCalc.h"

#include "GraphAxisMap.h"
#include "Logger.h"

#include <algorithm>
#include <cmath>
#include <QJSValue>
#include <QVariantMap>

namespace {

// The scaled value cut to an integer, in decimal. A value that misses an
// integer only by a rounding error of the scaling counts as that integer:
// 2.5e-7 / 1e-9 is 249.99999999999997, and its label "250n", not "249n".
QString truncatedText(double scaled)
{
    const double nearest = std::round(scaled);
    const double cut
        = std::fabs(scaled - nearest) <= 1e-9 * std::max(1.0, std::fabs(scaled)) ? nearest : std::trunc(scaled);
    return QString::number(cut, 'f', 0);
}

struct UnitRow
{
    double from;
    double scale;
    const char* unit;
};

constexpr UnitRow kUnitRows[] = {
    {1e6, 1e6, "M"}, {1e3, 1e3, "k"}, {1e-3, 1e-3, "m"}, {1e-6, 1e-6, "u"}, {1e-9, 1e-9, "n"},
};

// The leading digits of a logarithmic interval: the integers 1 to 9 of it.
QList<int> leadingDigits(const QVariantList& values)
{
    QList<int> digits;
    for (const QVariant& v : values) {
        const int digit = v.toInt();
        if (digit >= 1 && digit <= 9) {
            digits.append(digit);
        }
    }
    return digits;
}

} // namespace

KxGraphCalc::KxGraphCalc(QObject* parent)
    : QObject(parent)
    , m_xMap(std::make_unique<GraphAxisMap>())
    , m_yMap(std::make_unique<GraphAxisMap>())
{
}

KxGraphCalc::~KxGraphCalc() = default;

void KxGraphCalc::setGraphXMin(double value)
{
    if (value == m_graphXMin) {
        return;
    }
    m_graphXMin = value;
    m_xMap->updateAxisRange(m_graphXMin, m_graphXMax);
    Q_EMIT graphXMinChanged();
    Q_EMIT graphScaleChanged();
}

void KxGraphCalc::setGraphXMax(double value)
{
    if (value == m_graphXMax) {
        return;
    }
    m_graphXMax = value;
    m_xMap->updateAxisRange(m_graphXMin, m_graphXMax);
    Q_EMIT graphXMaxChanged();
    Q_EMIT graphScaleChanged();
}

void KxGraphCalc::setGraphYMin(double value)
{
    if (value == m_graphYMin) {
        return;
    }
    m_graphYMin = value;
    m_yMap->updateAxisRange(m_graphYMin, m_graphYMax);
    Q_EMIT graphYMinChanged();
    Q_EMIT graphScaleChanged();
}

void KxGraphCalc::setGraphYMax(double value)
{
    if (value == m_graphYMax) {
        return;
    }
    m_graphYMax = value;
    m_yMap->updateAxisRange(m_graphYMin, m_graphYMax);
    Q_EMIT graphYMaxChanged();
    Q_EMIT graphScaleChanged();
}

double KxGraphCalc::canvasWidth() const
{
    return m_xMap->canvasLen();
}

double KxGraphCalc::canvasHeight() const
{
    return m_yMap->canvasLen();
}

void KxGraphCalc::setCanvasWidth(double width)
{
    // The map keeps its last accepted length; after a refused one the same
    // length must get through to make the axis usable again.
    if (width == m_xMap->canvasLen() && m_xMap->isCanvasValid()) {
        return;
    }
    m_xMap->updateCanvasLen(width);
    Q_EMIT canvasWidthChanged();
    Q_EMIT graphScaleChanged();
}

void KxGraphCalc::setCanvasHeight(double height)
{
    if (height == m_yMap->canvasLen() && m_yMap->isCanvasValid()) {
        return;
    }
    m_yMap->updateCanvasLen(height);
    Q_EMIT canvasHeightChanged();
    Q_EMIT graphScaleChanged();
}

KxGraphCalc::MapType KxGraphCalc::xMapType() const
{
    return static_cast<MapType>(m_xMap->mapType());
}

KxGraphCalc::MapType KxGraphCalc::yMapType() const
{
    return static_cast<MapType>(m_yMap->mapType());
}

void KxGraphCalc::setXMapType(MapType type)
{
    if (type == Linear || type == Logarithmic) {
        m_xMap->updateMapType(type, false);
    } else {
        CORVANE_LOG(QStringLiteral("KxGraphCalc : unknown map type %1 for the x axis").arg(type));
    }
    Q_EMIT graphScaleChanged();
}

void KxGraphCalc::setYMapType(MapType type)
{
    if (type == Linear || type == Logarithmic) {
        m_yMap->updateMapType(type, true);
    } else {
        CORVANE_LOG(QStringLiteral("KxGraphCalc : unknown map type %1 for the y axis").arg(type));
    }
    Q_EMIT graphScaleChanged();
}

QVariantList KxGraphCalc::xScaleLines(const QVariant& interval, bool dispMinus, bool dispPlus, bool useUnitPrefix) const
{
    return scaleLines(interval, *m_xMap, dispMinus, dispPlus, useUnitPrefix);
}

QVariantList KxGraphCalc::yScaleLines(const QVariant& interval, bool dispMinus, bool dispPlus, bool useUnitPrefix) const
{
    return scaleLines(interval, *m_yMap, dispMinus, dispPlus, useUnitPrefix);
}

QVariantList KxGraphCalc::scaleLines(const QVariant& interval, const GraphAxisMap& map, bool dispMinus, bool dispPlus,
                                     bool useUnitPrefix) const
{
    const QByteArray typeName = interval.typeName();
    QList<double> ticks;
    if (typeName == "int" || typeName == "double") {
        ticks = map.sliceAxisRange(interval.toDouble());
    } else if (typeName == "QJSValue") {
        ticks = map.logSliceAxisRange(leadingDigits(interval.value<QJSValue>().toVariant().toList()));
    } else {
        CORVANE_LOG("no match lineSpecification");
        return {};
    }
    QVariantList lines;
    lines.reserve(ticks.size());
    for (double tick : ticks) {
        lines.append(QVariantMap{{QStringLiteral("pos"), map.map(tick)},
                                 {QStringLiteral("label"), makeLabel(tick, dispMinus, dispPlus, useUnitPrefix)}});
    }
    return lines;
}

QString KxGraphCalc::makeLabel(double value, bool dispMinus, bool dispPlus, bool useUnitPrefix)
{
    const double a = std::fabs(value);
    QString text;
    if (!useUnitPrefix || !std::isfinite(a)) {
        text = QString::number(a, 'g', 6);
    } else if (value == 0) {
        text = QStringLiteral("0");
    } else if (a >= 1 && a < 1e3) {
        text = QString::number(a, 'g', 6);
    } else {
        text = truncatedText(a / 1e-12) + QLatin1Char('p');
        for (const UnitRow& row : kUnitRows) {
            if (a >= row.from) {
                text = truncatedText(a / row.scale) + QLatin1String(row.unit);
                break;
            }
        }
    }
    if (dispMinus && value < 0) {
        text.prepend(QLatin1Char('-'));
    } else if (dispPlus && value > 0) {
        text.prepend(QLatin1Char('+'));
    }
    return text;
}

double KxGraphCalc::canvasXFromGraphXVal(double value) const
{
    return m_xMap->map(value);
}

double KxGraphCalc::canvasYFromGraphYVal(double value) const
{
    return m_yMap->map(value);
}

double KxGraphCalc::graphXValFromCanvasX(double position) const
{
    return m_xMap->remap(position);
}

double KxGraphCalc::graphYValFromCanvasY(double position) const
{
    return m_yMap->remap(position);
}

QList<double> KxGraphCalc::plotXPositions() const
{
    return m_xMap->sliceAxisRangeInCanvas(1);
}

bool KxGraphCalc::hasInvalidXAxis() const
{
    return m_xMap->hasInvalidMapSetting();
}

bool KxGraphCalc::hasInvalidYAxis() const
{
    return m_yMap->hasInvalidMapSetting();
}
