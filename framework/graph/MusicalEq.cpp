#include "MusicalEq.h"

#include "ResultCode.h"

#include <algorithm>
#include <cmath>

using EQGraph::Section;

namespace {

constexpr double kPi = 3.14159265358979323846;

constexpr int kPrecise = 0;
constexpr int kNumberOfMusicalTypes = 3;

// Effective-q exponents of the bell per musical type: x for a boost, y for a
// cut, z the reference gain.
struct BellRow
{
    double x;
    double y;
    double z;
};
constexpr BellRow kBellTable[kNumberOfMusicalTypes] = {
    {0.0, 0.0, 8.0}, // Precise
    {0.7, 0.5, 18.0}, // Aggressive
    {0.8, 0.8, 9.0}, // Smooth
};

// T0..T3 q bounds at slope 0 and 1 of the two band edges, T4 corner shift
// exponent, T5 slope widening, T6/T7 q weights at the far end of T8..T9 Hz,
// T10 frequency scale.
using ShelfSet = std::array<double, 11>;
struct ShelfRow
{
    ShelfSet boost;
    ShelfSet cut;
};
constexpr ShelfRow kLowShelfTable[kNumberOfMusicalTypes] = {
    {{0.5, 1.71, 0.5, 1.63, 0.1, 0.37, 1, 1, 20, 20000, 1}, {0.5, 1.71, 0.5, 1.63, 0.16, 0.37, 1, 1, 20, 20000, 1}},
    {{2.6, 2.6, 0.76, 0.76, 0, 1, 1.68, 1.36, 20, 20000, 1},
     {2.78, 2.78, 0.73, 0.73, -0.39, 1, 1.14, 1.31, 20, 20000, 1.35}},
    {{0.5, 0.5, 1, 1, 0.38, 0, 1, 1, 20, 20000, 1}, {0.5, 0.5, 1, 1, 0.38, 0, 1, 1, 20, 20000, 1}},
};
constexpr ShelfRow kHighShelfTable[kNumberOfMusicalTypes] = {
    {{0.5, 1.77, 0.5, 1.33, 0.1, 0.62, 1, 1, 20, 20000, 1}, {0.5, 1.77, 0.5, 1.33, 0.09, 0.62, 1, 1, 20, 20000, 1}},
    {{1.26, 1.26, 0.99, 0.99, 0.5, 0.37, 1, 1, 20, 20000, 1.62},
     {1.26, 1.26, 1.07, 1.07, 0.08, 0.25, 1, 1, 20, 20000, 1}},
    {{0.5, 0.5, 1, 1, 0.38, 0, 1, 1, 20, 20000, 1}, {0.5, 0.5, 1, 1, 0.38, 0, 1, 1, 20, 20000, 1}},
};

bool isValidMusicalType(int type)
{
    return type >= 0 && type < kNumberOfMusicalTypes;
}

// A square root that reports a negative (or NaN) argument instead of
// spoiling the design with a NaN.
bool checkedSqrt(double value, double& out)
{
    if (!(value >= 0.0)) {
        return false;
    }
    out = std::sqrt(value);
    return true;
}

bool isFiniteSection(const Section& s)
{
    return std::all_of(s.begin(), s.end(), [](double c) { return std::isfinite(c); });
}

double db20(double gain)
{
    return std::pow(10.0, std::fabs(gain) * 0.05);
}

// q interpolated geometrically between its bounds at slope 0 and 1.
double slopedQ(double atZero, double atOne, double slope)
{
    if (!(atZero > 0.0) || !(atOne > 0.0)) {
        return atZero;
    }
    const double lz = std::log10(atZero);
    return std::pow(10.0, lz + slope * (std::log10(atOne) - lz));
}

} // namespace

int32_t MusicalEq::checkDivisor(double divisor)
{
    return std::fabs(divisor) >= kMinDivisor ? ResultCode::kSuccess : ResultCode::kFailure;
}

bool MusicalEq::isZeroGain(double gainDb)
{
    return gainDb > -kZeroGainDb && gainDb < kZeroGainDb;
}

