// The equaliser calculator seen from the view: bands, their filter types and
// parameters turned into gains and canvas paths. Expected gains come from the
// analog prototypes through the bilinear transform (EqReference.h), expected
// positions from the axis geometry.
#include "EqReference.h"
#include "KxEQGraphCalc.h"
#include "MessageCapture.h"

#include <QPointF>
#include <QtTest>

#include <cmath>
#include <limits>

using EqReference::prewarp;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kRates[] = {44100.0, 48000.0, 88200.0, 96000.0};

// 20 Hz to 20 kHz over 400 pixels, -30 to +30 dB over 300.
void setUpCanvas(KxEQGraphCalc& calc, double width = 400.0)
{
    calc.setGraphXMax(20000.0);
    calc.setGraphXMin(20.0);
    calc.setGraphYMin(-30.0);
    calc.setGraphYMax(30.0);
    calc.setCanvasWidth(width);
    calc.setCanvasHeight(300.0);
}

void setBand(KxEQGraphCalc& calc, int band, int type, double f, double g, double q)
{
    QVERIFY(calc.setBandOnOff(band, true));
    QVERIFY(calc.setBandFilterType(band, type));
    QVERIFY(calc.setBandFilterParam(band, KxEQGraphCalc::F, f));
    QVERIFY(calc.setBandFilterParam(band, KxEQGraphCalc::G, g));
    QVERIFY(calc.setBandFilterParam(band, KxEQGraphCalc::Q, q));
}

QList<QPointF> points(const QVariantList& path)
{
    QList<QPointF> out;
    for (const QVariant& v : path) {
        out.append(v.toPointF());
    }
    return out;
}

// Frequencies to probe: the corner, octaves around it, and a sweep.
QList<double> probes(double f)
{
    QList<double> list{f, f / 2, f / 4, f / 8, f / 16, f * 8, f * 16};
    for (double v = 20.0; v <= 20000.0; v *= 1.1) {
        list.append(v);
    }
    return list;
}

} // namespace

class TestKxEqGraphCalc : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void butterworth_data();
    void butterworth();
    void bandGains_data();
    void bandGains();
    void frequencyList_data();
    void frequencyList();
    void path();
    void summedPath();
    void silentBands_data();
    void silentBands();
    void extremeBands_data();
    void extremeBands();
    void refusedSettings_data();
    void refusedSettings();
};

void TestKxEqGraphCalc::butterworth_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("rate");
    QTest::addColumn<double>("corner");
    QTest::addColumn<int>("order");
    QTest::addColumn<bool>("high");

    QTest::newRow("HPF 24 dB 1 kHz 48 kHz") << int(KxEQGraphCalc::HPF_24dBSlope) << 1 << 1000.0 << 4 << true;
    QTest::newRow("HPF 24 dB 3 kHz 44.1 kHz") << int(KxEQGraphCalc::HPF_24dBSlope) << 0 << 3000.0 << 4 << true;
    QTest::newRow("HPF 18 dB 1 kHz 48 kHz") << int(KxEQGraphCalc::HPF_18dBSlope) << 1 << 1000.0 << 3 << true;
    QTest::newRow("HPF 12 dB 500 Hz 96 kHz") << int(KxEQGraphCalc::HPF_12dBSlope) << 3 << 500.0 << 2 << true;
    QTest::newRow("HPF 6 dB 2 kHz 88.2 kHz") << int(KxEQGraphCalc::HPF_6dBSlope) << 2 << 2000.0 << 1 << true;
    QTest::newRow("LPF 12 dB 200 Hz 48 kHz") << int(KxEQGraphCalc::LPF_12dBSlope) << 1 << 200.0 << 2 << false;
    QTest::newRow("LPF 6 dB 100 Hz 44.1 kHz") << int(KxEQGraphCalc::LPF_6dBSlope) << 0 << 100.0 << 1 << false;
}

