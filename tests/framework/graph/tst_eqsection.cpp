// Equaliser sections: the closed-form gain against the response evaluated
// directly from the coefficients, the classic designs against their analog
// prototypes through the bilinear transform, the musical bell and shelf
// shapes, and inputs at and beyond the edges.
#include "EQGraphCalculator.h"
#include "EqReference.h"
#include "MusicalEq.h"

#include <QtTest>

#include <cmath>
#include <limits>

using EQGraph::Calculator;
using EQGraph::Section;

Q_DECLARE_METATYPE(QList<Section>)

namespace {

using EqReference::kPi;
using EqReference::responseDb;
constexpr double kFlatDb = 1e-9;

enum Musical { Precise = 0, Aggressive = 1, Smooth = 2, Legacy = 3 };

// 0 Hz, a logarithmic sweep from 1 Hz, and the Nyquist frequency.
QList<double> sweep(double fs, int points = 400)
{
    QList<double> f{0.0};
    const double ratio = std::pow(fs / 2.0, 1.0 / (points - 1));
    double v = 1.0;
    for (int i = 0; i < points - 1; ++i, v *= ratio) {
        f.append(v);
    }
    f.append(fs / 2.0);
    return f;
}

bool isFinite(const Section& s)
{
    return std::all_of(s.begin(), s.end(), [](double c) { return std::isfinite(c); });
}

const char* shapeName(int shape)
{
    switch (shape) {
    case Calculator::Peaking:
        return "peaking";
    case Calculator::BandPass:
        return "bandpass";
    case Calculator::LowShelf:
        return "lowshelf";
    case Calculator::HighShelf:
        return "highshelf";
    case Calculator::LowPass1st:
        return "lowpass1";
    case Calculator::LowPass2nd:
        return "lowpass2";
    case Calculator::HighPass1st:
        return "highpass1";
    case Calculator::HighPass2nd:
        return "highpass2";
    }
    return "other";
}

// The analog prototype of a classic shape through the bilinear transform.
double prototypeDb(int shape, double T, double t, double q, double gain)
{
    switch (shape) {
    case Calculator::Peaking:
        return EqReference::peakingDb(T, t, q, gain);
    case Calculator::BandPass:
        return EqReference::bandPassDb(T, t, q, gain);
    case Calculator::LowShelf:
    case Calculator::HighShelf:
        return EqReference::shelfDb(T, t, gain, shape == Calculator::HighShelf);
    case Calculator::LowPass1st:
    case Calculator::HighPass1st:
        return EqReference::firstOrderDb(T, t, shape == Calculator::HighPass1st);
    case Calculator::LowPass2nd:
    case Calculator::HighPass2nd:
        return EqReference::secondOrderDb(T, t, q, shape == Calculator::HighPass2nd);
    }
    return 0.0;
}

} // namespace

class TestEqSection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void closedFormMatchesResponse_data();
    void closedFormMatchesResponse();
    void classicMatchesPrototype_data();
    void classicMatchesPrototype();
    void musicalBell_data();
    void musicalBell();
    void musicalShelf_data();
    void musicalShelf();
    void shelfWeightCurve_data();
    void shelfWeightCurve();
    void extremeInputs_data();
    void extremeInputs();
    void summedSections_data();
    void summedSections();
};

void TestEqSection::closedFormMatchesResponse_data()
{
    QTest::addColumn<int>("shape");
    QTest::addColumn<int>("musical");
    QTest::addColumn<double>("fs");
    QTest::addColumn<double>("frequency");
    QTest::addColumn<double>("gain");
    QTest::addColumn<double>("q");

    const int shapes[]
        = {Calculator::Peaking,    Calculator::BandPass,   Calculator::LowShelf,    Calculator::HighShelf,
           Calculator::LowPass1st, Calculator::LowPass2nd, Calculator::HighPass1st, Calculator::HighPass2nd};
    struct Setting
    {
        double fs, frequency, gain, q;
    };
    const Setting settings[] = {
        {44100, 1000, 12, 1}, {48000, 60, -9, 0.5}, {96000, 12000, 6, 4}, {88200, 250, -18, 2}, {48000, 18000, 3, 0.7}};
    for (int musical = Precise; musical <= Legacy; ++musical) {
        for (int shape : shapes) {
            for (const Setting& s : settings) {
                QTest::addRow("%s m%d %g Hz %+g dB q %g @%g", shapeName(shape), musical, s.frequency, s.gain, s.q, s.fs)
                    << shape << musical << s.fs << s.frequency << s.gain << s.q;
            }
        }
    }
}

