#pragma once

#include <array>
#include <cstddef>

// Second-order digital sections (biquads) of a parametric equaliser and their
// magnitude response. Plain arithmetic: no Qt, no state, safe from any thread.
namespace EQGraph {

// b0, b1, b2, a1, a2 of H(z) = (b0 + b1 z^-1 + b2 z^-2) / (1 - a1 z^-1 - a2 z^-2):
// the feedback coefficients carry the sign of the difference equation
// y[n] = b0 x[n] + b1 x[n-1] + b2 x[n-2] + a1 y[n-1] + a2 y[n-2].
using Section = std::array<double, 5>;

inline constexpr Section kFlatSection{1.0, 0.0, 0.0, 0.0, 0.0};
// What a design that refused its inputs leaves: minus infinity dB everywhere.
inline constexpr Section kFailedSection{0.0, 0.0, 0.0, 0.0, 0.0};

class Calculator
{
public:
    // Section shapes understood by calEQCoef.
    enum Shape : int {
        Peaking = 0,
        BandPass = 1, // a notch for a negative gain
        LowShelf = 4,
        HighShelf = 6,
        LowPass1st = 7,
        LowPass2nd = 8,
        HighPass1st = 9,
        HighPass2nd = 10,
    };
    // Musical types 0 to 2 select the musical bell and shelf designs, 3 the
    // classic formulas.
    static constexpr int kLegacyMusicalType = 3;

    // Designs one section. The frequency is raised to at least 15 Hz, the
    // sampling rate to at least 44100 Hz and q to at least 0.1 (a value that is
    // not a number counts as below the bound). Unknown shapes give the flat
    // section, a musical type outside 0 to 3 gives kFailedSection, and so does
    // a musical design that refuses its inputs. Never returns a coefficient
    // that is not a finite number: a design that would (a gain or frequency
    // that is not finite, a square root of a negative number inside a musical
    // design, a vanishing normaliser) gives kFailedSection.
    static Section calEQCoef(double samplingRate, double q, double gain, double frequency, int shape, int musicalType);

    // Gain in dB of one section at `frequency` (Hz) for sampling rate `fs`,
    // evaluated in closed form from the squared magnitudes of numerator and
    // denominator. Minus infinity where the numerator vanishes (a zero on the
    // unit circle, or kFailedSection), plus infinity where only the
    // denominator does; never a NaN for finite coefficients and fs > 0.
    static double sectionGainDb(const Section& section, double frequency, double fs);
    // The same for phi = 4 sin^2(pi frequency / fs), so that a curve of many
    // sections computes the sine once per frequency.
    static double sectionGainDbAtPhi(const Section& section, double phi);
    static double phiOf(double frequency, double fs);
    // The summed gain in dB of `count` sections at phi: the sum of their
    // sectionGainDbAtPhi, minus infinity where any numerator vanishes, plus
    // infinity where otherwise a denominator does (never a NaN). 0 for none.
    static double sectionsGainDbAtPhi(const Section* sections, std::size_t count, double phi);

    // 10^(|gainDb| / 20) by a power of two and a continued fraction of the
    // exponential of the small remainder. Infinity when the result would not
    // fit a double, NaN for a NaN gain.
    static double amplitudeOfDb(double gainDb);
};

} // namespace EQGraph
