#pragma once

#include "EQGraphCalculator.h"

#include <cstdint>
#include <optional>

// The "musical" section designs: a proportional-Q bell and a shelf whose slope
// varies with gain and frequency. Plain arithmetic, no state: safe from any
// thread. Results are ResultCode::kSuccess (0) or ResultCode::kFailure; on
// failure the output section is left as it was.

// Small validation helpers shared by the musical designs.
class MusicalEq
{
public:
    // Magnitudes below this count as a zero divisor.
    static constexpr double kMinDivisor = 1e-15;
    // Gains strictly inside +-kZeroGainDb count as 0 dB.
    static constexpr double kZeroGainDb = 0.001;

    static int32_t checkDivisor(double divisor);
    static bool isZeroGain(double gainDb);
    // Frequencies and q must be above 0.
    static int32_t checkPositive(double value);
    // The bell designs need fs >= 44100 and q >= 0.01.
    static int32_t checkSamplingRate(double fs);
    static int32_t checkBellQ(double q);
    // A centre frequency must lie below fs / 2.
    static int32_t checkBelowNyquist(double frequency, double fs);
    // A shelf is 1 (low) or 2 (high).
    static int32_t checkShelfSide(int side);
    // A shelf slope lies between -0.3 and 1.
    static int32_t checkShelfSlope(double slope);
};

// Proportional-Q bell matched to its analog prototype at the Nyquist frequency.
class PropQBell
{
public:
    // Musical type 0 to 2, centre f0 (Hz), gain G (dB), q, sampling rate fs.
    // |G| < 0.001 gives the flat section. Fails for another type, for fs below
    // 44100, an effective q below 0.01, f0 outside (0, fs/2), a vanishing
    // divisor, or a square root of a negative number along the way.
    static int32_t setCoef(int musicalType, double f0, double gain, double q, double fs, EQGraph::Section& out);

    // Gain in dB of the analog bell at f: positive for a boost, negative for a
    // cut. 0 when f, f0 or q is not above 0 or a denominator vanishes.
    static double calcAnalogBell(double f, double f0, double gain, double q);
};

// Shelf with a slope that follows gain and frequency.
class VariQShelf
{
public:
    enum Side : int { Low = 1, High = 2 };

    // Musical type 0 to 2, side 1 or 2, frequency F (Hz), gain G (dB), slope
    // parameter between -0.3 and 1 (used by type 0 only), sampling rate fs.
    // |G| < 0.001 gives the flat section. Fails for another type or side, a
    // slope outside its range, F or fs not above 0, a corner or q that is not
    // above 0, or a square root of a negative number along the way.
    static int32_t setCoef(int musicalType, int side, double frequency, double gain, double slope, double fs,
                           EQGraph::Section& out);

    // The band's q as the slope parameter: a continuous piecewise-linear map
    // onto -0.3 ... 1.
    static double slopeOfQ(double q);

    // Blends from y1 at f1 to y2 at f2 along a quadratic Bezier curve in
    // log-frequency. Empty when the curve has no real point at f (a square
    // root of a negative number), which the caller treats as a failed design.
    static std::optional<double> calcCoeQbyF(double f, double f1, double f2, double y1, double y2);
};