void TestEqSection::closedFormMatchesResponse()
{
    QFETCH(int, shape);
    QFETCH(int, musical);
    QFETCH(double, fs);
    QFETCH(double, frequency);
    QFETCH(double, gain);
    QFETCH(double, q);

    const Section s = Calculator::calEQCoef(fs, q, gain, frequency, shape, musical);
    QVERIFY(isFinite(s));
    QVERIFY2(s != EQGraph::kFailedSection, "a design inside the usual range must not fail");
    for (double f : sweep(fs)) {
        const double expected = responseDb(s, f, fs);
        const double actual = Calculator::sectionGainDb(s, f, fs);
        QVERIFY2(!std::isnan(actual), qPrintable(QString::number(f)));
        if (expected > -100.0) {
            // Near a zero on the unit circle the closed form cancels terms of
            // order 1: there its power may be off by a few 1e-13.
            const double powerError = std::fabs(std::pow(10.0, actual / 10.0) - std::pow(10.0, expected / 10.0));
            QVERIFY2(std::fabs(actual - expected) < 1e-6 || powerError < 1e-12,
                     qPrintable(QStringLiteral("%1 Hz: %2 dB, expected %3 dB").arg(f).arg(actual).arg(expected)));
        } else {
            // Deep in a zero: rounding decides how deep.
            QVERIFY2(actual < -80.0,
                     qPrintable(QStringLiteral("%1 Hz: %2 dB, expected %3 dB").arg(f).arg(actual).arg(expected)));
        }
    }
}

void TestEqSection::classicMatchesPrototype_data()
{
    QTest::addColumn<int>("shape");
    QTest::addColumn<double>("fs");
    QTest::addColumn<double>("frequency");
    QTest::addColumn<double>("gain");
    QTest::addColumn<double>("q");
    // At +-200 dB the coefficients themselves carry the error: b0 and b2
    // differ by 1e10 times what they add up to at 0 Hz.
    QTest::addColumn<double>("tolerance");

    QTest::newRow("peaking boost") << int(Calculator::Peaking) << 48000.0 << 1000.0 << 12.0 << 1.41 << 1e-6;
    QTest::newRow("peaking cut") << int(Calculator::Peaking) << 44100.0 << 3150.0 << -15.0 << 0.7 << 1e-6;
    QTest::newRow("peaking +100 dB") << int(Calculator::Peaking) << 96000.0 << 400.0 << 100.0 << 8.0 << 1e-6;
    QTest::newRow("peaking -100 dB") << int(Calculator::Peaking) << 96000.0 << 400.0 << -100.0 << 8.0 << 1e-6;
    QTest::newRow("peaking +200 dB") << int(Calculator::Peaking) << 48000.0 << 1000.0 << 200.0 << 0.2 << 1e-3;
    QTest::newRow("peaking -200 dB") << int(Calculator::Peaking) << 48000.0 << 1000.0 << -200.0 << 0.2 << 1e-3;
    QTest::newRow("bandpass") << int(Calculator::BandPass) << 48000.0 << 2000.0 << 6.0 << 3.0 << 1e-6;
    QTest::newRow("notch") << int(Calculator::BandPass) << 48000.0 << 2000.0 << -6.0 << 3.0 << 1e-6;
    QTest::newRow("low shelf boost") << int(Calculator::LowShelf) << 44100.0 << 200.0 << 9.0 << 1.0 << 1e-6;
    QTest::newRow("low shelf cut") << int(Calculator::LowShelf) << 88200.0 << 120.0 << -20.0 << 1.0 << 1e-6;
    QTest::newRow("high shelf boost") << int(Calculator::HighShelf) << 48000.0 << 8000.0 << 4.5 << 1.0 << 1e-6;
    QTest::newRow("high shelf cut") << int(Calculator::HighShelf) << 96000.0 << 5000.0 << -30.0 << 1.0 << 1e-6;
    QTest::newRow("low-pass 1st") << int(Calculator::LowPass1st) << 48000.0 << 3000.0 << 1.0 << 1.0 << 1e-6;
    QTest::newRow("high-pass 1st") << int(Calculator::HighPass1st) << 44100.0 << 80.0 << 1.0 << 1.0 << 1e-6;
    QTest::newRow("low-pass 2nd") << int(Calculator::LowPass2nd) << 48000.0 << 5000.0 << 1.0 << 0.707106 << 1e-6;
    QTest::newRow("low-pass 2nd resonant") << int(Calculator::LowPass2nd) << 48000.0 << 500.0 << 0.0 << 5.0 << 1e-6;
    QTest::newRow("high-pass 2nd") << int(Calculator::HighPass2nd) << 96000.0 << 40.0 << 1.0 << 0.541196 << 1e-6;
}