// The pass filters are Butterworth whatever the band's G and Q: -3.01 dB at
// the corner, 6 dB per octave and order three octaves beyond it.
void TestKxEqGraphCalc::butterworth()
{
    QFETCH(int, type);
    QFETCH(int, rate);
    QFETCH(double, corner);
    QFETCH(int, order);
    QFETCH(bool, high);

    KxEQGraphCalc calc;
    calc.setSamplingRate(rate);
    setBand(calc, KxEQGraphCalc::Band2, type, corner, -12.0, 7.0);
    const double fs = kRates[rate];
    const QList<double> freqs = probes(corner);
    const QList<double> gains = calc.generateGainList(KxEQGraphCalc::Band2, freqs);
    QCOMPARE(gains.size(), freqs.size());

    const double t = prewarp(corner, fs);
    for (int i = 0; i < freqs.size(); ++i) {
        const double expected = EqReference::butterworthDb(prewarp(freqs[i], fs), t, order, high);
        QVERIFY2(std::fabs(gains[i] - expected) < 1e-3,
                 qPrintable(QStringLiteral("%1 Hz: %2 dB, expected %3 dB").arg(freqs[i]).arg(gains[i]).arg(expected)));
    }
    QVERIFY2(std::fabs(gains[0] + 3.0103) < 0.001, qPrintable(QString::number(gains[0])));
    // F/8 to F/16 below a high-pass, 8F to 16F above a low-pass.
    const double slope = high ? gains[3] - gains[4] : gains[5] - gains[6];
    QVERIFY2(std::fabs(slope - 6.02 * order) < 0.25, qPrintable(QString::number(slope)));
}

void TestKxEqGraphCalc::bandGains_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("rate");
    QTest::addColumn<double>("f");
    QTest::addColumn<double>("g");
    QTest::addColumn<double>("q");

    QTest::newRow("PEQ boost") << int(KxEQGraphCalc::PEQ) << 1 << 1000.0 << 9.0 << 2.0;
    QTest::newRow("PEQ cut 44.1") << int(KxEQGraphCalc::PEQ) << 0 << 12000.0 << -12.0 << 0.7;
    QTest::newRow("PEQ 88.2") << int(KxEQGraphCalc::PEQ) << 2 << 15000.0 << 6.0 << 1.0;
    QTest::newRow("PEQ rate 7 is 96 kHz") << int(KxEQGraphCalc::PEQ) << 7 << 15000.0 << 6.0 << 1.0;
    QTest::newRow("PEQ rate -1 is 96 kHz") << int(KxEQGraphCalc::PEQ) << -1 << 15000.0 << 6.0 << 1.0;
    QTest::newRow("band-pass") << int(KxEQGraphCalc::BandPass) << 1 << 400.0 << 3.0 << 4.0;
    QTest::newRow("notch") << int(KxEQGraphCalc::BandPass) << 1 << 400.0 << -3.0 << 4.0;
    QTest::newRow("low shelf") << int(KxEQGraphCalc::LowShelf) << 1 << 150.0 << 10.0 << 1.0;
    QTest::newRow("high shelf cut") << int(KxEQGraphCalc::HighShelf) << 3 << 6000.0 << -8.0 << 1.0;
}

