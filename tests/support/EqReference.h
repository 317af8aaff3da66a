#pragma once

#include <array>
#include <cmath>
#include <complex>

// Reference responses for checking equaliser curves without the code under
// test: the magnitude of a biquad evaluated straight from its transfer
// function, and the analog prototypes of the classic shapes taken through the
// bilinear transform, where T = tan(pi f / fs) is the prewarped frequency and
// t = tan(pi F / fs) the prewarped corner.
namespace EqReference {

constexpr double kPi = 3.14159265358979323846;

// 20 log10 |H(e^jw)| of b0, b1, b2, a1, a2 with
// H(z) = (b0 + b1 z^-1 + b2 z^-2) / (1 - a1 z^-1 - a2 z^-2).
inline double responseDb(const std::array<double, 5>& s, double f, double fs)
{
    const std::complex<double> z1 = std::polar(1.0, -2.0 * kPi * f / fs);
    const std::complex<double> num = s[0] + s[1] * z1 + s[2] * z1 * z1;
    const std::complex<double> den = 1.0 - s[3] * z1 - s[4] * z1 * z1;
    return 20.0 * std::log10(std::abs(num) / std::abs(den));
}

inline double prewarp(double f, double fs)
{
    return std::tan(kPi * f / fs);
}

// Bell: ((t^2 - T^2)^2 + A^2 (T t / q)^2) / ((t^2 - T^2)^2 + (T t / q)^2), the
// inverse for a cut; exactly `gain` at T = t, 0 dB at 0 Hz and Nyquist.
inline double peakingDb(double T, double t, double q, double gain)
{
    const double a2 = std::pow(10.0, std::fabs(gain) / 10.0);
    const double x = t * t - T * T;
    const double d = T * t / q;
    const double db = 10.0 * std::log10((x * x + a2 * d * d) / (x * x + d * d));
    return gain < 0 ? -db : db;
}

// Band-pass (gain >= 0) or notch (gain < 0) of unit peak.
inline double bandPassDb(double T, double t, double q, double gain)
{
    const double x = t * t - T * T;
    const double d = T * t / q;
    return 10.0 * std::log10((gain >= 0 ? d * d : x * x) / (x * x + d * d));
}

// Two first-order shelves in a row: ((T^2 + A t^2) / (T^2 + t^2))^2 low,
// ((t^2 + A T^2) / (t^2 + T^2))^2 high, the inverse for a cut.
inline double shelfDb(double T, double t, double gain, bool high)
{
    const double a = std::pow(10.0, std::fabs(gain) / 20.0);
    const double one = high ? (t * t + a * T * T) / (t * t + T * T) : (T * T + a * t * t) / (T * T + t * t);
    const double db = 20.0 * std::log10(one);
    return gain < 0 ? -db : db;
}

// Second-order low- or high-pass of pole quality q.
inline double secondOrderDb(double T, double t, double q, bool high)
{
    const double x = t * t - T * T;
    const double d = T * t / q;
    return 10.0 * std::log10(std::pow(high ? T : t, 4) / (x * x + d * d));
}

inline double firstOrderDb(double T, double t, bool high)
{
    return 10.0 * std::log10((high ? T * T : t * t) / (t * t + T * T));
}

// Butterworth of `order`: 1 / (1 + (t/T)^2n) high-pass, 1 / (1 + (T/t)^2n)
// low-pass; -3.01 dB at the corner, 6 dB per octave and order beyond it.
inline double butterworthDb(double T, double t, int order, bool high)
{
    const double r = high ? t / T : T / t;
    return -10.0 * std::log10(1.0 + std::pow(r, 2 * order));
}

} // namespace EqReference
