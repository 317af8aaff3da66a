#pragma once

// The static transfer curve of a dynamics compressor: output level for an
// input level, both in decibels. Above the threshold the given fraction of
// the overshoot is removed (ratio factor 0: none, 1: limiting); a soft knee of
// half-width `knee` blends the two straight parts with a quadratic that meets
// both with the same value and slope. The make-up gain is added to every
// output.
//
// A plain value object; not thread-safe. Nothing throws. The setters refuse
// (false, value kept) what is not a number, and all but the ratio refuse
// infinities, so finite inputs give finite outputs unless the arithmetic
// itself overflows.
class CompCalc2
{
public:
    bool setThreshold(double threshold);
    // Clamped to 0 ... 1.
    bool setRatio(double ratioFactor);
    // 0 is a hard knee; a negative knee gives output 0 everywhere.
    bool setKnee(double knee);
    bool setGain(double gain);

    double CalcCompressor(double x) const;

private:
    double m_threshold = 0.0;
    double m_ratioFactor = 0.0;
    double m_knee = 0.0;
    double m_gain = 0.0;
};
