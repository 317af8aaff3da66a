#include "CompParams.h"
#include "KxCompGraphCalc.h"
#include "MessageCapture.h"

#include <cmath>
#include <limits>
#include <QPointF>
#include <QTest>

// The compressor curve as a view gets it. Canvas 60 x 60 over -60 to 0 dB on
// both axes: one pixel per dB, input i dB above -60 at x = i, output y dB at
// canvas y = -y (the vertical axis runs upwards).
namespace {

using Params = CompParams;

void setUp(KxCompGraphCalc& calc, const Params& p)
{
    calc.setProperty("inputMin", -60.0);
    calc.setProperty("outputMin", -60.0);
    calc.setProperty("canvasWidth", 60.0);
    calc.setProperty("canvasHeight", 60.0);
    calc.setCompParam(KxCompGraphCalc::Threshold, p.threshold);
    calc.setCompParam(KxCompGraphCalc::Ratio, p.ratio);
    calc.setCompParam(KxCompGraphCalc::Knee, p.knee);
    calc.setCompParam(KxCompGraphCalc::Gain, p.gain);
}

QList<QPointF> pointsOf(const QVariantList& path)
{
    QList<QPointF> points;
    for (const QVariant& v : path) {
        points.append(v.toPointF());
    }
    return points;
}

} // namespace

class TestKxCompGraphCalc : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void path_data();
    void path();
    void extremes_data();
    void extremes();
    void noPath_data();
    void noPath();
    void setCompParam_data();
    void setCompParam();
};

void TestKxCompGraphCalc::path_data()
{
    QTest::addColumn<Params>("params");
    QTest::addColumn<QList<QPointF>>("samples"); // (canvas x, canvas y)

    QTest::newRow("identity") << Params{0, 0, 0, 0} << QList<QPointF>{{0, 60}, {25, 35}, {60, 0}};
    QTest::newRow("limit at -20") << Params{-20, 1, 0, 0}
                                  << QList<QPointF>{{0, 60}, {39, 21}, {40, 20}, {50, 20}, {60, 20}};
    QTest::newRow("ratio 2 limits") << Params{-20, 2, 0, 0} << QList<QPointF>{{40, 20}, {60, 20}};
    QTest::newRow("ratio -1 passes") << Params{-20, -1, 0, 0} << QList<QPointF>{{40, 20}, {60, 0}};
    QTest::newRow("2:1 at -30") << Params{-30, 0.5, 0, 0} << QList<QPointF>{{10, 50}, {30, 30}, {50, 20}, {60, 15}};
    QTest::newRow("soft knee") << Params{-30, 0.5, 10, 0} << QList<QPointF>{{20, 40}, {30, 31.25}, {40, 25}, {60, 15}};
    QTest::newRow("make-up gain") << Params{-30, 0.5, 0, 6} << QList<QPointF>{{0, 54}, {60, 9}};
    QTest::newRow("negative knee") << Params{-30, 0.5, -2, 6} << QList<QPointF>{{0, 0}, {30, 0}, {60, 0}};
}

void TestKxCompGraphCalc::path()
{
    QFETCH(Params, params);
    QFETCH(QList<QPointF>, samples);

    KxCompGraphCalc calc;
    setUp(calc, params);
    const QList<QPointF> points = pointsOf(calc.generateGraphPath());
    QCOMPARE(points.size(), 61);
    for (int i = 0; i < points.size(); ++i) {
        QVERIFY(std::fabs(points[i].x() - i) < 1e-9);
        QVERIFY(std::isfinite(points[i].y()));
    }
    for (const QPointF& s : samples) {
        const QPointF p = points[int(s.x())];
        QVERIFY2(std::fabs(p.y() - s.y()) < 1e-9, qPrintable(QStringLiteral("x %1: y %2").arg(s.x()).arg(p.y())));
    }
    QCOMPARE(calc.canvasXFromInput(-30), 30.0);
    QCOMPARE(calc.canvasYFromOutput(-45), 45.0);
    QCOMPARE(calc.inputFromCanvasX(12), -48.0);
    QCOMPARE(calc.outputFromCanvasY(12), -12.0);
}

