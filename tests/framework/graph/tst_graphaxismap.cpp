#include "GraphAxisMap.h"
#include "MessageCapture.h"

#include <cmath>
#include <limits>
#include <QTest>

// Expected positions and values below are worked out by hand from the axis
// geometry (pixels per unit or per decade), not taken from the map.
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Setting
{
    int type;
    bool reversed;
    double bottom;
    double top;
    double length;
};

void apply(GraphAxisMap& map, const Setting& s)
{
    map.updateMapType(s.type, s.reversed);
    map.updateAxisRange(s.bottom, s.top);
    map.updateCanvasLen(s.length);
}

bool near(double a, double b)
{
    return std::fabs(a - b) <= 1e-9 * std::max(1.0, std::fabs(b));
}

QString show(const QList<double>& values)
{
    QStringList texts;
    for (double v : values) {
        texts << QString::number(v, 'g', 17);
    }
    return texts.join(QLatin1String(", "));
}

// Lists equal up to rounding in the last digits.
bool sameValues(const QList<double>& actual, const QList<double>& expected)
{
    if (actual.size() != expected.size()) {
        return false;
    }
    for (int i = 0; i < actual.size(); ++i) {
        if (!near(actual[i], expected[i])) {
            return false;
        }
    }
    return true;
}

} // namespace

Q_DECLARE_METATYPE(Setting)

class TestGraphAxisMap : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void roundTrip_data();
    void roundTrip();
    void validity_data();
    void validity();
    void refusedThenRestored_data();
    void refusedThenRestored();
    void noLogarithmOfNonPositive_data();
    void noLogarithmOfNonPositive();
    void slicing_data();
    void slicing();
    void logSlicing_data();
    void logSlicing();
    void canvasSlicing_data();
    void canvasSlicing();
};

void TestGraphAxisMap::roundTrip_data()
{
    QTest::addColumn<Setting>("setting");
    QTest::addColumn<double>("value");
    QTest::addColumn<double>("position");

    // 200 px over 100 units: 2 px per unit.
    QTest::newRow("linear") << Setting{0, false, 0, 100, 200} << 25.0 << 50.0;
    QTest::newRow("linear, outside the range") << Setting{0, false, 0, 10, 100} << 15.0 << 150.0;
    QTest::newRow("linear, around 0") << Setting{0, false, -1, 1, 100} << 0.0 << 50.0;
    // 5 px per unit, counted from the far end: -20 is 40 units up from -60.
    QTest::newRow("linear reversed") << Setting{0, true, -60, 0, 300} << -20.0 << 100.0;
    QTest::newRow("linear reversed, bottom") << Setting{0, true, -60, 0, 300} << -60.0 << 300.0;
    // Three decades over 300 px: 100 px per decade.
    QTest::newRow("log, start") << Setting{1, false, 20, 20000, 300} << 20.0 << 0.0;
    QTest::newRow("log, one decade") << Setting{1, false, 20, 20000, 300} << 200.0 << 100.0;
    QTest::newRow("log, two decades") << Setting{1, false, 20, 20000, 300} << 2000.0 << 200.0;
    QTest::newRow("log, end") << Setting{1, false, 20, 20000, 300} << 20000.0 << 300.0;
    // Half a decade: log10(sqrt(10)) = 0.5.
    QTest::newRow("log, half decade") << Setting{1, false, 1, 100, 400} << std::sqrt(10.0) << 100.0;
    QTest::newRow("log reversed") << Setting{1, true, 1, 1000, 300} << 10.0 << 200.0;
}

void TestGraphAxisMap::roundTrip()
{
    QFETCH(Setting, setting);
    QFETCH(double, value);
    QFETCH(double, position);

    GraphAxisMap map;
    apply(map, setting);
    QVERIFY(!map.hasInvalidMapSetting());
    QVERIFY2(near(map.map(value), position), qPrintable(QString::number(map.map(value), 'g', 17)));
    QVERIFY2(near(map.remap(position), value), qPrintable(QString::number(map.remap(position), 'g', 17)));
}