void TestEqSection::classicMatchesPrototype()
{
    QFETCH(int, shape);
    QFETCH(double, fs);
    QFETCH(double, frequency);
    QFETCH(double, gain);
    QFETCH(double, q);
    QFETCH(double, tolerance);

    const Section s = Calculator::calEQCoef(fs, q, gain, frequency, shape, Legacy);
    const double t = std::tan(kPi * frequency / fs);
    for (double f : sweep(fs)) {
        if (f >= fs / 2.0) {
            continue; // the prewarped frequency is infinite there; checked by name below
        }
        const double T = std::tan(kPi * f / fs);
        const double expected = prototypeDb(shape, T, t, q, gain);
        const double actual = Calculator::sectionGainDb(s, f, fs);
        if (expected > -100.0) {
            QVERIFY2(std::fabs(actual - expected) < tolerance,
                     qPrintable(QStringLiteral("%1 Hz: %2 dB, expected %3 dB").arg(f).arg(actual).arg(expected)));
        } else {
            QVERIFY2(actual < -80.0, qPrintable(QStringLiteral("%1 Hz: %2 dB").arg(f).arg(actual)));
        }
    }
    // The centre and the far ends by name: the peak gain at its frequency,
    // nothing left at 0 Hz and at Nyquist.
    if (shape == Calculator::Peaking) {
        const double exact = tolerance > 1e-6 ? tolerance : kFlatDb;
        QVERIFY(std::fabs(Calculator::sectionGainDb(s, frequency, fs) - gain) < exact);
        QVERIFY(std::fabs(Calculator::sectionGainDb(s, 0.0, fs)) < exact);
        QVERIFY(std::fabs(Calculator::sectionGainDb(s, fs / 2.0, fs)) < exact);
    }
    if (shape == Calculator::LowShelf || shape == Calculator::HighShelf) {
        const bool low = shape == Calculator::LowShelf;
        QVERIFY(std::fabs(Calculator::sectionGainDb(s, 0.0, fs) - (low ? gain : 0.0)) < 1e-9);
        QVERIFY(std::fabs(Calculator::sectionGainDb(s, fs / 2.0, fs) - (low ? 0.0 : gain)) < 1e-9);
    }
}

void TestEqSection::musicalBell_data()
{
    QTest::addColumn<int>("musical");
    QTest::addColumn<double>("fs");
    QTest::addColumn<double>("frequency");
    QTest::addColumn<double>("gain");
    QTest::addColumn<double>("q");

    const double gains[] = {3.0, 12.0, 24.0};
    for (int musical = Precise; musical <= Smooth; ++musical) {
        for (double gain : gains) {
            QTest::addRow("m%d 1 kHz %g dB q 1", musical, gain) << musical << 48000.0 << 1000.0 << gain << 1.0;
            QTest::addRow("m%d 8 kHz %g dB q 0.4", musical, gain) << musical << 44100.0 << 8000.0 << gain << 0.4;
            QTest::addRow("m%d 60 Hz %g dB q 6", musical, gain) << musical << 96000.0 << 60.0 << gain << 6.0;
        }
    }
}

