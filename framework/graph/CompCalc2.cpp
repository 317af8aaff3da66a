#include "CompCalc2.h"

#include <algorithm>
#include <cmath>

bool CompCalc2::setThreshold(double threshold)
{
    if (!std::isfinite(threshold)) {
        return false;
    }
    m_threshold = threshold;
    return true;
}

bool CompCalc2::setRatio(double ratioFactor)
{
    if (std::isnan(ratioFactor)) {
        return false;
    }
    m_ratioFactor = std::clamp(ratioFactor, 0.0, 1.0);
    return true;
}

bool CompCalc2::setKnee(double knee)
{
    if (!std::isfinite(knee)) {
        return false;
    }
    m_knee = knee;
    return true;
}

bool CompCalc2::setGain(double gain)
{
    if (!std::isfinite(gain)) {
        return false;
    }
    m_gain = gain;
    return true;
}

double CompCalc2::CalcCompressor(double x) const
{
    const double overshoot = x - m_threshold;
    if (m_knee == 0) {
        return overshoot > 0 ? x - overshoot * m_ratioFactor + m_gain : x + m_gain;
    }
    if (m_knee < 0) {
        return 0.0;
    }
    const double a = overshoot / m_knee;
    if (a < -1) {
        return x + m_gain;
    }
    if (a < 1) {
        // Slope 1 at a = -1 and 1 - ratio at a = 1, meeting both lines there.
        return x - 0.25 * m_knee * m_ratioFactor * (a + 1) * (a + 1) + m_gain;
    }
    return x - overshoot * m_ratioFactor + m_gain;
}