void TestGraphAxisMap::validity_data()
{
    QTest::addColumn<Setting>("setting");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("logged");

    QTest::newRow("usable") << Setting{0, false, 0, 10, 100} << true << QString();
    QTest::newRow("no map type") << Setting{2, false, 0, 10, 100} << false
                                 << "GraphAxisMap : Unexpecetd!! Unknown map type --> cant update graph size";
    QTest::newRow("unknown map type") << Setting{-1, false, 0, 10, 100} << false
                                      << "GraphAxisMap : Unexpecetd!! MapType setting is invalid";
    QTest::newRow("bottom above top") << Setting{0, false, 10, 0, 100} << false
                                      << "GraphAxisMap : Unexpecetd!! Range bottom  > range top == true --> cant "
                                         "update Axis range";
    QTest::newRow("not a number") << Setting{0, false, kNaN, 10, 100} << false
                                  << "GraphAxisMap : Unexpecetd!! Axis range setting is invalid";
    QTest::newRow("infinite top") << Setting{0, false, 0, kInf, 100} << false
                                  << "GraphAxisMap : Unexpecetd!! Axis range setting is invalid";
    QTest::newRow("negative length") << Setting{0, false, 0, 10, -1} << false
                                     << "GraphAxisMap : Unexpecetd!! Graph size < 0 == true --> cant update graph "
                                        "size";
    QTest::newRow("infinite length") << Setting{0, false, 0, 10, kInf} << false
                                     << "GraphAxisMap : Unexpecetd!! Graph size setting is invalid";
    QTest::newRow("log from 0") << Setting{1, false, 0, 10, 100} << false
                                << "GraphAxisMap : Unexpecetd!! MapType is LOG but axis min is under 0";
    QTest::newRow("log, all negative") << Setting{1, false, -10, -1, 100} << false
                                       << "GraphAxisMap : Unexpecetd!! MapType is LOG but axis min is under 0";
    QTest::newRow("empty range") << Setting{0, false, 5, 5, 100} << false
                                 << "GraphAxisMap : Unexpecetd!! Axis range is too narrow for the graph size";
    QTest::newRow("empty log range") << Setting{1, false, 5, 5, 100} << false
                                     << "GraphAxisMap : Unexpecetd!! Axis range is too narrow for the graph size";
}

// An unusable map logs why, slices nothing and maps every value to a finite
// position.
void TestGraphAxisMap::validity()
{
    QFETCH(Setting, setting);
    QFETCH(bool, accepted);
    QFETCH(QString, logged);

    MessageCapture capture;
    GraphAxisMap map;
    apply(map, setting);
    QCOMPARE(!map.hasInvalidMapSetting(), accepted);
    QCOMPARE(map.sliceAxisRange(1).isEmpty(), !accepted);
    QCOMPARE(map.logSliceAxisRange({1, 2, 5}).isEmpty(), !accepted);
    QCOMPARE(map.sliceAxisRangeInCanvas(1).isEmpty(), !accepted);
    for (double v : {-1e300, -1.0, 0.0, 3.0, 1e300, kNaN, kInf}) {
        QVERIFY(std::isfinite(map.map(v)));
        QVERIFY(std::isfinite(map.remap(v)));
    }
    const QStringList texts = capture.takeTexts();
    if (accepted) {
        QVERIFY2(texts.filter(QLatin1String("GraphAxisMap")).isEmpty(), qPrintable(texts.join('\n')));
    } else {
        QVERIFY2(!texts.filter(logged).isEmpty(), qPrintable(texts.join('\n')));
    }
}

void TestGraphAxisMap::refusedThenRestored_data()
{
    QTest::addColumn<int>("refused");

    QTest::newRow("range") << 0;
    QTest::newRow("canvas length") << 1;
    QTest::newRow("map type") << 2;
}