// A bell reaches its gain at its centre and nowhere more, is flat at 0 Hz,
// meets its analog prototype at Nyquist (Precise keeps q unchanged), and
// where boost and cut share their q the cut is the exact inverse.
void TestEqSection::musicalBell()
{
    QFETCH(int, musical);
    QFETCH(double, fs);
    QFETCH(double, frequency);
    QFETCH(double, gain);
    QFETCH(double, q);

    const Section boost = Calculator::calEQCoef(fs, q, gain, frequency, Calculator::Peaking, musical);
    const Section cut = Calculator::calEQCoef(fs, q, -gain, frequency, Calculator::Peaking, musical);
    QVERIFY(boost != EQGraph::kFailedSection);
    QVERIFY(cut != EQGraph::kFailedSection);
    // Differs from the classic bell of the same settings.
    const Section classic = Calculator::calEQCoef(fs, q, gain, frequency, Calculator::Peaking, Legacy);
    QVERIFY(boost != classic);

    QVERIFY(std::fabs(responseDb(boost, frequency, fs) - gain) < 1e-6);
    QVERIFY(std::fabs(responseDb(cut, frequency, fs) + gain) < 1e-6);
    QVERIFY(std::fabs(responseDb(boost, 0.0, fs)) < kFlatDb);
    if (musical == Precise) {
        // Analog bell |H(jw)|^2 = ((1 - w^2)^2 + A^2 (w/q)^2) / ((1 - w^2)^2 + (w/q)^2).
        const double w = fs / 2.0 / frequency;
        const double a2 = std::pow(10.0, gain / 10.0);
        const double x = 1.0 - w * w;
        const double nyquist = 10.0 * std::log10((x * x + a2 * w * w / q / q) / (x * x + w * w / q / q));
        QVERIFY2(std::fabs(responseDb(boost, fs / 2.0, fs) - nyquist) < 1e-6,
                 qPrintable(QString::number(responseDb(boost, fs / 2.0, fs))));
    }
    // Aggressive widens a boost and a cut by different exponents, so only
    // the other two mirror exactly.
    for (double f : sweep(fs)) {
        const double up = responseDb(boost, f, fs);
        const double down = responseDb(cut, f, fs);
        QVERIFY2(up <= gain + 1e-9 && up >= -1e-9, qPrintable(QStringLiteral("%1 Hz: %2 dB").arg(f).arg(up)));
        QVERIFY2(down >= -gain - 1e-9 && down <= 1e-9, qPrintable(QStringLiteral("%1 Hz: %2 dB").arg(f).arg(down)));
        if (musical != Aggressive) {
            QVERIFY2(std::fabs(up + down) < 1e-6, qPrintable(QString::number(f)));
        }
    }
}

void TestEqSection::musicalShelf_data()
{
    QTest::addColumn<int>("musical");
    QTest::addColumn<int>("shape");
    QTest::addColumn<double>("fs");
    QTest::addColumn<double>("frequency");
    QTest::addColumn<double>("gain");
    QTest::addColumn<double>("q");

    const double gains[] = {-18.0, -6.0, 6.0, 18.0};
    for (int musical = Precise; musical <= Smooth; ++musical) {
        for (int shape : {int(Calculator::LowShelf), int(Calculator::HighShelf)}) {
            for (double gain : gains) {
                QTest::addRow("m%d %s %g dB", musical, shapeName(shape), gain)
                    << musical << shape << 48000.0 << 1000.0 << gain << 0.707;
            }
            QTest::addRow("m%d %s steep", musical, shapeName(shape))
                << musical << shape << 44100.0 << 300.0 << 9.0 << 8.0;
            QTest::addRow("m%d %s gentle", musical, shapeName(shape))
                << musical << shape << 96000.0 << 6000.0 << -9.0 << 0.2;
        }
    }
}

