#include "KxCompGraphCalc.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <QImage>
#include <QJSValue>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QTest>

// The graph page drawn by Qt Quick's software renderer offscreen and read
// back pixel by pixel. The expected curves are polylines through levels
// worked out by hand; the page's plot is 360 px square at (40, 40) over -60
// to 0 dB on both axes, 6 px per dB, output upwards.
namespace {

constexpr int kMargin = 40;
constexpr int kPlot = 360;
constexpr double kPixelsPerDb = 6;

QPointF canvasOf(const QPointF& levels)
{
    return {kMargin + (levels.x() + 60) * kPixelsPerDb, kMargin - levels.y() * kPixelsPerDb};
}

double distanceToSegment(const QPointF& p, const QPointF& a, const QPointF& b)
{
    const QPointF d = b - a;
    const double length2 = QPointF::dotProduct(d, d);
    const double t = length2 > 0 ? std::clamp(QPointF::dotProduct(p - a, d) / length2, 0.0, 1.0) : 0.0;
    const QPointF nearest = a + t * d;
    return std::hypot(p.x() - nearest.x(), p.y() - nearest.y());
}

double distanceToPolyline(const QPointF& p, const QList<QPointF>& line)
{
    double best = std::numeric_limits<double>::infinity();
    for (int i = 1; i < line.size(); ++i) {
        best = std::min(best, distanceToSegment(p, line[i - 1], line[i]));
    }
    return best;
}

// The curve's colour, blended with white by at most a little anti-aliasing.
bool isInk(QRgb c)
{
    return qBlue(c) >= 150 && qRed(c) <= 110 && qGreen(c) <= 110;
}

bool isGrid(QRgb c)
{
    return std::abs(qRed(c) - 0xc0) <= 8 && std::abs(qGreen(c) - 0xc0) <= 8 && std::abs(qBlue(c) - 0xc0) <= 8;
}

// Items made by a Repeater are children of its parent item, not QObject children.
QStringList labelTexts(QQuickItem* root, const QString& name, bool vertical)
{
    QList<QQuickItem*> items;
    for (QQuickItem* item : root->childItems()) {
        if (item->objectName() == name) {
            items.append(item);
        }
    }
    std::sort(items.begin(), items.end(),
              [vertical](QQuickItem* a, QQuickItem* b) { return vertical ? a->y() > b->y() : a->x() < b->x(); });
    QStringList texts;
    for (QQuickItem* item : items) {
        texts << item->property("text").toString();
    }
    return texts;
}

} // namespace

class TestGraphQml : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void compressorCurve_data();
    void compressorCurve();
    void scriptArrayInterval();
};

void TestGraphQml::initTestCase()
{
    // The software renderer: the same pixels on every machine, no GPU needed.
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    qmlRegisterType<KxCompGraphCalc>("com.halvorn.kxframework", 1, 0, "KxCompGraphCalc");
}

void TestGraphQml::compressorCurve_data()
{
    QTest::addColumn<QVariantMap>("params");
    QTest::addColumn<QList<QPointF>>("levels"); // (input, output) corners of the curve, dB

    QTest::newRow("identity") << QVariantMap{} << QList<QPointF>{{-60, -60}, {0, 0}};
    QTest::newRow("2:1 from -30") << QVariantMap{{"threshold", -30}, {"ratio", 0.5}}
                                  << QList<QPointF>{{-60, -60}, {-30, -30}, {0, -15}};
    QTest::newRow("limit at -20, 6 dB gain") << QVariantMap{{"threshold", -20}, {"ratio", 1}, {"gain", 6}}
                                             << QList<QPointF>{{-60, -54}, {-20, -14}, {0, -14}};
    // Knee from -42 to -18: the output falls 12 x 0.5 x (a + 1)^2 / 4 below
    // the input at a = (x + 30) / 12.
    QTest::newRow("soft knee") << QVariantMap{{"threshold", -30}, {"ratio", 0.5}, {"knee", 12}}
                               << QList<QPointF>{{-60, -60},     {-42, -42}, {-36, -36.375}, {-30, -31.5},
                                                 {-24, -27.375}, {-18, -24}, {0, -15}};
}

