#include "GraphAxisMap.h"

#include "Logger.h"

#include <algorithm>
#include <cmath>
#include <QString>

namespace {

// Slack for values that are integers or range ends in exact arithmetic but
// miss them by a rounding error (0.3 / 0.1, 3 x 0.1, ...).
constexpr double kIndexSlack = 1e-9;
constexpr double kRelativeSlack = 1e-12;

// 10^k for an integer k, as exact as the division allows for negative k
// (3 / 10 is the double nearest 0.3, 3 x 0.1 is not).
double scaled(double digit, int exponent)
{
    return exponent >= 0 ? digit * std::pow(10.0, exponent) : digit / std::pow(10.0, -exponent);
}

} // namespace

bool GraphAxisMap::updateMapType(int32_t type, bool reversed)
{
    if (type != Linear && type != Logarithmic) {
        CORVANE_LOG("GraphAxisMap : Unexpecetd!! Unknown map type --> cant update graph size");
        m_mapTypeValid = false;
        return false;
    }
    if (type != m_mapType || reversed != m_reversed) {
        m_mapType = type;
        m_reversed = reversed;
        updateCoefficients();
    }
    // Also when nothing changed: a type refused in between made the map
    // unusable, and setting the earlier type again must make it usable again.
    m_mapTypeValid = true;
    return true;
}

bool GraphAxisMap::updateAxisRange(double bottom, double top)
{
    if (!std::isfinite(bottom) || !std::isfinite(top)) {
        CORVANE_LOG("GraphAxisMap : Unexpecetd!! Range is not a finite number --> cant update Axis range");
        m_rangeValid = false;
        return false;
    }
    if (bottom > top) {
        CORVANE_LOG("GraphAxisMap : Unexpecetd!! Range bottom  > range top == true --> cant update Axis range");
        m_rangeValid = false;
        return false;
    }
    if (bottom != m_rangeBottom || top != m_rangeTop) {
        m_rangeBottom = bottom;
        m_rangeTop = top;
        updateCoefficients();
    }
    m_rangeValid = true;
    return true;
}

bool GraphAxisMap::updateCanvasLen(double length)
{
    if (!std::isfinite(length)) {
        CORVANE_LOG("GraphAxisMap : Unexpecetd!! Graph size is not a finite number --> cant update graph size");
        m_canvasValid = false;
        return false;
    }
    if (length < 0) {
        CORVANE_LOG("GraphAxisMap : Unexpecetd!! Graph size < 0 == true --> cant update graph size");
        m_canvasValid = false;
        return false;
    }
    if (length != m_canvasLen) {
        m_canvasLen = length;
        updateCoefficients();
    }
    m_canvasValid = true;
    return true;
}

void GraphAxisMap::updateCoefficients()
{
    if (m_mapType == Logarithmic) {
        m_coefficient = m_canvasLen / std::log10(m_rangeTop / m_rangeBottom);
        m_offset = std::log10(m_rangeBottom);
    } else {
        m_coefficient = m_canvasLen / (m_rangeTop - m_rangeBottom);
        m_offset = m_rangeBottom;
    }
}

double GraphAxisMap::map(double value) const
{
    double p = 0.0;
    if (m_mapType == Linear) {
        p = (value - m_offset) * m_coefficient;
    } else if (m_mapType == Logarithmic) {
        // log10 of 0 is minus infinity and of a negative value not a number:
        // neither is a place on the canvas.
        if (!(value > 0)) {
            CORVANE_LOG(QStringLiteral("GraphAxisMap : Unexpecetd!! Can't convert minus value : log10(%1) is invalid")
                            .arg(value));
            return 0.0;
        }
        p = (std::log10(value) - m_offset) * m_coefficient;
    } else {
        return 0.0;
    }
    if (m_reversed) {
        p = m_canvasLen - p;
    }
    return std::isfinite(p) ? p : 0.0;
}

double GraphAxisMap::remap(double position) const
{
    if (m_mapType != Linear && m_mapType != Logarithmic) {
        return 0.0;
    }
    const double q = m_reversed ? m_canvasLen - position : position;
    // A canvas of length 0 has one position, the start of the range.
    const double units = m_coefficient != 0.0 ? q / m_coefficient : 0.0;
    const double value = m_mapType == Linear ? m_offset + units : std::pow(10.0, m_offset + units);
    return std::isfinite(value) ? value : 0.0;
}