// A shelf has its full gain on its own side (0 Hz or Nyquist), none on the
// other, and lies between the two far from its corner. Only Precise follows
// the q (as a slope); Smooth uses the same set for boost and cut, so its cut
// is the exact inverse of its boost.
void TestEqSection::musicalShelf()
{
    QFETCH(int, musical);
    QFETCH(int, shape);
    QFETCH(double, fs);
    QFETCH(double, frequency);
    QFETCH(double, gain);
    QFETCH(double, q);

    const bool low = shape == Calculator::LowShelf;
    const Section s = Calculator::calEQCoef(fs, q, gain, frequency, shape, musical);
    QVERIFY(s != EQGraph::kFailedSection);
    QVERIFY(std::fabs(responseDb(s, 0.0, fs) - (low ? gain : 0.0)) < 1e-9);
    QVERIFY(std::fabs(responseDb(s, fs / 2.0, fs) - (low ? 0.0 : gain)) < 1e-9);
    // Two decades away from the corner on either side it is within 1 dB of
    // the asymptote.
    const double lowEnd = responseDb(s, frequency / 100.0, fs);
    const double highEnd = responseDb(s, std::min(frequency * 100.0, fs / 2.0), fs);
    QVERIFY2(std::fabs(lowEnd - (low ? gain : 0.0)) < 1.0, qPrintable(QString::number(lowEnd)));
    if (frequency * 100.0 < fs / 2.0) {
        QVERIFY2(std::fabs(highEnd - (low ? 0.0 : gain)) < 1.0, qPrintable(QString::number(highEnd)));
    }

    const Section otherQ = Calculator::calEQCoef(fs, q * 3.0, gain, frequency, shape, musical);
    QCOMPARE(otherQ == s, musical != Precise);
    if (musical == Smooth) {
        const Section inverse = Calculator::calEQCoef(fs, q, -gain, frequency, shape, musical);
        for (double f : sweep(fs, 50)) {
            QVERIFY(std::fabs(responseDb(s, f, fs) + responseDb(inverse, f, fs)) < 1e-6);
        }
    }
}

void TestEqSection::shelfWeightCurve_data()
{
    QTest::addColumn<double>("f1");
    QTest::addColumn<double>("f2");
    QTest::addColumn<double>("y1");
    QTest::addColumn<double>("y2");

    QTest::newRow("20 Hz-20 kHz rising") << 20.0 << 20000.0 << 1.0 << 1.68;
    QTest::newRow("20 Hz-20 kHz falling") << 20.0 << 20000.0 << 1.36 << 1.0;
    QTest::newRow("100 Hz-3 kHz") << 100.0 << 3000.0 << -2.0 << 5.0;
    QTest::newRow("flat") << 20.0 << 20000.0 << 1.5 << 1.5;
}

// The blend is two parabolas in log-frequency, y1 + (ym - y1) u^2 from f1 to
// the middle and y2 + (ym - y2) u^2 from f2 back to it, constant outside.
void TestEqSection::shelfWeightCurve()
{
    QFETCH(double, f1);
    QFETCH(double, f2);
    QFETCH(double, y1);
    QFETCH(double, y2);

    const double x1 = std::log10(f1), x2 = std::log10(f2), xm = (x1 + x2) / 2.0, ym = (y1 + y2) / 2.0;
    for (double f = f1 / 4.0; f < f2 * 4.0; f *= 1.05) {
        const double x = std::log10(f);
        double expected;
        if (x <= x1) {
            expected = y1;
        } else if (x >= x2) {
            expected = y2;
        } else if (x < xm) {
            expected = y1 + (ym - y1) * std::pow((x - x1) / (xm - x1), 2);
        } else {
            expected = y2 + (ym - y2) * std::pow((x2 - x) / (x2 - xm), 2);
        }
        const std::optional<double> actual = VariQShelf::calcCoeQbyF(f, f1, f2, y1, y2);
        QVERIFY(actual.has_value());
        QVERIFY2(std::fabs(*actual - expected) < 1e-12,
                 qPrintable(QStringLiteral("%1 Hz: %2, expected %3").arg(f).arg(*actual).arg(expected)));
    }
    QCOMPARE(*VariQShelf::calcCoeQbyF(0.0, f1, f2, y1, y2), y1);
    QCOMPARE(*VariQShelf::calcCoeQbyF(1000.0, f1, -1.0, y1, y2), y1);
}

