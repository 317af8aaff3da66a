#include "KxGraphCalc.h"
#include "MessageCapture.h"

#include <cmath>
#include <memory>
#include <QJSEngine>
#include <QSignalSpy>
#include <QTest>

// The QML-facing base through its properties and invokables, as a view uses
// it. Expected positions are worked out by hand from the canvas geometry.
namespace {

struct Line
{
    double pos;
    QString label;
};

const char* const kSignals[] = {"graphScaleChanged", "canvasWidthChanged", "canvasHeightChanged", "graphXMinChanged",
                                "graphXMaxChanged",  "graphYMinChanged",   "graphYMaxChanged"};

// x: linear 0 to 100 over 200 px; y: linear -60 to 0 over 300 px, upwards.
void setUp(KxGraphCalc& calc)
{
    calc.setXMapType(KxGraphCalc::Linear);
    calc.setYMapType(KxGraphCalc::Linear);
    calc.setGraphXMax(100);
    calc.setCanvasWidth(200);
    calc.setGraphYMin(-60);
    calc.setCanvasHeight(300);
}

QList<Line> linesOf(const QVariantList& list)
{
    QList<Line> lines;
    for (const QVariant& v : list) {
        const QVariantMap m = v.toMap();
        lines.append({m.value(QStringLiteral("pos")).toDouble(), m.value(QStringLiteral("label")).toString()});
    }
    return lines;
}

QString show(const QList<Line>& lines)
{
    QStringList texts;
    for (const Line& l : lines) {
        texts << QStringLiteral("%1:%2").arg(l.pos, 0, 'g', 17).arg(l.label);
    }
    return texts.join(QLatin1String(", "));
}

} // namespace

Q_DECLARE_METATYPE(Line)

class TestKxGraphCalc : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void settersAndSignals_data();
    void settersAndSignals();
    void scaleLines_data();
    void scaleLines();
    void labels_data();
    void labels();

private:
    QJSEngine m_engine;
};

void TestKxGraphCalc::settersAndSignals_data()
{
    QTest::addColumn<QStringList>("steps");
    // graphScale, canvasWidth, canvasHeight, xMin, xMax, yMin, yMax
    QTest::addColumn<QList<int>>("counts");
    QTest::addColumn<bool>("xUsable");
    QTest::addColumn<bool>("yUsable");
    QTest::addColumn<double>("canvasWidth");

    QTest::newRow("unchanged range") << QStringList{"graphXMin=0", "graphYMax=0"} << QList<int>{0, 0, 0, 0, 0, 0, 0}
                                     << true << true << 200.0;
    QTest::newRow("new range") << QStringList{"graphXMin=10", "graphYMax=6"} << QList<int>{2, 0, 0, 1, 0, 0, 1} << true
                               << true << 200.0;
    QTest::newRow("unchanged canvas") << QStringList{"canvasWidth=200", "canvasHeight=300"}
                                      << QList<int>{0, 0, 0, 0, 0, 0, 0} << true << true << 200.0;
    QTest::newRow("new canvas") << QStringList{"canvasWidth=640", "canvasHeight=480"} << QList<int>{2, 1, 1, 0, 0, 0, 0}
                                << true << true << 640.0;
    QTest::newRow("refused width") << QStringList{"canvasWidth=-5"} << QList<int>{1, 1, 0, 0, 0, 0, 0} << false << true
                                   << 200.0;
    QTest::newRow("refused width, then the earlier one")
        << QStringList{"canvasWidth=-5", "canvasWidth=200"} << QList<int>{2, 2, 0, 0, 0, 0, 0} << true << true << 200.0;
    QTest::newRow("refused range, then the earlier one")
        << QStringList{"graphXMax=-1", "graphXMax=100"} << QList<int>{2, 0, 0, 0, 2, 0, 0} << true << true << 200.0;
    QTest::newRow("refused range") << QStringList{"graphXMin=101"} << QList<int>{1, 0, 0, 1, 0, 0, 0} << false << true
                                   << 200.0;
    QTest::newRow("range not a number") << QStringList{"graphYMax=nan"} << QList<int>{1, 0, 0, 0, 0, 0, 1} << true
                                        << false << 200.0;
    QTest::newRow("same map type") << QStringList{"xMapType=0"} << QList<int>{1, 0, 0, 0, 0, 0, 0} << true << true
                                   << 200.0;
    QTest::newRow("unknown map type") << QStringList{"yMapType=2"} << QList<int>{1, 0, 0, 0, 0, 0, 0} << true << true
                                      << 200.0;
    QTest::newRow("map types out of the enumeration")
        << QStringList{"xMapType=-1", "yMapType=7"} << QList<int>{2, 0, 0, 0, 0, 0, 0} << true << true << 200.0;
    QTest::newRow("log over negative values")
        << QStringList{"yMapType=1"} << QList<int>{1, 0, 0, 0, 0, 0, 0} << true << false << 200.0;
    QTest::newRow("log, then linear again")
        << QStringList{"yMapType=1", "yMapType=0"} << QList<int>{2, 0, 0, 0, 0, 0, 0} << true << true << 200.0;
}