int32_t MusicalEq::checkPositive(double value)
{
    return value > 0.0 ? ResultCode::kSuccess : ResultCode::kFailure;
}

int32_t MusicalEq::checkSamplingRate(double fs)
{
    return fs >= 44100.0 ? ResultCode::kSuccess : ResultCode::kFailure;
}

int32_t MusicalEq::checkBellQ(double q)
{
    return q >= 0.01 ? ResultCode::kSuccess : ResultCode::kFailure;
}

int32_t MusicalEq::checkBelowNyquist(double frequency, double fs)
{
    return frequency < fs / 2.0 ? ResultCode::kSuccess : ResultCode::kFailure;
}

int32_t MusicalEq::checkShelfSide(int side)
{
    return side == VariQShelf::Low || side == VariQShelf::High ? ResultCode::kSuccess : ResultCode::kFailure;
}

int32_t MusicalEq::checkShelfSlope(double slope)
{
    return slope >= -0.3 && slope <= 1.0 ? ResultCode::kSuccess : ResultCode::kFailure;
}

double PropQBell::calcAnalogBell(double f, double f0, double gain, double q)
{
    if (!(f > 0.0) || !(f0 > 0.0) || !(q > 0.0)) {
        return 0.0;
    }
    const double w = f / f0;
    const double d = w / q;
    const double a = 1.0 - w * w;
    const double a0 = db20(gain);
    const double den = d * d + a * a;
    if (den == 0.0) {
        return 0.0;
    }
    const double num = a0 * a0 * d * d + a * a;
    if (num == 0.0) {
        return 0.0;
    }
    const double db = 20.0 * std::log10(std::sqrt(num / den));
    return gain < 0.0 ? -db : db;
}

int32_t PropQBell::setCoef(int musicalType, double f0, double gain, double q, double fs, Section& out)
{
    if (!isValidMusicalType(musicalType)) {
        return ResultCode::kFailure;
    }
    if (MusicalEq::isZeroGain(gain)) {
        out = EQGraph::kFlatSection;
        return ResultCode::kSuccess;
    }
    const BellRow& row = kBellTable[musicalType];
    const double absGain = std::fabs(gain);
    const double p = gain < 0.0 ? row.y : row.x;
    const double u = row.z < 0.0 ? row.y : row.x;
    const double qe = q * std::pow(10.0, -(std::fabs(row.z) - 18.0) * u * 0.05)
                      * std::pow(std::pow(10.0, (absGain - 18.0) * 0.05), p);

    const double g1 = fs > 0.0 ? calcAnalogBell(fs / 2.0, f0, gain, qe) : 0.0;
    if (MusicalEq::checkSamplingRate(fs) != ResultCode::kSuccess || MusicalEq::checkBellQ(qe) != ResultCode::kSuccess
        || MusicalEq::checkPositive(f0) != ResultCode::kSuccess
        || MusicalEq::checkBelowNyquist(f0, fs) != ResultCode::kSuccess) {
        return ResultCode::kFailure;
    }

    const double G1 = db20(g1); // Nyquist gain
    const double A = db20(gain); // peak gain
    const double A2 = A * A;
    const double K = (A2 + 1.0) / 2.0; // band-edge gain, squared
    const double r = std::sqrt(K);
    if (MusicalEq::checkDivisor(A - 1.0) != ResultCode::kSuccess) {
        return ResultCode::kFailure;
    }
    const double I = (G1 - 1.0) / (A - 1.0);
    const double J = 1.0 + 0.3 * (1.0 - I);
    if (MusicalEq::checkDivisor(J) != ResultCode::kSuccess) {
        return ResultCode::kFailure;
    }
    const double Rp = (A - r) * I / J + r;
    const double F = Rp * Rp - G1 * G1;
    if (MusicalEq::checkDivisor(A2 - 1.0) != ResultCode::kSuccess || MusicalEq::checkDivisor(F) != ResultCode::kSuccess
        || MusicalEq::checkDivisor(A2 - K) != ResultCode::kSuccess) {
        return ResultCode::kFailure;
    }

    // Square roots of negative numbers mean the prescribed gains cannot be
    // met (e.g. a Nyquist gain above the band-edge gain): the design fails.
    const double tanW = std::tan(kPi * f0 / fs);
    double root1, m, root2, root3, a, b;
    if (!checkedSqrt((A2 - G1 * G1) / (A2 - 1.0), root1) || !checkedSqrt((K - 1.0) / F, m)
        || !checkedSqrt(F * (K - 1.0), root2) || !checkedSqrt((A2 - 1.0) * (A2 - G1 * G1), root3)) {
        return ResultCode::kFailure;
    }
    const double W = tanW * tanW * root1;
    const double dw = (1.0 - std::tan(1.05 * f0 / fs)) * (1.0 + m * W) * kPi * (f0 / qe) / fs;
    const double C = std::fabs(dw * dw * std::fabs(F) - 2.0 * W * (std::fabs(K - G1) - root2));
    const double D = 2.0 * W * (std::fabs(A2 - G1) - root3);
    const double spread = std::fabs(A2 - K);
    if (!checkedSqrt((C + D) / spread, a) || !checkedSqrt((A2 * C + K * D) / spread, b)) {
        return ResultCode::kFailure;
    }

    const double N = 1.0 + W + a;
    if (MusicalEq::checkDivisor(N) != ResultCode::kSuccess) {
        return ResultCode::kFailure;
    }
    Section s;
    if (gain >= 0.0) {
        s = {(G1 + W + b) / N, -2.0 * (G1 - W) / N, (G1 + W - b) / N, 2.0 * (1.0 - W) / N, -(1.0 + W - a) / N};
    } else {
        // The exact inverse of the boost of the same size.
        const double NV = G1 + W + b;
        if (MusicalEq::checkDivisor(NV) != ResultCode::kSuccess) {
            return ResultCode::kFailure;
        }
        s = {N / NV, -2.0 * (1.0 - W) / NV, (1.0 + W - a) / NV, 2.0 * (G1 - W) / NV, -(G1 + W - b) / NV};
    }
    if (!isFiniteSection(s)) {
        return ResultCode::kFailure;
    }
    out = s;
    return ResultCode::kSuccess;
}