void TestEqSection::extremeInputs_data()
{
    QTest::addColumn<int>("shape");
    QTest::addColumn<int>("musical");
    QTest::addColumn<double>("fs");
    QTest::addColumn<double>("frequency");
    QTest::addColumn<double>("gain");
    QTest::addColumn<double>("q");
    // What the design must give: "same" as the reference settings below,
    // "failed" (all zeros), "flat", or "finite" (a usable section).
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<double>("refFs");
    QTest::addColumn<double>("refFrequency");
    QTest::addColumn<double>("refQ");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const int peq = Calculator::Peaking;
    const int hp2 = Calculator::HighPass2nd;
    const int ls = Calculator::LowShelf;
    const int hs = Calculator::HighShelf;

    for (int musical : {int(Precise), int(Legacy)}) {
        const QByteArray m = musical == Legacy ? "classic" : "musical";
        QTest::newRow(m + " frequency 0")
            << peq << musical << 48000.0 << 0.0 << 6.0 << 1.0 << "same" << 48000.0 << 15.0 << 1.0;
        QTest::newRow(m + " frequency -500")
            << hs << musical << 48000.0 << -500.0 << 6.0 << 1.0 << "same" << 48000.0 << 15.0 << 1.0;
        QTest::newRow(m + " frequency NaN")
            << ls << musical << 48000.0 << nan << 6.0 << 1.0 << "same" << 48000.0 << 15.0 << 1.0;
        QTest::newRow(m + " q 0") << peq << musical << 48000.0 << 1000.0 << -6.0 << 0.0 << "same" << 48000.0 << 1000.0
                                  << 0.1;
        QTest::newRow(m + " q -3") << hs << musical << 48000.0 << 1000.0 << 6.0 << -3.0 << "same" << 48000.0 << 1000.0
                                   << 0.1;
        QTest::newRow(m + " fs 0") << peq << musical << 0.0 << 1000.0 << 6.0 << 1.0 << "same" << 44100.0 << 1000.0
                                   << 1.0;
        QTest::newRow(m + " fs -48000") << ls << musical << -48000.0 << 1000.0 << 6.0 << 1.0 << "same" << 44100.0
                                        << 1000.0 << 1.0;
        QTest::newRow(m + " gain NaN") << peq << musical << 48000.0 << 1000.0 << nan << 1.0 << "failed" << 0.0 << 0.0
                                       << 0.0;
        QTest::newRow(m + " gain inf") << ls << musical << 48000.0 << 1000.0 << inf << 1.0 << "failed" << 0.0 << 0.0
                                       << 0.0;
        QTest::newRow(m + " frequency inf")
            << peq << musical << 48000.0 << inf << 6.0 << 1.0 << "failed" << 0.0 << 0.0 << 0.0;
        QTest::newRow(m + " gain 0") << peq << musical << 48000.0 << 1000.0 << 0.0 << 1.0 << "flat" << 0.0 << 0.0
                                     << 0.0;
    }
    // +-100 dB: the classic formulas and the bells cope; a shelf whose
    // corner qs turn negative at that gain is a failed design.
    QTest::newRow("classic peaking +100 dB")
        << peq << int(Legacy) << 48000.0 << 1000.0 << 100.0 << 1.0 << "finite" << 0.0 << 0.0 << 0.0;
    QTest::newRow("classic low shelf -100 dB")
        << ls << int(Legacy) << 48000.0 << 1000.0 << -100.0 << 1.0 << "finite" << 0.0 << 0.0 << 0.0;
    QTest::newRow("musical bell +100 dB")
        << peq << int(Aggressive) << 48000.0 << 1000.0 << 100.0 << 1.0 << "finite" << 0.0 << 0.0 << 0.0;
    QTest::newRow("musical bell -100 dB")
        << peq << int(Smooth) << 48000.0 << 1000.0 << -100.0 << 1.0 << "finite" << 0.0 << 0.0 << 0.0;
    QTest::newRow("musical shelf +100 dB smooth")
        << hs << int(Smooth) << 48000.0 << 1000.0 << 100.0 << 1.0 << "finite" << 0.0 << 0.0 << 0.0;
    QTest::newRow("musical shelf +100 dB precise")
        << ls << int(Precise) << 48000.0 << 1000.0 << 100.0 << 1.0 << "failed" << 0.0 << 0.0 << 0.0;
    QTest::newRow("musical shelf -100 dB aggressive")
        << hs << int(Aggressive) << 48000.0 << 1000.0 << -100.0 << 1.0 << "failed" << 0.0 << 0.0 << 0.0;
    // Above Nyquist: the bell refuses its centre, the shelf keeps its corner
    // below Nyquist, the classic formulas design the mirror image.
    QTest::newRow("musical bell above Nyquist")
        << peq << int(Precise) << 44100.0 << 30000.0 << 6.0 << 1.0 << "failed" << 0.0 << 0.0 << 0.0;
    QTest::newRow("musical bell at Nyquist")
        << peq << int(Smooth) << 48000.0 << 24000.0 << 6.0 << 1.0 << "failed" << 0.0 << 0.0 << 0.0;
    QTest::newRow("musical shelf above Nyquist")
        << hs << int(Precise) << 44100.0 << 30000.0 << 6.0 << 1.0 << "finite" << 0.0 << 0.0 << 0.0;
    QTest::newRow("classic peaking above Nyquist")
        << peq << int(Legacy) << 44100.0 << 30000.0 << 6.0 << 1.0 << "finite" << 0.0 << 0.0 << 0.0;
    QTest::newRow("classic high-pass above Nyquist")
        << hp2 << int(Legacy) << 44100.0 << 40000.0 << 1.0 << 0.1 << "finite" << 0.0 << 0.0 << 0.0;
    QTest::newRow("classic peaking at Nyquist")
        << peq << int(Legacy) << 48000.0 << 24000.0 << 6.0 << 1.0 << "finite" << 0.0 << 0.0 << 0.0;
    // Types and shapes outside the known ones.
    QTest::newRow("musical type 4") << peq << 4 << 48000.0 << 1000.0 << 6.0 << 1.0 << "failed" << 0.0 << 0.0 << 0.0;
    QTest::newRow("musical type -1") << ls << -1 << 48000.0 << 1000.0 << 6.0 << 1.0 << "failed" << 0.0 << 0.0 << 0.0;
    QTest::newRow("shape 2") << 2 << int(Legacy) << 48000.0 << 1000.0 << 6.0 << 1.0 << "flat" << 0.0 << 0.0 << 0.0;
    QTest::newRow("shape 5 musical") << 5 << int(Smooth) << 48000.0 << 1000.0 << 6.0 << 1.0 << "flat" << 0.0 << 0.0
                                     << 0.0;
    QTest::newRow("high-pass with a cut")
        << hp2 << int(Legacy) << 48000.0 << 1000.0 << -1.0 << 1.0 << "flat" << 0.0 << 0.0 << 0.0;
}