bool GraphAxisMap::hasInvalidMapSetting() const
{
    if (!m_rangeValid) {
        CORVANE_LOG("GraphAxisMap : Unexpecetd!! Axis range setting is invalid");
        return true;
    }
    if (!m_canvasValid) {
        CORVANE_LOG("GraphAxisMap : Unexpecetd!! Graph size setting is invalid");
        return true;
    }
    if (!m_mapTypeValid) {
        CORVANE_LOG("GraphAxisMap : Unexpecetd!! MapType setting is invalid");
        return true;
    }
    if (m_mapType == Logarithmic) {
        if (m_rangeBottom <= 0) {
            CORVANE_LOG("GraphAxisMap : Unexpecetd!! MapType is LOG but axis min is under 0");
            return true;
        }
        if (m_rangeTop <= 0) {
            CORVANE_LOG("GraphAxisMap : Unexpecetd!! MapType is LOG but axis max is under 0");
            return true;
        }
    }
    // An empty (or, against the canvas, too narrow) range has no scale.
    if (!std::isfinite(m_coefficient)) {
        CORVANE_LOG("GraphAxisMap : Unexpecetd!! Axis range is too narrow for the graph size");
        return true;
    }
    return false;
}

QList<double> GraphAxisMap::sliceAxisRange(double step) const
{
    if (hasInvalidMapSetting()) {
        return {};
    }
    if (!(step > 0) || !std::isfinite(step)) {
        CORVANE_LOG(QStringLiteral("GraphAxisMap : Unexpecetd!! Slice step %1 is not above 0").arg(step));
        return {};
    }
    // Indices of the first and last multiple, so that every value is an
    // exact multiple and none is lost to a rounding error in the count.
    const double first = std::ceil(m_rangeBottom / step - kIndexSlack);
    const double last = std::floor(m_rangeTop / step + kIndexSlack);
    if (!std::isfinite(first) || !std::isfinite(last) || last < first) {
        return {};
    }
    if (last - first >= kMaxSlices) {
        CORVANE_LOG(QStringLiteral("GraphAxisMap : Unexpecetd!! Slice step %1 gives too many values").arg(step));
        return {};
    }
    const int count = static_cast<int>(last - first) + 1;
    QList<double> values;
    values.reserve(count);
    for (int i = 0; i < count; ++i) {
        values.append((first + i) * step + 0.0); // + 0.0: no "-0"
    }
    return values;
}

QList<double> GraphAxisMap::logSliceAxisRange(const QList<int>& digits) const
{
    if (hasInvalidMapSetting()) {
        return {};
    }
    const double start = m_rangeBottom <= 0 ? 0.01 : m_rangeBottom;
    const double lowest = start * (1 - kRelativeSlack);
    const double highest = m_rangeTop * (1 + kRelativeSlack);
    int exponent = static_cast<int>(std::floor(std::log10(start)));
    const double lead = std::floor(scaled(start, -exponent) + kIndexSlack);
    int digit = std::isfinite(lead) && lead < 10 ? static_cast<int>(lead) : 10;
    QList<double> values;
    for (;;) {
        if (digit > 9) {
            ++exponent;
            digit = 1;
        }
        const double value = scaled(digit, exponent);
        if (value > highest || !std::isfinite(value)) {
            break;
        }
        if (value >= lowest && digits.contains(digit)) {
            values.append(value);
        }
        ++digit;
    }
    return values;
}

QList<double> GraphAxisMap::sliceAxisRangeInCanvas(double step) const
{
    if (hasInvalidMapSetting()) {
        return {};
    }
    // Positions are multiples of step, not a running sum cut back to an
    // integer: a step below 1 would never leave position 0.
    if (!(step > 0) || !std::isfinite(step)) {
        CORVANE_LOG(QStringLiteral("GraphAxisMap : Unexpecetd!! Canvas step %1 is not above 0").arg(step));
        return {};
    }
    const double count = std::floor(m_canvasLen / step + kIndexSlack) + 1;
    if (!(count <= kMaxSlices)) {
        CORVANE_LOG(QStringLiteral("GraphAxisMap : Unexpecetd!! Canvas step %1 gives too many values").arg(step));
        return {};
    }
    QList<double> values;
    values.reserve(static_cast<int>(count));
    for (int i = 0; i < static_cast<int>(count); ++i) {
        values.append(remap(std::min(i * step, m_canvasLen)));
    }
    return values;
}