// Each setting written as QML writes it, counting the signals and checking
// whether each axis still yields scale lines.
void TestKxGraphCalc::settersAndSignals()
{
    QFETCH(QStringList, steps);
    QFETCH(QList<int>, counts);
    QFETCH(bool, xUsable);
    QFETCH(bool, yUsable);
    QFETCH(double, canvasWidth);

    MessageCapture capture;
    KxGraphCalc calc;
    setUp(calc);
    QVERIFY(!calc.xScaleLines(10).isEmpty());
    QVERIFY(!calc.yScaleLines(10).isEmpty());

    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (const char* name : kSignals) {
        spies.push_back(std::make_unique<QSignalSpy>(&calc, QByteArray("2") + name + "()"));
        QVERIFY(spies.back()->isValid());
    }
    for (const QString& step : steps) {
        const QStringList parts = step.split(QLatin1Char('='));
        const QByteArray name = parts[0].toLatin1();
        const QVariant value = name.endsWith("MapType") ? QVariant(parts[1].toInt()) : QVariant(parts[1].toDouble());
        QVERIFY2(calc.setProperty(name.constData(), value), name.constData());
    }
    QList<int> actual;
    for (const auto& spy : spies) {
        actual.append(spy->count());
    }
    QCOMPARE(actual, counts);
    QCOMPARE(!calc.xScaleLines(10).isEmpty(), xUsable);
    QCOMPARE(!calc.yScaleLines(10).isEmpty(), yUsable);
    QCOMPARE(calc.property("canvasWidth").toDouble(), canvasWidth);
}

void TestKxGraphCalc::scaleLines_data()
{
    QTest::addColumn<bool>("vertical");
    QTest::addColumn<int>("mapType");
    QTest::addColumn<double>("min");
    QTest::addColumn<double>("max");
    QTest::addColumn<double>("length");
    QTest::addColumn<QVariant>("interval");
    QTest::addColumn<QList<bool>>("flags"); // dispMinus, dispPlus, useUnitPrefix
    QTest::addColumn<QList<Line>>("expected");

    // 400 px over 2000: 1 px per 5.
    QTest::newRow("x, int interval, unit prefix")
        << false << 0 << 0.0 << 2000.0 << 400.0 << QVariant(500) << QList<bool>{true, false, true}
        << QList<Line>{{0, "0"}, {100, "500"}, {200, "1k"}, {300, "1k"}, {400, "2k"}};
    // 300 px over 60 dB, upwards: -60 at the bottom edge.
    QTest::newRow("y, double interval") << true << 0 << -60.0 << 0.0 << 300.0 << QVariant(20.0)
                                        << QList<bool>{true, true, false}
                                        << QList<Line>{{300, "-60"}, {200, "-40"}, {100, "-20"}, {0, "0"}};
    QTest::newRow("y, no minus sign") << true << 0 << -60.0 << 0.0 << 300.0 << QVariant(30)
                                      << QList<bool>{false, true, false}
                                      << QList<Line>{{300, "60"}, {150, "30"}, {0, "0"}};
    QTest::newRow("x, plus sign") << false << 0 << -10.0 << 10.0 << 100.0 << QVariant(10)
                                  << QList<bool>{true, true, false} << QList<Line>{{0, "-10"}, {50, "0"}, {100, "+10"}};
    // 100 px per decade; log10(2) = 0.30103, log10(5) = 0.69897.
    QTest::newRow("x, log, script digits")
        << false << 1 << 10.0 << 100.0 << 100.0 << QVariant::fromValue(m_engine.evaluate("[0, 1, 2, 5, 10]"))
        << QList<bool>{true, false, false}
        << QList<Line>{{0, "10"}, {30.102999566398120, "20"}, {69.897000433601880, "50"}, {100, "100"}};
    QTest::newRow("x, log, decades with prefix")
        << false << 1 << 1.0 << 1000.0 << 300.0 << QVariant::fromValue(m_engine.evaluate("[1]"))
        << QList<bool>{true, false, true} << QList<Line>{{0, "1"}, {100, "10"}, {200, "100"}, {300, "1k"}};
    QTest::newRow("list of digits, not a script array")
        << false << 1 << 1.0 << 1000.0 << 300.0 << QVariant(QVariantList{1}) << QList<bool>{true, false, true}
        << QList<Line>{};
    QTest::newRow("y, log, upwards") << true << 1 << 0.001 << 1.0 << 300.0
                                     << QVariant::fromValue(m_engine.evaluate("[1]")) << QList<bool>{true, false, true}
                                     << QList<Line>{{300, "1m"}, {200, "10m"}, {100, "100m"}, {0, "1"}};
    QTest::newRow("text interval") << false << 0 << 0.0 << 100.0 << 100.0 << QVariant(QStringLiteral("10"))
                                   << QList<bool>{true, true, false} << QList<Line>{};
    QTest::newRow("no interval") << false << 0 << 0.0 << 100.0 << 100.0 << QVariant() << QList<bool>{true, true, false}
                                 << QList<Line>{};
    QTest::newRow("unusable axis") << false << 1 << 0.0 << 100.0 << 100.0 << QVariant(10)
                                   << QList<bool>{true, true, false} << QList<Line>{};
}