void TestEqSection::extremeInputs()
{
    QFETCH(int, shape);
    QFETCH(int, musical);
    QFETCH(double, fs);
    QFETCH(double, frequency);
    QFETCH(double, gain);
    QFETCH(double, q);
    QFETCH(QString, outcome);
    QFETCH(double, refFs);
    QFETCH(double, refFrequency);
    QFETCH(double, refQ);

    const Section s = Calculator::calEQCoef(fs, q, gain, frequency, shape, musical);
    QVERIFY(isFinite(s));
    if (outcome == QLatin1String("same")) {
        QCOMPARE(s, Calculator::calEQCoef(refFs, refQ, gain, refFrequency, shape, musical));
    } else if (outcome == QLatin1String("failed")) {
        QCOMPARE(s, EQGraph::kFailedSection);
    } else if (outcome == QLatin1String("flat")) {
        QCOMPARE(s, EQGraph::kFlatSection);
    } else {
        QVERIFY(s != EQGraph::kFailedSection);
        QVERIFY(s != EQGraph::kFlatSection);
    }
    // Whatever the design, its curve is a number or an infinity, never NaN;
    // a failed design is minus infinity everywhere.
    const double rate = std::max(fs, 44100.0);
    for (double f : sweep(rate, 100)) {
        const double g = Calculator::sectionGainDb(s, f, rate);
        QVERIFY2(!std::isnan(g), qPrintable(QString::number(f)));
        if (s == EQGraph::kFailedSection) {
            QCOMPARE(g, -std::numeric_limits<double>::infinity());
        }
    }
    // Above Nyquist the classic bell is the mirror image below it.
    if (outcome == QLatin1String("finite") && musical == Legacy && shape == Calculator::Peaking
        && frequency > fs / 2.0) {
        QVERIFY(std::fabs(responseDb(s, fs - frequency, fs) - gain) < 1e-6);
    }
}