// Every stretch of the expected curve is drawn, nothing of the curve's
// colour lies away from it, and the grid lines sit at -40 and -20 dB.
void TestGraphQml::compressorCurve()
{
    QFETCH(QVariantMap, params);
    QFETCH(QList<QPointF>, levels);

    QQuickView view;
    view.setInitialProperties(params);
    view.setSource(QUrl(QStringLiteral("qrc:/graphqml/CompressorCurve.qml")));
    QVERIFY2(view.status() == QQuickView::Ready, qPrintable(QDebug::toString(view.errors())));
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QTRY_VERIFY(view.rootObject()->property("painted").toBool());

    const QImage image = view.grabWindow().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(image.size(), QSize(440, 440));

    QList<QPointF> expected;
    for (const QPointF& l : levels) {
        expected.append(canvasOf(l));
    }
    const QRect plot(kMargin, kMargin, kPlot, kPlot);

    // Coverage: ink within 2 px of every point along the expected curve.
    int missing = 0;
    for (int i = 1; i < expected.size(); ++i) {
        const QPointF a = expected[i - 1];
        const QPointF b = expected[i];
        const int steps = int(std::ceil(std::hypot(b.x() - a.x(), b.y() - a.y())));
        for (int s = 0; s <= steps; ++s) {
            const QPointF p = a + (b - a) * (double(s) / steps);
            bool found = false;
            for (int dy = -2; dy <= 2 && !found; ++dy) {
                for (int dx = -2; dx <= 2 && !found; ++dx) {
                    const QPoint q(int(std::floor(p.x())) + dx, int(std::floor(p.y())) + dy);
                    found = plot.contains(q) && isInk(image.pixel(q));
                }
            }
            missing += found ? 0 : 1;
        }
    }
    QCOMPARE(missing, 0);

    // Precision: no ink farther than 2.5 px from the expected curve.
    int inked = 0;
    for (int y = plot.top(); y <= plot.bottom(); ++y) {
        for (int x = plot.left(); x <= plot.right(); ++x) {
            if (!isInk(image.pixel(x, y))) {
                continue;
            }
            ++inked;
            const double d = distanceToPolyline(QPointF(x + 0.5, y + 0.5), expected);
            QVERIFY2(d <= 2.5, qPrintable(QStringLiteral("ink at %1,%2 is %3 px off the curve").arg(x).arg(y).arg(d)));
        }
    }
    QVERIFY(inked >= kPlot);

    // Grid lines at -40 and -20 dB on both axes, wherever the curve is not.
    for (int pos : {120, 240}) {
        int onGrid = 0;
        int checked = 0;
        for (int t = 0; t < kPlot; ++t) {
            for (const QPoint q : {QPoint(kMargin + pos, kMargin + t), QPoint(kMargin + t, kMargin + pos)}) {
                if (distanceToPolyline(QPointF(q) + QPointF(0.5, 0.5), expected) > 4) {
                    ++checked;
                    onGrid += isGrid(image.pixel(q)) ? 1 : 0;
                }
            }
        }
        QVERIFY(checked > kPlot);
        QVERIFY2(onGrid >= checked - 4, qPrintable(QStringLiteral("%1 of %2").arg(onGrid).arg(checked)));
    }

    const QStringList labels{"-60", "-40", "-20", "0"};
    QCOMPARE(labelTexts(view.rootObject(), QStringLiteral("xLabel"), false), labels);
    QCOMPARE(labelTexts(view.rootObject(), QStringLiteral("yLabel"), true), labels);
}

// A script array handed to the scale lines from QML selects leading digits
// on a logarithmic axis: two decades over 200 px.
void TestGraphQml::scriptArrayInterval()
{
    QQmlEngine engine;
    QQmlComponent component(&engine);
    component.setData("import com.halvorn.kxframework 1.0\n"
                      "KxCompGraphCalc {\n"
                      "    xMapType: KxCompGraphCalc.Logarithmic; inputMin: 10; inputMax: 1000; canvasWidth: 200\n"
                      "    function lines() { return xScaleLines([0, 1, 2, 5, 10], true, false) }\n"
                      "}\n",
                      QUrl());
    std::unique_ptr<QObject> calc(component.create());
    QVERIFY2(calc, qPrintable(component.errorString()));
    QVariant result;
    QVERIFY(QMetaObject::invokeMethod(calc.get(), "lines", Q_RETURN_ARG(QVariant, result)));
    const QVariantList lines
        = result.value<QJSValue>().isArray() ? result.value<QJSValue>().toVariant().toList() : result.toList();

    const QList<double> positions{
        0, 30.102999566398120, 69.897000433601880, 100, 130.10299956639812, 169.89700043360188, 200};
    const QStringList texts{"10", "20", "50", "100", "200", "500", "1000"};
    QCOMPARE(lines.size(), positions.size());
    for (int i = 0; i < lines.size(); ++i) {
        const QVariantMap line = lines[i].toMap();
        QVERIFY2(std::fabs(line.value("pos").toDouble() - positions[i]) < 1e-9, qPrintable(QString::number(i)));
        QCOMPARE(line.value("label").toString(), texts[i]);
    }
}

QTEST_MAIN(TestGraphQml)
#include "tst_graphqml.moc"