// A setting refused once does not leave the axis unusable when the earlier,
// good value is set again.
void TestGraphAxisMap::refusedThenRestored()
{
    QFETCH(int, refused);

    MessageCapture capture;
    GraphAxisMap map;
    apply(map, Setting{0, false, 0, 10, 100});
    QVERIFY(!map.hasInvalidMapSetting());

    switch (refused) {
    case 0:
        QVERIFY(!map.updateAxisRange(10, 0));
        break;
    case 1:
        QVERIFY(!map.updateCanvasLen(-5));
        break;
    default:
        QVERIFY(!map.updateMapType(7, false));
        break;
    }
    QVERIFY(map.hasInvalidMapSetting());
    QVERIFY(map.sliceAxisRange(5).isEmpty());

    QVERIFY(map.updateAxisRange(0, 10));
    QVERIFY(map.updateCanvasLen(100));
    QVERIFY(map.updateMapType(0, false));
    QVERIFY(!map.hasInvalidMapSetting());
    QCOMPARE(map.sliceAxisRange(5), QList<double>({0, 5, 10}));
    QCOMPARE(map.map(2.5), 25.0);
}

void TestGraphAxisMap::noLogarithmOfNonPositive_data()
{
    QTest::addColumn<bool>("reversed");
    QTest::addColumn<double>("value");

    QTest::newRow("0") << false << 0.0;
    QTest::newRow("0, reversed") << true << 0.0;
    QTest::newRow("-0") << false << -0.0;
    QTest::newRow("negative") << false << -20.0;
    QTest::newRow("not a number") << true << kNaN;
    QTest::newRow("smallest positive") << false << std::numeric_limits<double>::denorm_min();
}

// Values without a logarithm give position 0 and a log line, never an
// infinite position; tiny positive values stay finite too.
void TestGraphAxisMap::noLogarithmOfNonPositive()
{
    QFETCH(bool, reversed);
    QFETCH(double, value);

    MessageCapture capture;
    GraphAxisMap map;
    apply(map, Setting{1, reversed, 20, 20000, 300});
    QVERIFY(!map.hasInvalidMapSetting());
    const double position = map.map(value);
    QVERIFY2(std::isfinite(position), qPrintable(QString::number(position)));
    if (value > 0) {
        // About -326 decades below 20, at 100 px per decade.
        QVERIFY(reversed ? position > 300 : position < -30000);
    } else {
        QCOMPARE(position, 0.0);
        QVERIFY(!capture.takeTexts().filter(QLatin1String("Can't convert minus value : log10(")).isEmpty());
    }
}

void TestGraphAxisMap::slicing_data()
{
    QTest::addColumn<double>("bottom");
    QTest::addColumn<double>("top");
    QTest::addColumn<double>("step");
    QTest::addColumn<QList<double>>("expected");

    QTest::newRow("1 to 19 by 5") << 1.0 << 19.0 << 5.0 << QList<double>{5, 10, 15};
    QTest::newRow("ends on multiples") << -10.0 << 10.0 << 5.0 << QList<double>{-10, -5, 0, 5, 10};
    QTest::newRow("tenths") << 0.0 << 1.0 << 0.1 << QList<double>{0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1};
    QTest::newRow("tenths off 0") << 0.1 << 0.7 << 0.1 << QList<double>{0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7};
    QTest::newRow("decibels") << -60.0 << 0.0 << 20.0 << QList<double>{-60, -40, -20, 0};
    QTest::newRow("no multiple inside") << 1.0 << 4.0 << 5.0 << QList<double>{};
    QTest::newRow("step 0") << 0.0 << 10.0 << 0.0 << QList<double>{};
    QTest::newRow("negative step") << 0.0 << 10.0 << -5.0 << QList<double>{};
    QTest::newRow("step not a number") << 0.0 << 10.0 << kNaN << QList<double>{};
    QTest::newRow("infinite step") << 0.0 << 10.0 << kInf << QList<double>{};
    QTest::newRow("too many") << 0.0 << 1e9 << 1e-3 << QList<double>{};
    QTest::newRow("far out") << 1e300 << 2e300 << 5e299 << QList<double>{1e300, 1.5e300, 2e300};
}

void TestGraphAxisMap::slicing()
{
    QFETCH(double, bottom);
    QFETCH(double, top);
    QFETCH(double, step);
    QFETCH(QList<double>, expected);

    MessageCapture capture;
    GraphAxisMap map;
    apply(map, Setting{0, false, bottom, top, 500});
    const QList<double> values = map.sliceAxisRange(step);
    QVERIFY2(sameValues(values, expected), qPrintable(show(values)));
}

