#include "EQGraphCalculator.h"

#include "MusicalEq.h"

#include <algorithm>
#include <cmath>

namespace EQGraph {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kLn2 = 0.69314718055994530942;
constexpr double kLn10 = 2.30258509299404568402;
constexpr double k10OverLn10 = 10.0 / kLn10;

constexpr double kMinFrequency = 15.0;
constexpr double kMinSamplingRate = 44100.0;
constexpr double kMinQ = 0.1;

// Raises a value to its lower bound; a NaN counts as below it.
double atLeast(double value, double bound)
{
    return value >= bound ? value : bound;
}

bool isFinite(const Section& s)
{
    return std::all_of(s.begin(), s.end(), [](double c) { return std::isfinite(c); });
}

Section peaking(double t, double q, double gain, double a)
{
    if (gain == 0.0) {
        return kFlatSection;
    }
    const double k = t / q;
    const double d = 1.0 + t * t;
    Section s{};
    double den;
    if (gain > 0.0) {
        den = k + d;
        s[0] = (a * k + d) / den;
        s[2] = (d - a * k) / den;
        s[4] = (k - d) / den;
    } else {
        den = a * k + d;
        s[0] = (k + d) / den;
        s[2] = (d - k) / den;
        s[4] = (a * k - d) / den;
    }
    s[1] = 2.0 * (t * t - 1.0) / den;
    s[3] = -s[1];
    return s;
}

Section bandPass(double t, double q, double gain)
{
    const double k = t / q;
    const double r = k + 1.0 + t * t;
    Section s{};
    s[3] = 2.0 * (1.0 - t * t) / r;
    s[4] = -(1.0 - k + t * t) / r;
    if (gain >= 0.0) {
        s[0] = k / r;
        s[1] = 0.0;
        s[2] = -k / r;
    } else {
        // A notch: zeros on the unit circle at the centre frequency.
        s[0] = (1.0 + t * t) / r;
        s[2] = s[0];
        s[1] = -s[3];
    }
    return s;
}

// A squared first-order shelf: (L - K z^-1)^2 / (p - m z^-1)^2 for a boost,
// its inverse for a cut.
Section shelf(double t, double gain, double a, bool high)
{
    if (gain == 0.0) {
        return kFlatSection;
    }
    const double s = std::sqrt(a);
    const double e = 2.0 * t * t;
    const double k = high ? s - t : 1.0 - s * t;
    const double l = high ? s + t : 1.0 + s * t;
    const double j = high ? 2.0 * a - e : 2.0 - a * e;
    const double p = 1.0 + t;
    const double m = 1.0 - t;
    Section out{};
    if (gain > 0.0) {
        const double c = p * p;
        out = {l * l / c, -j / c, k * k / c, (2.0 - e) / c, -m * m / c};
    } else {
        const double c = l * l;
        out = {p * p / c, (e - 2.0) / c, m * m / c, j / c, -k * k / c};
    }
    return out;
}

Section firstOrder(double t, double gain, bool highPass)
{
    if (gain < 0.0) {
        return kFlatSection;
    }
    const double w = 1.0 + t;
    if (highPass) {
        return {1.0 / w, -1.0 / w, 0.0, (1.0 - t) / w, 0.0};
    }
    return {t / w, t / w, 0.0, (1.0 - t) / w, 0.0};
}

Section secondOrder(double t, double q, double gain, bool highPass)
{
    if (gain < 0.0) {
        return kFlatSection;
    }
    const double i = t * t;
    const double h = t / q + 1.0 + i;
    const double a1 = 2.0 * (1.0 - i) / h;
    const double a2 = (t / q - 1.0 - i) / h;
    if (highPass) {
        return {1.0 / h, -2.0 / h, 1.0 / h, a1, a2};
    }
    return {i / h, 2.0 * i / h, i / h, a1, a2};
}

Section classic(double fs, double q, double gain, double frequency, int shape)
{
    const double t = std::tan(kPi * frequency / fs);
    switch (shape) {
    case Calculator::Peaking:
        return peaking(t, q, gain, Calculator::amplitudeOfDb(gain));
    case Calculator::BandPass:
        return bandPass(t, q, gain);
    case Calculator::LowShelf:
        return shelf(t, gain, Calculator::amplitudeOfDb(gain), false);
    case Calculator::HighShelf:
        return shelf(t, gain, Calculator::amplitudeOfDb(gain), true);
    case Calculator::LowPass1st:
        return firstOrder(t, gain, false);
    case Calculator::HighPass1st:
        return firstOrder(t, gain, true);
    case Calculator::LowPass2nd:
        return secondOrder(t, q, gain, false);
    case Calculator::HighPass2nd:
        return secondOrder(t, q, gain, true);
    default:
        return kFlatSection;
    }
}

} // namespace

