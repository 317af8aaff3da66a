#include "CompCalc2.h"
#include "CompParams.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <QTest>

// The compressor's transfer curve. Expected levels are worked out by hand
// from the meaning of the parameters: below the threshold the output follows
// the input, above it the ratio factor removes that share of the overshoot.
namespace {

using Params = CompParams;

CompCalc2 make(const Params& p)
{
    CompCalc2 calc;
    calc.setThreshold(p.threshold);
    calc.setRatio(p.ratio);
    calc.setKnee(p.knee);
    calc.setGain(p.gain);
    return calc;
}

} // namespace

class TestCompCalc2 : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void levels_data();
    void levels();
    void kneeEnds_data();
    void kneeEnds();
    void betweenTheLines_data();
    void betweenTheLines();
    void refusedValues();
};

void TestCompCalc2::levels_data()
{
    QTest::addColumn<Params>("params");
    QTest::addColumn<double>("input");
    QTest::addColumn<double>("output");

    const Params none{0, 0, 0, 0};
    QTest::newRow("all 0, low") << none << -30.0 << -30.0;
    QTest::newRow("all 0, high") << none << 12.0 << 12.0;

    const Params half{-20, 0.5, 0, 0};
    QTest::newRow("2:1, below") << half << -40.0 << -40.0;
    QTest::newRow("2:1, at threshold") << half << -20.0 << -20.0;
    QTest::newRow("2:1, 20 over") << half << 0.0 << -10.0;
    QTest::newRow("2:1, 30 over") << half << 10.0 << -5.0;

    const Params limit{-10, 1, 0, 3};
    QTest::newRow("limit, below") << limit << -30.0 << -27.0;
    QTest::newRow("limit, above") << limit << 0.0 << -7.0;
    QTest::newRow("limit, far above") << limit << 20.0 << -7.0;
    QTest::newRow("ratio 2 limits") << Params{-10, 2, 0, 3} << 20.0 << -7.0;
    QTest::newRow("ratio -1 passes") << Params{-10, -1, 0, 3} << 20.0 << 23.0;

    QTest::newRow("make-up gain, below") << Params{0, 0.75, 0, 6} << -8.0 << -2.0;
    QTest::newRow("make-up gain, above") << Params{0, 0.75, 0, 6} << 8.0 << 8.0;

    // Knee from -30 to -10; inside it the output drops by K r (a + 1)^2 / 4.
    const Params soft{-20, 0.5, 10, 0};
    QTest::newRow("soft, below knee") << soft << -35.0 << -35.0;
    QTest::newRow("soft, knee start") << soft << -30.0 << -30.0;
    QTest::newRow("soft, quarter in") << soft << -25.0 << -25.3125;
    QTest::newRow("soft, threshold") << soft << -20.0 << -21.25;
    QTest::newRow("soft, knee end") << soft << -10.0 << -15.0;
    QTest::newRow("soft, above knee") << soft << 0.0 << -10.0;

    QTest::newRow("negative knee, low") << Params{-20, 0.5, -1, 4} << -50.0 << 0.0;
    QTest::newRow("negative knee, high") << Params{-20, 0.5, -1, 4} << 50.0 << 0.0;
}

void TestCompCalc2::levels()
{
    QFETCH(Params, params);
    QFETCH(double, input);
    QFETCH(double, output);

    QCOMPARE(make(params).CalcCompressor(input), output);
}

void TestCompCalc2::kneeEnds_data()
{
    QTest::addColumn<Params>("params");
    QTest::addColumn<double>("edge");
    QTest::addColumn<double>("slopeBelow");
    QTest::addColumn<double>("slopeAbove");

    // Soft knees: the same slope on both sides of each end, 1 at the lower
    // end and 1 - ratio at the upper one.
    QTest::newRow("2:1, lower end") << Params{-20, 0.5, 10, 0} << -30.0 << 1.0 << 1.0;
    QTest::newRow("2:1, upper end") << Params{-20, 0.5, 10, 0} << -10.0 << 0.5 << 0.5;
    QTest::newRow("4:1 with gain, lower end") << Params{-12, 0.75, 3, 5} << -15.0 << 1.0 << 1.0;
    QTest::newRow("4:1 with gain, upper end") << Params{-12, 0.75, 3, 5} << -9.0 << 0.25 << 0.25;
    QTest::newRow("limit, narrow knee, lower end") << Params{0, 1, 0.5, 0} << -0.5 << 1.0 << 1.0;
    QTest::newRow("limit, narrow knee, upper end") << Params{0, 1, 0.5, 0} << 0.5 << 0.0 << 0.0;
    QTest::newRow("wide knee, upper end") << Params{-40, 0.9, 30, -3} << -10.0 << 0.1 << 0.1;
    // The hard knee keeps its corner: continuous, but the slope jumps.
    QTest::newRow("hard knee") << Params{-20, 0.5, 0, 0} << -20.0 << 1.0 << 0.5;
}