double VariQShelf::slopeOfQ(double q)
{
    if (q < 0.1) {
        return -0.3;
    }
    if (q <= 0.5) {
        return (10.0 * q - 1.0) * 0.05 - 0.3;
    }
    if (q <= 2.0) {
        return (2.0 * q - 1.0) * 0.1 - 0.1;
    }
    if (q <= 10.0) {
        return q / 10.0;
    }
    return 1.0;
}

std::optional<double> VariQShelf::calcCoeQbyF(double f, double f1, double f2, double y1, double y2)
{
    if (!(f > 0.0) || !(f1 > 0.0) || !(f2 > 0.0)) {
        return y1;
    }
    const double x = std::log10(f);
    const double x1 = std::log10(f1);
    const double x2 = std::log10(f2);
    if (x1 == x2 || y1 == y2 || x <= x1) {
        return y1;
    }
    if (x >= x2) {
        return y2;
    }
    const double xm = (x1 + x2) / 2.0;
    const double ym = (y1 + y2) / 2.0;
    const double sigma = 2.0 * (y2 - y1) / (x2 - x1);
    const bool firstHalf = x < xm;
    const double xE = firstHalf ? x1 : x2;
    const double yE = firstHalf ? y1 : y2;
    const double P = sigma == 0.0 ? xE : xm + (yE - ym) / sigma;

    // x(t) = A t^2 + B t + xE runs from the end point (t = 0) to the middle
    // (t = 1). A is zero in exact arithmetic and a rounding residue in
    // practice, so the root is taken in the form without cancellation:
    // (-B +- sqrt(B^2 - 4AC)) / 2A == 2C / (-B -+ sqrt(B^2 - 4AC)).
    const double A = xE - 2.0 * P + xm;
    const double B = 2.0 * (P - xE);
    const double C = xE - x;
    const double disc = B * B - 4.0 * A * C;
    if (!(disc >= 0.0)) {
        return std::nullopt;
    }
    const double root = std::sqrt(disc);
    const double den = firstHalf ? -B - root : -B + root;
    if (den == 0.0) {
        return 0.0;
    }
    const double t = 2.0 * C / den;
    return (1.0 - t) * (1.0 - t) * yE + 2.0 * t * (1.0 - t) * yE + t * t * ym;
}