// Each type uses the band's F, G and Q, at the chosen sampling rate, with
// the classic formulas while the musical type is Legacy (also for a type
// outside the enumeration).
void TestKxEqGraphCalc::bandGains()
{
    QFETCH(int, type);
    QFETCH(int, rate);
    QFETCH(double, f);
    QFETCH(double, g);
    QFETCH(double, q);

    KxEQGraphCalc calc;
    calc.setSamplingRate(rate);
    setBand(calc, KxEQGraphCalc::Band5, type, f, g, q);
    const double fs = rate >= 0 && rate < 4 ? kRates[rate] : 96000.0;
    const QList<double> freqs = probes(f);
    const QList<double> gains = calc.generateGainList(KxEQGraphCalc::Band5, freqs);
    const double t = prewarp(f, fs);
    for (int i = 0; i < freqs.size(); ++i) {
        const double T = prewarp(freqs[i], fs);
        double expected = 0.0;
        switch (type) {
        case KxEQGraphCalc::PEQ:
            expected = EqReference::peakingDb(T, t, q, g);
            break;
        case KxEQGraphCalc::BandPass:
            expected = EqReference::bandPassDb(T, t, q, g);
            break;
        default:
            expected = EqReference::shelfDb(T, t, g, type == KxEQGraphCalc::HighShelf);
        }
        const bool ok = expected < -100.0 ? gains[i] < -80.0 : std::fabs(gains[i] - expected) < 1e-6;
        QVERIFY2(ok,
                 qPrintable(QStringLiteral("%1 Hz: %2 dB, expected %3 dB").arg(freqs[i]).arg(gains[i]).arg(expected)));
    }
    // An unknown musical type is Legacy; a musical one changes the bell and
    // the shelves.
    calc.setMusicalType(9);
    QCOMPARE(calc.generateGainList(KxEQGraphCalc::Band5, freqs), gains);
    calc.setMusicalType(KxEQGraphCalc::Smooth);
    const QList<double> musical = calc.generateGainList(KxEQGraphCalc::Band5, freqs);
    QCOMPARE(musical != gains, type != KxEQGraphCalc::BandPass);
}

void TestKxEqGraphCalc::frequencyList_data()
{
    QTest::addColumn<int>("n");
    for (int n : {0, 1, 2, 3, 4, 401, 1000, 1921}) {
        QTest::addRow("%d", n) << n;
    }
}

// 20 Hz to 20 kHz in equal ratios; nothing to sweep over two points or less.
void TestKxEqGraphCalc::frequencyList()
{
    QFETCH(int, n);
    const QList<double> freqs = KxEQGraphCalc::generateFrequencyList(n);
    QCOMPARE(freqs.size(), n);
    if (n <= 2) {
        QCOMPARE(freqs, QList<double>(n, 0.0));
        return;
    }
    QCOMPARE(freqs.first(), 20.0);
    QCOMPARE(freqs.last(), 20000.0);
    for (int i = 1; i < n - 1; ++i) {
        const double expected = 20.0 * std::pow(1000.0, double(i) / (n - 1));
        QVERIFY2(std::fabs(freqs[i] / expected - 1.0) < 1e-5, qPrintable(QString::number(i)));
    }
}