void TestKxCompGraphCalc::extremes_data()
{
    QTest::addColumn<Params>("params");

    QTest::newRow("huge threshold and gain") << Params{1e308, 0.5, 0, 1e308};
    QTest::newRow("huge negative threshold, limit") << Params{-1e308, 1, 0, 0};
    QTest::newRow("smallest knee") << Params{-30, 0.5, std::numeric_limits<double>::denorm_min(), 0};
    QTest::newRow("huge knee") << Params{-30, 1, 1e308, -1e308};
}

// Whatever the parameters, every point of the path is a finite position.
void TestKxCompGraphCalc::extremes()
{
    QFETCH(Params, params);

    KxCompGraphCalc calc;
    setUp(calc, params);
    const QList<QPointF> points = pointsOf(calc.generateGraphPath());
    QCOMPARE(points.size(), 61);
    for (const QPointF& p : points) {
        QVERIFY2(std::isfinite(p.x()) && std::isfinite(p.y()),
                 qPrintable(QStringLiteral("%1,%2").arg(p.x()).arg(p.y())));
    }
}

void TestKxCompGraphCalc::noPath_data()
{
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<double>("value");

    QTest::newRow("input range upside down") << QByteArray("inputMax") << -70.0;
    QTest::newRow("output range upside down") << QByteArray("outputMin") << 10.0;
    QTest::newRow("negative width") << QByteArray("canvasWidth") << -1.0;
    QTest::newRow("negative height") << QByteArray("canvasHeight") << -1.0;
    QTest::newRow("input not a number") << QByteArray("inputMin") << std::numeric_limits<double>::quiet_NaN();
}

// A refused setting of either axis gives no path rather than points at stale
// or meaningless places.
void TestKxCompGraphCalc::noPath()
{
    QFETCH(QByteArray, property);
    QFETCH(double, value);

    MessageCapture capture;
    KxCompGraphCalc calc;
    setUp(calc, Params{-20, 0.5, 5, 0});
    QCOMPARE(calc.generateGraphPath().size(), 61);
    QVERIFY(calc.setProperty(property.constData(), value));
    QVERIFY(calc.generateGraphPath().isEmpty());
    QVERIFY(!capture.takeTexts().filter(QLatin1String("GraphAxisMap : Unexpecetd!!")).isEmpty());
}

void TestKxCompGraphCalc::setCompParam_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<double>("value");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<double>("outputAtZero"); // input 0 dB, threshold -20, 2:1 before

    QTest::newRow("threshold") << 0 << -40.0 << true << -20.0;
    QTest::newRow("ratio") << 1 << 1.0 << true << -20.0;
    QTest::newRow("knee") << 2 << 50.0 << true << -12.25;
    QTest::newRow("gain") << 3 << 4.0 << true << -6.0;
    QTest::newRow("number of types") << 4 << -40.0 << false << -10.0;
    QTest::newRow("negative type") << -1 << -40.0 << false << -10.0;
    QTest::newRow("far type") << 99 << -40.0 << false << -10.0;
    QTest::newRow("not a number") << 0 << std::numeric_limits<double>::quiet_NaN() << false << -10.0;
    QTest::newRow("infinite") << 3 << std::numeric_limits<double>::infinity() << false << -10.0;
}

void TestKxCompGraphCalc::setCompParam()
{
    QFETCH(int, type);
    QFETCH(double, value);
    QFETCH(bool, accepted);
    QFETCH(double, outputAtZero);

    MessageCapture capture;
    KxCompGraphCalc calc;
    setUp(calc, Params{-20, 0.5, 0, 0});
    QCOMPARE(calc.setCompParam(static_cast<KxCompGraphCalc::ParamType>(type), value), accepted);
    const QVariantList path = calc.generateGraphPath();
    QCOMPARE(path.size(), 61);
    QVERIFY(std::fabs(calc.outputFromCanvasY(path.last().toPointF().y()) - outputAtZero) < 1e-9);
    const QStringList texts = capture.takeTexts();
    QCOMPARE(texts.filter(QLatin1String("CPP setParam() ")).isEmpty(), accepted);
    if (type == 4) {
        QVERIFY(!texts.filter(QLatin1String("no paramter type (NumberOfParamTypes)")).isEmpty());
    }
}

QTEST_GUILESS_MAIN(TestKxCompGraphCalc)
#include "tst_kxcompgraphcalc.moc"