// Continuity and slope at the knee's ends, from one-sided differences.
void TestCompCalc2::kneeEnds()
{
    QFETCH(Params, params);
    QFETCH(double, edge);
    QFETCH(double, slopeBelow);
    QFETCH(double, slopeAbove);

    const CompCalc2 calc = make(params);
    const double h = 1e-5;
    const double at = calc.CalcCompressor(edge);
    const double below = calc.CalcCompressor(edge - h);
    const double above = calc.CalcCompressor(edge + h);
    // A jump of the value would show as a slope of jump / h.
    QVERIFY2(std::fabs((at - below) / h - slopeBelow) < 1e-3, qPrintable(QString::number((at - below) / h)));
    QVERIFY2(std::fabs((above - at) / h - slopeAbove) < 1e-3, qPrintable(QString::number((above - at) / h)));
}

void TestCompCalc2::betweenTheLines_data()
{
    QTest::addColumn<Params>("params");

    QTest::newRow("2:1") << Params{-20, 0.5, 10, 0};
    QTest::newRow("limit with gain") << Params{-6, 1, 6, 12};
    QTest::newRow("gentle, wide") << Params{-40, 0.2, 40, -5};
    QTest::newRow("hard") << Params{-20, 0.7, 0, 2};
}

// Outside the knee the curve is the lower of the uncompressed line x + G and
// the compressed line through the threshold; inside it bends under both (by
// at most K r / 4, at the threshold). It never falls as the input rises.
void TestCompCalc2::betweenTheLines()
{
    QFETCH(Params, params);

    const CompCalc2 calc = make(params);
    const double maxGap = params.knee * params.ratio / 4;
    double previous = -std::numeric_limits<double>::infinity();
    for (double x = -120; x <= 40; x += 0.25) {
        const double y = calc.CalcCompressor(x);
        const double lower = std::min(x + params.gain, x - (x - params.threshold) * params.ratio + params.gain);
        const QByteArray where = QStringLiteral("x %1 y %2").arg(x).arg(y).toLatin1();
        if (std::fabs(x - params.threshold) >= params.knee) {
            QVERIFY2(std::fabs(y - lower) < 1e-12, where.constData());
        } else {
            QVERIFY2(y <= lower + 1e-12 && y >= lower - maxGap - 1e-12, where.constData());
        }
        QVERIFY2(y >= previous - 1e-12, where.constData());
        previous = y;
    }
    // The deepest point of the bend, at the threshold.
    if (params.knee > 0) {
        QCOMPARE(calc.CalcCompressor(params.threshold), params.threshold + params.gain - maxGap);
    }
}

// What is not a number (or infinite, but for the clamped ratio) is refused
// and the previous value stays.
void TestCompCalc2::refusedValues()
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    CompCalc2 calc = make(Params{-20, 0.5, 0, 0});
    QVERIFY(!calc.setThreshold(nan));
    QVERIFY(!calc.setThreshold(-inf));
    QVERIFY(!calc.setRatio(nan));
    QVERIFY(!calc.setKnee(inf));
    QVERIFY(!calc.setGain(nan));
    QCOMPARE(calc.CalcCompressor(0), -10.0);
    QVERIFY(calc.setRatio(inf));
    QCOMPARE(calc.CalcCompressor(0), -20.0);
    QVERIFY(calc.setRatio(-inf));
    QCOMPARE(calc.CalcCompressor(0), 0.0);
}

QTEST_GUILESS_MAIN(TestCompCalc2)
#include "tst_compcalc2.moc"