// One point per pixel column, from 20 Hz at the left edge to 20 kHz at the
// right, at the band's gain; the values read back through the axes match the
// prototype at the point's frequency.
void TestKxEqGraphCalc::path()
{
    KxEQGraphCalc calc;
    setUpCanvas(calc);
    calc.setSamplingRate(KxEQGraphCalc::Rate48000Hz);
    setBand(calc, KxEQGraphCalc::Band1, KxEQGraphCalc::PEQ, 1000.0, 12.0, 1.5);

    const QList<QPointF> path = points(calc.generateGraphPath(KxEQGraphCalc::Band1));
    QCOMPARE(path.size(), 401);
    QVERIFY(std::fabs(path.first().x()) < 1e-9);
    QVERIFY(std::fabs(path.last().x() - 400.0) < 1e-9);
    const double t = prewarp(1000.0, 48000.0);
    double peak = -kInf;
    for (int i = 0; i < path.size(); ++i) {
        // log10(f / 20) / 3 decades * 400 px; y from +30 dB at 0 to -30 dB at 300.
        const double f = 20.0 * std::pow(10.0, path[i].x() / 400.0 * 3.0);
        const double expected = EqReference::peakingDb(prewarp(f, 48000.0), t, 1.5, 12.0);
        const double y = (30.0 - expected) / 60.0 * 300.0;
        QVERIFY2(std::fabs(path[i].y() - y) < 1e-6, qPrintable(QStringLiteral("point %1").arg(i)));
        QVERIFY(i == 0 || path[i].x() > path[i - 1].x());
        peak = std::max(peak, expected);
    }
    QVERIFY(peak > 11.9); // the sweep passes close to the centre
    QCOMPARE(calc.gainFromCanvasY(calc.canvasYFromGain(12.0)), 12.0);
    QVERIFY(std::fabs(calc.freqFromCanvasX(calc.canvasXFromFreq(1000.0)) - 1000.0) < 1e-9);
    QCOMPARE(calc.bandIds(), (QVariantList{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    QCOMPARE(calc.property("freqMax").toDouble(), 20000.0);
    QCOMPARE(calc.property("gainMin").toDouble(), -30.0);

    // A horizontal axis that cannot be used draws nothing.
    calc.setGraphXMin(0.0);
    QVERIFY(calc.generateGraphPath(KxEQGraphCalc::Band1).isEmpty());
}

// BandAll adds bands 1 to 6; bands 7 to 10 have no path and are not added.
void TestKxEqGraphCalc::summedPath()
{
    KxEQGraphCalc calc;
    setUpCanvas(calc, 300.0);
    setBand(calc, KxEQGraphCalc::Band1, KxEQGraphCalc::HPF_12dBSlope, 80.0, 0.0, 1.0);
    setBand(calc, KxEQGraphCalc::Band3, KxEQGraphCalc::PEQ, 250.0, -6.0, 2.0);
    setBand(calc, KxEQGraphCalc::Band4, KxEQGraphCalc::HighShelf, 8000.0, 4.0, 1.0);
    setBand(calc, KxEQGraphCalc::Band6, KxEQGraphCalc::PEQ, 3000.0, 5.0, 3.0);
    setBand(calc, KxEQGraphCalc::Band7, KxEQGraphCalc::PEQ, 1000.0, 15.0, 1.0);
    QVERIFY(calc.setBandOnOff(KxEQGraphCalc::BandAll, false)); // not consulted

    QVERIFY(calc.generateGraphPath(KxEQGraphCalc::Band7).isEmpty());
    QVERIFY(calc.generateGraphPath(KxEQGraphCalc::Band10).isEmpty());
    const QList<QPointF> all = points(calc.generateGraphPath(KxEQGraphCalc::BandAll));
    QCOMPARE(all.size(), 301);
    QList<QList<QPointF>> bands;
    for (int band = KxEQGraphCalc::Band1; band <= KxEQGraphCalc::Band6; ++band) {
        bands.append(points(calc.generateGraphPath(band)));
        QCOMPARE(bands.last().size(), all.size());
    }
    for (int i = 0; i < all.size(); ++i) {
        double sum = 0.0;
        for (const QList<QPointF>& band : bands) {
            QCOMPARE(band[i].x(), all[i].x());
            sum += calc.gainFromCanvasY(band[i].y());
        }
        QVERIFY2(std::fabs(calc.gainFromCanvasY(all[i].y()) - sum) < 1e-9, qPrintable(QString::number(i)));
    }
    // The band 7 peak (+15 dB at 1 kHz) would show; the sum near 1 kHz is
    // only what bands 1 to 6 give there, a few dB.
    const QList<double> at1k = calc.generateGainList(KxEQGraphCalc::Band7, {1000.0});
    QVERIFY(std::fabs(at1k[0] - 15.0) < 1e-6);
    for (const QPointF& p : all) {
        QVERIFY(calc.gainFromCanvasY(p.y()) < 8.0);
    }
}

void TestKxEqGraphCalc::silentBands_data()
{
    QTest::addColumn<bool>("on");
    QTest::addColumn<int>("type");

    QTest::newRow("off") << false << int(KxEQGraphCalc::PEQ);
    QTest::newRow("FilterNone") << true << int(KxEQGraphCalc::FilterNone);
    QTest::newRow("type 11") << true << 11;
    QTest::newRow("type -1") << true << -1;
    QTest::newRow("off with a filter") << false << int(KxEQGraphCalc::HPF_24dBSlope);
}

// A band that is off, or has no filter, lies on the 0 dB line.
void TestKxEqGraphCalc::silentBands()
{
    QFETCH(bool, on);
    QFETCH(int, type);

    KxEQGraphCalc calc;
    setUpCanvas(calc);
    QVERIFY(calc.setBandFilterType(KxEQGraphCalc::Band2, type));
    QVERIFY(calc.setBandOnOff(KxEQGraphCalc::Band2, on));
    const QList<QPointF> path = points(calc.generateGraphPath(KxEQGraphCalc::Band2));
    QCOMPARE(path.size(), 401);
    for (const QPointF& p : path) {
        QCOMPARE(p.y(), 150.0);
    }
}

void TestKxEqGraphCalc::extremeBands_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("musical");
    QTest::addColumn<int>("rate");
    QTest::addColumn<double>("f");
    QTest::addColumn<double>("g");
    QTest::addColumn<double>("q");
    QTest::addColumn<bool>("failed");

    const int peq = KxEQGraphCalc::PEQ;
    const int ls = KxEQGraphCalc::LowShelf;
    const int hs = KxEQGraphCalc::HighShelf;
    const int legacy = KxEQGraphCalc::Legacy;
    QTest::newRow("frequency 0") << peq << legacy << 0 << 0.0 << 6.0 << 1.0 << false;
    QTest::newRow("frequency -1 kHz") << hs << legacy << 0 << -1000.0 << 6.0 << 1.0 << false;
    QTest::newRow("q 0") << peq << legacy << 1 << 1000.0 << 6.0 << 0.0 << false;
    QTest::newRow("q 0 musical") << peq << int(KxEQGraphCalc::Aggressive) << 1 << 1000.0 << 6.0 << 0.0 << false;
    QTest::newRow("+100 dB") << peq << legacy << 1 << 1000.0 << 100.0 << 1.0 << false;
    QTest::newRow("-100 dB shelf") << ls << legacy << 1 << 1000.0 << -100.0 << 1.0 << false;
    QTest::newRow("+100 dB precise shelf") << ls << int(KxEQGraphCalc::Precise) << 1 << 1000.0 << 100.0 << 1.0 << true;
    QTest::newRow("notch at 20 kHz") << int(KxEQGraphCalc::BandPass) << legacy << 0 << 20000.0 << -6.0 << 10.0 << false;
    QTest::newRow("above Nyquist") << peq << legacy << 0 << 30000.0 << 6.0 << 0.3 << false;
    QTest::newRow("above Nyquist musical") << peq << int(KxEQGraphCalc::Smooth) << 0 << 30000.0 << 6.0 << 1.0 << true;
    QTest::newRow("HPF above Nyquist") << int(KxEQGraphCalc::HPF_24dBSlope) << legacy << 0 << 50000.0 << 0.0 << 1.0
                                       << false;
    QTest::newRow("gain NaN") << peq << legacy << 0 << 1000.0 << kNaN << 1.0 << true;
    QTest::newRow("frequency inf") << hs << legacy << 0 << kInf << 3.0 << 1.0 << true;
}

// Whatever the settings, every point is on the canvas plane (finite); a band
// whose design failed lies at -kPathGainLimitDb, far below the graph.
void TestKxEqGraphCalc::extremeBands()
{
    QFETCH(int, type);
    QFETCH(int, musical);
    QFETCH(int, rate);
    QFETCH(double, f);
    QFETCH(double, g);
    QFETCH(double, q);
    QFETCH(bool, failed);

    KxEQGraphCalc calc;
    setUpCanvas(calc);
    calc.setMusicalType(musical);
    calc.setSamplingRate(rate);
    setBand(calc, KxEQGraphCalc::Band3, type, f, g, q);
    for (int band : {int(KxEQGraphCalc::Band3), int(KxEQGraphCalc::BandAll)}) {
        const QList<QPointF> path = points(calc.generateGraphPath(band));
        QCOMPARE(path.size(), 401);
        int atLimit = 0;
        for (const QPointF& p : path) {
            QVERIFY(std::isfinite(p.x()) && std::isfinite(p.y()));
            atLimit += calc.gainFromCanvasY(p.y()) == -KxEQGraphCalc::kPathGainLimitDb;
        }
        // A working design may still meet an exact zero (the notch at 20 kHz).
        QVERIFY2(failed ? atLimit == path.size() : atLimit <= 1, qPrintable(QString::number(atLimit)));
    }
    // Also on a canvas too narrow for a sweep (every frequency 0).
    calc.setCanvasWidth(1.0);
    const QList<QPointF> narrow = points(calc.generateGraphPath(KxEQGraphCalc::Band3));
    QCOMPARE(narrow.size(), 2);
    for (const QPointF& p : narrow) {
        QVERIFY(std::isfinite(p.x()) && std::isfinite(p.y()));
    }
}

void TestKxEqGraphCalc::refusedSettings_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<int>("band");
    QTest::addColumn<int>("param");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("log");

    const QString unknownOnOff = QStringLiteral("CPP setBandOnOff() : unknown band ID");
    const QString bandAll = QStringLiteral("CPP setBandFilterType() : BandAll doesn't have filter");
    const QString unknown = QStringLiteral("CPP setBandFilterType() : unknown band ID");
    QTest::newRow("on/off band 1") << "onoff" << 0 << 0 << true << QString();
    QTest::newRow("on/off BandAll") << "onoff" << 10 << 0 << true << QString();
    QTest::newRow("on/off -1") << "onoff" << -1 << 0 << false << unknownOnOff;
    QTest::newRow("on/off 11") << "onoff" << 11 << 0 << false << unknownOnOff;
    QTest::newRow("type band 10") << "type" << 9 << 0 << true << QString();
    QTest::newRow("type BandAll") << "type" << 10 << 0 << false << bandAll;
    QTest::newRow("type 11") << "type" << 11 << 0 << false << unknown;
    QTest::newRow("type -1") << "type" << -1 << 0 << false << unknown;
    QTest::newRow("param band 3 Q") << "param" << 2 << 2 << true << QString();
    QTest::newRow("param BandAll") << "param" << 10 << 0 << false << bandAll;
    QTest::newRow("param 12") << "param" << 12 << 1 << false << unknown;
    QTest::newRow("param type 3") << "param" << 2 << 3 << false
                                  << QStringLiteral("CPP setBandFilterParam() : unknown param type(3)");
}

// Refused settings say why in the log and leave every band as it was.
void TestKxEqGraphCalc::refusedSettings()
{
    QFETCH(QString, call);
    QFETCH(int, band);
    QFETCH(int, param);
    QFETCH(bool, accepted);
    QFETCH(QString, log);

    KxEQGraphCalc calc;
    setUpCanvas(calc);
    for (int b = 0; b < 6; ++b) {
        setBand(calc, b, KxEQGraphCalc::PEQ, 500.0 * (b + 1), 3.0, 1.0);
    }
    const QVariantList before = calc.generateGraphPath(KxEQGraphCalc::BandAll);

    MessageCapture capture;
    bool result = false;
    if (call == QLatin1String("onoff")) {
        result = calc.setBandOnOff(band, false);
    } else if (call == QLatin1String("type")) {
        result = calc.setBandFilterType(band, KxEQGraphCalc::HPF_24dBSlope);
    } else {
        result = calc.setBandFilterParam(band, param, 9000.0);
    }
    QCOMPARE(result, accepted);
    const QStringList lines = capture.takeTexts();
    if (log.isEmpty()) {
        QVERIFY2(lines.isEmpty(), qPrintable(lines.join(QLatin1Char('\n'))));
    } else {
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().endsWith(QLatin1String("Log:") + log), qPrintable(lines.first()));
    }
    const bool changesBands1to6 = accepted && band < 6;
    QCOMPARE(calc.generateGraphPath(KxEQGraphCalc::BandAll) != before, changesBands1to6);
}

QTEST_GUILESS_MAIN(TestKxEqGraphCalc)
#include "tst_kxeqgraphcalc.moc"