void TestKxGraphCalc::scaleLines()
{
    QFETCH(bool, vertical);
    QFETCH(int, mapType);
    QFETCH(double, min);
    QFETCH(double, max);
    QFETCH(double, length);
    QFETCH(QVariant, interval);
    QFETCH(QList<bool>, flags);
    QFETCH(QList<Line>, expected);

    MessageCapture capture;
    KxGraphCalc calc;
    QVariantList list;
    if (vertical) {
        calc.setYMapType(static_cast<KxGraphCalc::MapType>(mapType));
        calc.setGraphYMax(max);
        calc.setGraphYMin(min);
        calc.setCanvasHeight(length);
        list = calc.yScaleLines(interval, flags[0], flags[1], flags[2]);
    } else {
        calc.setXMapType(static_cast<KxGraphCalc::MapType>(mapType));
        calc.setGraphXMax(max);
        calc.setGraphXMin(min);
        calc.setCanvasWidth(length);
        list = calc.xScaleLines(interval, flags[0], flags[1], flags[2]);
    }
    const QList<Line> lines = linesOf(list);
    QVERIFY2(lines.size() == expected.size(), qPrintable(show(lines)));
    for (int i = 0; i < lines.size(); ++i) {
        QVERIFY2(std::fabs(lines[i].pos - expected[i].pos) < 1e-9, qPrintable(show(lines)));
        QCOMPARE(lines[i].label, expected[i].label);
    }
    const bool noMatch = !capture.takeTexts().filter(QLatin1String("no match lineSpecification")).isEmpty();
    QCOMPARE(noMatch, expected.isEmpty() && QByteArray(interval.typeName()) != "int");
}

void TestKxGraphCalc::labels_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QList<bool>>("flags"); // dispMinus, dispPlus, useUnitPrefix
    QTest::addColumn<QString>("label");

    const QList<bool> prefix{true, false, true};
    const QList<bool> plain{true, false, false};
    QTest::newRow("kilo, cut") << 1500.0 << prefix << "1k";
    QTest::newRow("just below mega") << 999999.0 << prefix << "999k";
    QTest::newRow("mega") << 1e6 << prefix << "1M";
    QTest::newRow("mega, cut") << 2.5e6 << prefix << "2M";
    QTest::newRow("units keep decimals") << 12.5 << prefix << "12.5";
    QTest::newRow("one") << 1.0 << prefix << "1";
    QTest::newRow("milli") << 0.5 << prefix << "500m";
    QTest::newRow("milli, small") << 0.003 << prefix << "3m";
    QTest::newRow("micro") << 4.7e-6 << prefix << "4u";
    QTest::newRow("nano, not cut below") << 2.5e-7 << prefix << "250n";
    QTest::newRow("pico") << 3e-10 << prefix << "300p";
    QTest::newRow("below pico") << 1e-13 << prefix << "0p";
    QTest::newRow("zero, plus") << 0.0 << QList<bool>{true, true, true} << "0";
    QTest::newRow("negative kilo") << -1500.0 << prefix << "-1k";
    QTest::newRow("negative without minus") << -1500.0 << QList<bool>{false, true, true} << "1k";
    QTest::newRow("six digits") << 1234567.0 << plain << "1.23457e+06";
    QTest::newRow("small plain") << 0.000123 << plain << "0.000123";
    QTest::newRow("plus") << 20.0 << QList<bool>{true, true, false} << "+20";
    QTest::newRow("minus wins") << -20.0 << QList<bool>{true, true, false} << "-20";
}

void TestKxGraphCalc::labels()
{
    QFETCH(double, value);
    QFETCH(QList<bool>, flags);
    QFETCH(QString, label);

    QCOMPARE(KxGraphCalc::makeLabel(value, flags[0], flags[1], flags[2]), label);
}

QTEST_GUILESS_MAIN(TestKxGraphCalc)
#include "tst_kxgraphcalc.moc"