void TestEqSection::summedSections_data()
{
    QTest::addColumn<QList<Section>>("sections");

    const auto peq = [](double f, double g, double q) {
        return Calculator::calEQCoef(48000.0, q, g, f, Calculator::Peaking, Legacy);
    };
    QList<Section> busy;
    for (int i = 0; i < 16; ++i) {
        busy.append(i % 4 == 0
                        ? Calculator::calEQCoef(48000.0, 0.7, 1.0, 30.0 * (i + 1), Calculator::HighPass2nd, Legacy)
                        : peq(40.0 * (i + 1) * (i + 1), (i % 2 ? 9.0 : -7.0), 0.5 + i / 4.0));
    }
    QList<Section> loud; // far beyond the range of one double as a power ratio
    for (int i = 0; i < 16; ++i) {
        loud.append(peq(1000.0, 200.0, 0.2));
    }
    QList<Section> quiet;
    for (int i = 0; i < 16; ++i) {
        quiet.append(peq(1000.0, -200.0, 0.2));
    }
    // A double pole on the unit circle at 0 Hz: (1 - z^-1)^2 below.
    const Section pole{1.0, 0.0, 0.0, 2.0, -1.0};

    QTest::newRow("none") << QList<Section>{};
    QTest::newRow("one") << QList<Section>{peq(1000.0, 6.0, 1.0)};
    QTest::newRow("sixteen") << busy;
    QTest::newRow("+3200 dB") << loud;
    QTest::newRow("-3200 dB") << quiet;
    QTest::newRow("with a failed one") << QList<Section>{peq(1000.0, 6.0, 1.0), EQGraph::kFailedSection};
    QTest::newRow("with a pole") << QList<Section>{peq(1000.0, 6.0, 1.0), pole};
    QTest::newRow("pole and failed") << QList<Section>{pole, EQGraph::kFailedSection};
}

// The summed curve is the sum of the sections' responses; a vanishing
// numerator anywhere gives minus infinity, a pole alone plus infinity.
void TestEqSection::summedSections()
{
    QFETCH(QList<Section>, sections);

    const double fs = 48000.0;
    for (double f : sweep(fs, 200)) {
        double expected = 0.0;
        bool zero = false;
        for (const Section& s : sections) {
            const double db = responseDb(s, f, fs);
            zero = zero || db == -std::numeric_limits<double>::infinity();
            expected += db;
        }
        if (zero) {
            expected = -std::numeric_limits<double>::infinity();
        }
        const double actual = Calculator::sectionsGainDbAtPhi(sections.constData(), sections.size(),
                                                              4.0 * std::pow(std::sin(kPi * f / fs), 2));
        QVERIFY2(!std::isnan(actual), qPrintable(QString::number(f)));
        if (std::isinf(expected) || std::isnan(expected)) {
            QCOMPARE(actual, expected);
        } else {
            // Each section's closed form may be off by up to 1e-6 dB.
            const double tolerance = 1e-6 * std::max<qsizetype>(1, sections.size()) + 1e-9 * std::fabs(expected);
            QVERIFY2(std::fabs(actual - expected) < tolerance,
                     qPrintable(QStringLiteral("%1 Hz: %2 dB, expected %3 dB").arg(f).arg(actual).arg(expected)));
        }
    }
}

QTEST_APPLESS_MAIN(TestEqSection)
#include "tst_eqsection.moc"