void TestGraphAxisMap::logSlicing_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<double>("bottom");
    QTest::addColumn<double>("top");
    QTest::addColumn<QList<int>>("digits");
    QTest::addColumn<QList<double>>("expected");

    QTest::newRow("audio range") << 1 << 20.0 << 20000.0 << QList<int>{1, 2, 5}
                                 << QList<double>{20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000};
    QTest::newRow("decades") << 1 << 0.3 << 300.0 << QList<int>{1} << QList<double>{1, 10, 100};
    QTest::newRow("all digits below 1") << 1 << 0.3 << 1.0 << QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9}
                                        << QList<double>{0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1};
    QTest::newRow("start between digits") << 1 << 25.0 << 100.0 << QList<int>{2, 3} << QList<double>{30};
    QTest::newRow("no digits") << 1 << 1.0 << 1000.0 << QList<int>{} << QList<double>{};
    QTest::newRow("linear axis from below 0")
        << 0 << -5.0 << 0.05 << QList<int>{1, 2, 5} << QList<double>{0.01, 0.02, 0.05};
    QTest::newRow("whole double range") << 1 << 1e-300 << 1e300 << QList<int>{1} << [] {
        QList<double> all;
        for (int k = -300; k <= 300; ++k) {
            all.append(std::pow(10.0, k));
        }
        return all;
    }();
}

void TestGraphAxisMap::logSlicing()
{
    QFETCH(int, type);
    QFETCH(double, bottom);
    QFETCH(double, top);
    QFETCH(QList<int>, digits);
    QFETCH(QList<double>, expected);

    GraphAxisMap map;
    apply(map, Setting{type, false, bottom, top, 300});
    const QList<double> values = map.logSliceAxisRange(digits);
    QVERIFY2(sameValues(values, expected), qPrintable(show(values)));
}

void TestGraphAxisMap::canvasSlicing_data()
{
    QTest::addColumn<Setting>("setting");
    QTest::addColumn<double>("step");
    QTest::addColumn<QList<double>>("expected");

    // 2 units per pixel.
    QTest::newRow("one per pixel") << Setting{0, false, 0, 8, 4} << 1.0 << QList<double>{0, 2, 4, 6, 8};
    QTest::newRow("half pixels") << Setting{0, false, 0, 4, 2} << 0.5 << QList<double>{0, 1, 2, 3, 4};
    QTest::newRow("tenth pixels") << Setting{0, false, 0, 10, 1} << 0.1
                                  << QList<double>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    QTest::newRow("step does not divide") << Setting{0, false, 0, 10, 5} << 2.0 << QList<double>{0, 4, 8};
    QTest::newRow("reversed") << Setting{0, true, 0, 10, 10} << 5.0 << QList<double>{10, 5, 0};
    // 100 px per decade.
    QTest::newRow("log") << Setting{1, false, 1, 1000, 300} << 100.0 << QList<double>{1, 10, 100, 1000};
    QTest::newRow("zero length") << Setting{0, false, 3, 8, 0} << 1.0 << QList<double>{3};
    QTest::newRow("step 0") << Setting{0, false, 0, 8, 4} << 0.0 << QList<double>{};
    QTest::newRow("negative step") << Setting{0, false, 0, 8, 4} << -1.0 << QList<double>{};
    QTest::newRow("too many") << Setting{0, false, 0, 8, 4} << 1e-9 << QList<double>{};
}

// The values at canvas positions 0, step, 2 step, ...: also for steps below
// one pixel, which must advance instead of staying at position 0.
void TestGraphAxisMap::canvasSlicing()
{
    QFETCH(Setting, setting);
    QFETCH(double, step);
    QFETCH(QList<double>, expected);

    MessageCapture capture;
    GraphAxisMap map;
    apply(map, setting);
    const QList<double> values = map.sliceAxisRangeInCanvas(step);
    QVERIFY2(sameValues(values, expected), qPrintable(show(values)));
}

QTEST_GUILESS_MAIN(TestGraphAxisMap)
#include "tst_graphaxismap.moc"