int32_t VariQShelf::setCoef(int musicalType, int side, double frequency, double gain, double slope, double fs,
                            Section& out)
{
    if (MusicalEq::checkShelfSide(side) != ResultCode::kSuccess || !isValidMusicalType(musicalType)) {
        return ResultCode::kFailure;
    }
    if (musicalType != kPrecise) {
        slope = 0.0;
    }
    if (MusicalEq::isZeroGain(gain)) {
        out = EQGraph::kFlatSection;
        return ResultCode::kSuccess;
    }
    if (MusicalEq::checkShelfSlope(slope) != ResultCode::kSuccess
        || MusicalEq::checkPositive(frequency) != ResultCode::kSuccess) {
        return ResultCode::kFailure;
    }

    const bool low = side == Low;
    const ShelfRow& row = low ? kLowShelfTable[musicalType] : kHighShelfTable[musicalType];
    const ShelfSet& T = gain >= 0.0 ? row.boost : row.cut;

    const double scaled = T[10] * frequency;
    const double a = std::fabs(gain / 18.0);
    const double e = low ? T[4] : -T[4];
    const double fc = std::pow(10.0, (1.0 - a) * e) * scaled;

    double qA = slopedQ(T[0], T[1], slope);
    double qB = slopedQ(T[2], T[3], slope);
    const auto kA = calcCoeQbyF(scaled, T[8], T[9], low ? T[6] : 1.0, low ? 1.0 : T[6]);
    const auto kB = calcCoeQbyF(scaled, T[8], T[9], low ? T[7] : 1.0, low ? 1.0 : T[7]);
    if (!kA || !kB) {
        return ResultCode::kFailure;
    }
    qA *= *kA;
    qB *= *kB;

    double w = 1.0 + T[5];
    if (slope < 0.0) {
        w = T[5] == 0.0 ? 1.0 : 1.0 + T[5] * (slope + 0.3) / 0.3;
    }
    w *= std::min(qA, qB);
    const double Q1 = w + a * (qA - w);
    const double Q2 = w + a * (qB - w);
    if (!(fs > 0.0) || !(fc > 0.0) || !(Q1 > 0.0) || !(Q2 > 0.0)) {
        return ResultCode::kFailure;
    }

    const double A = db20(gain);
    const double sA = std::sqrt(A);
    // The corner stays 200 Hz below Nyquist; a sampling rate too low to leave
    // room for that has no usable corner.
    const double corner = std::min(low ? fc : fc / sA, fs / 2.0 - 200.0);
    if (!(corner > 0.0)) {
        return ResultCode::kFailure;
    }
    const double t = std::tan(kPi * corner / fs);
    std::array<double, 3> num, den;
    if (low) {
        const double X = t * t;
        const double k1 = t / Q1;
        const double k2 = t * sA / Q2;
        num = {1.0 + k2 + A * X, -2.0 * (1.0 - A * X), 1.0 - k2 + A * X};
        den = {1.0 + k1 + X, -2.0 * (1.0 - X), 1.0 - k1 + X};
    } else {
        const double X = A * t * t;
        const double k1 = t * sA / Q1;
        const double k2 = t / Q2;
        num = {A * (1.0 + k2 + t * t), -2.0 * A * (1.0 - t * t), A * (1.0 - k2 + t * t)};
        den = {1.0 + k1 + X, -2.0 * (1.0 - X), 1.0 - k1 + X};
    }
    if (gain < 0.0) {
        std::swap(num, den);
    }
    if (MusicalEq::checkDivisor(den[0]) != ResultCode::kSuccess) {
        return ResultCode::kFailure;
    }
    const Section s{num[0] / den[0], num[1] / den[0], num[2] / den[0], -den[1] / den[0], -den[2] / den[0]};
    if (!isFiniteSection(s)) {
        return ResultCode::kFailure;
    }
    out = s;
    return ResultCode::kSuccess;
}