Section Calculator::calEQCoef(double samplingRate, double q, double gain, double frequency, int shape, int musicalType)
{
    frequency = atLeast(frequency, kMinFrequency);
    samplingRate = atLeast(samplingRate, kMinSamplingRate);
    q = atLeast(q, kMinQ);

    Section section = kFailedSection;
    if (musicalType < 0 || musicalType > kLegacyMusicalType) {
        return section;
    }
    if (!std::isfinite(gain) || !std::isfinite(frequency) || !std::isfinite(samplingRate) || !std::isfinite(q)) {
        return section;
    }

    const bool musicalShape = shape == Peaking || shape == LowShelf || shape == HighShelf;
    if (musicalType < kLegacyMusicalType && musicalShape) {
        if (gain == 0.0) {
            return kFlatSection;
        }
        if (shape == Peaking) {
            PropQBell::setCoef(musicalType, frequency, gain, q, samplingRate, section);
        } else {
            const int side = shape == LowShelf ? VariQShelf::Low : VariQShelf::High;
            VariQShelf::setCoef(musicalType, side, frequency, gain, VariQShelf::slopeOfQ(q), samplingRate, section);
        }
    } else {
        section = classic(samplingRate, q, gain, frequency, shape);
    }
    return isFinite(section) ? section : kFailedSection;
}

double Calculator::phiOf(double frequency, double fs)
{
    const double sine = std::sin(kPi * frequency / fs);
    return 4.0 * sine * sine;
}

double Calculator::sectionGainDb(const Section& s, double frequency, double fs)
{
    return sectionGainDbAtPhi(s, phiOf(frequency, fs));
}

namespace {

// Squared magnitudes of numerator and denominator at phi = 4 sin^2(w / 2).
// With s = phi / 4 and c = 1 - s, |b0 + b1 z^-1 + b2 z^-2|^2 on the unit
// circle is (c (b0 + b1 + b2) - s (b0 - b1 + b2))^2 + 4 s c (b0 - b2)^2: the
// expanded (b0 + b1 + b2)^2 - phi (4 b0 b2 + b1 (b0 + b2)) + b0 b2 phi^2
// regrouped so that no products of large coefficients cancel (the expanded
// form loses every digit at the far ends of a +-200 dB bell).
struct Magnitudes
{
    double n;
    double d;
};

double squaredMagnitude(double c0, double c1, double c2, double s)
{
    const double c = 1.0 - s;
    const double real = c * (c0 + c1 + c2) - s * (c0 - c1 + c2);
    const double odd = c0 - c2;
    return real * real + 4.0 * s * c * odd * odd;
}

Magnitudes magnitudesAtPhi(const Section& sec, double phi)
{
    const double s = phi / 4.0;
    return {squaredMagnitude(sec[0], sec[1], sec[2], s), squaredMagnitude(1.0, -sec[3], -sec[4], s)};
}

// 10 log10(x) through the natural logarithm, which glibc computes faster.
double powerToDb(double x)
{
    return k10OverLn10 * std::log(x);
}

} // namespace

double Calculator::sectionGainDbAtPhi(const Section& s, double phi)
{
    const Magnitudes m = magnitudesAtPhi(s, phi);
    if (m.n == 0.0) {
        return -INFINITY;
    }
    if (m.d == 0.0) {
        return INFINITY;
    }
    return powerToDb(m.n / m.d);
}

double Calculator::sectionsGainDbAtPhi(const Section* sections, std::size_t count, double phi)
{
    // The sum of the sections' gains as the logarithm of the product of their
    // power ratios: one logarithm per frequency instead of one per section.
    // The product is folded into dB before it could leave the range of a double.
    constexpr double kFoldAbove = 1e150;
    constexpr double kFoldBelow = 1e-150;
    double folded = 0.0;
    double product = 1.0;
    bool pole = false;
    for (std::size_t i = 0; i < count; ++i) {
        const Magnitudes m = magnitudesAtPhi(sections[i], phi);
        if (m.n == 0.0) {
            return -INFINITY; // a zero wins over a pole at the same frequency
        }
        if (m.d == 0.0) {
            pole = true;
            continue;
        }
        product *= m.n / m.d;
        if (product > kFoldAbove || product < kFoldBelow) {
            folded += powerToDb(product);
            product = 1.0;
        }
    }
    if (pole) {
        return INFINITY;
    }
    return folded + powerToDb(product);
}

double Calculator::amplitudeOfDb(double gainDb)
{
    const double x = std::fabs(gainDb) / 20.0 * kLn10;
    if (std::isnan(x)) {
        return x;
    }
    // Beyond this the power of two no longer fits a double.
    if (x > 1024.0 * kLn2) {
        return INFINITY;
    }
    const double e = std::round(x / kLn2); // half away from zero
    const double r = x - e * kLn2;
    const double m = r * r;
    const double d = 2.0 + m / (6.0 + m / (10.0 + m / 14.0));
    const double expR = (r + d) / (d - r);

    // 2^e by repeated squaring; e is never negative here as |gain| is used.
    double power = 1.0;
    double base = 2.0;
    for (auto n = static_cast<unsigned>(e); n != 0; n >>= 1) {
        if (n & 1u) {
            power *= base;
        }
        base *= base;
    }
    return power * expR;
}

} // namespace EQGraph
