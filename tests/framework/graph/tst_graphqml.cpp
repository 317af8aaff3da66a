#include "EqReference.h"
#include "KxCompGraphCalc.h"
#include "KxEQGraphCalc.h"

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
// back pixel by pixel. Each graph is 440 px square with a 360 px plot at
// (40, 40); the compressor on the left, the equaliser on the right. The
// expected curves are polylines in canvas pixels, worked out by hand for the
// compressor and from the analog prototypes of the filters for the
// equaliser.
namespace {

constexpr int kGraph = 440;
constexpr int kMargin = 40;
constexpr int kPlot = 360;

// Compressor: -60 to 0 dB on both axes, 6 px per dB, output upwards.
QPointF compressorPixel(const QPointF& levels)
{
    return {kMargin + (levels.x() + 60) * 6, kMargin - levels.y() * 6};
}

// Equaliser: 20 Hz to 20 kHz over three decades (120 px each), -24 to +24 dB
// (7.5 px per dB), 48 kHz sampling.
constexpr double kFs = 48000;

struct Band
{
    int band;
    int type;
    double f;
    double g;
    double q;
};

double expectedEqGain(const QList<Band>& bands, double f)
{
    using namespace EqReference;
    const double T = prewarp(f, kFs);
    double gain = 0;
    for (const Band& b : bands) {
        const double t = prewarp(b.f, kFs);
        switch (b.type) {
        case KxEQGraphCalc::PEQ:
            gain += peakingDb(T, t, b.q, b.g);
            break;
        case KxEQGraphCalc::LowShelf:
            gain += shelfDb(T, t, b.g, false);
            break;
        case KxEQGraphCalc::HighShelf:
            gain += shelfDb(T, t, b.g, true);
            break;
        case KxEQGraphCalc::HPF_12dBSlope:
            gain += secondOrderDb(T, t, 0.707106, true);
            break;
        default:
            break;
        }
    }
    return gain;
}

QList<QPointF> eqPolyline(const QList<Band>& bands)
{
    QList<QPointF> line;
    for (int x = 0; x <= kPlot; ++x) {
        const double f = 20 * std::pow(10.0, x / 120.0);
        line.append({kGraph + kMargin + double(x), kMargin + (24 - expectedEqGain(bands, f)) * 7.5});
    }
    return line;
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

// The label texts of one graph, left to right or bottom to top.
QStringList labelTexts(QQuickItem* graph, const QString& name, bool vertical)
{
    QList<QQuickItem*> items;
    // Items made by a Repeater are children of its parent item, not QObject children.
    for (QQuickItem* item : graph->childItems()) {
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

// The drawn plot of one graph against the expected curve: ink within 2 px of
// every point along it inside the plot, no ink farther than 2.5 px from it,
// and grid pixels along the given grid lines wherever the curve is not.
void checkPlot(const QImage& image, int left, const QList<QPointF>& expected, const QList<int>& xGrid,
               const QList<int>& yGrid)
{
    const QRect plot(left + kMargin, kMargin, kPlot, kPlot);

    int missing = 0;
    int sampled = 0;
    for (int i = 1; i < expected.size(); ++i) {
        const QPointF a = expected[i - 1];
        const QPointF b = expected[i];
        const int steps = std::max(1, int(std::ceil(std::hypot(b.x() - a.x(), b.y() - a.y()))));
        for (int s = 0; s <= steps; ++s) {
            const QPointF p = a + (b - a) * (double(s) / steps);
            if (!QRectF(plot).adjusted(1, 1, -1, -1).contains(p)) {
                continue;
            }
            ++sampled;
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
    QVERIFY(sampled >= kPlot);
    QCOMPARE(missing, 0);

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

    int onGrid = 0;
    int checked = 0;
    const auto check = [&](const QPoint& q) {
        if (distanceToPolyline(QPointF(q) + QPointF(0.5, 0.5), expected) > 4) {
            ++checked;
            onGrid += isGrid(image.pixel(q)) ? 1 : 0;
        }
    };
    for (int t = 0; t < kPlot; ++t) {
        for (int pos : xGrid) {
            check(QPoint(plot.left() + pos, plot.top() + t));
        }
        for (int pos : yGrid) {
            check(QPoint(plot.left() + t, plot.top() + pos));
        }
    }
    QVERIFY(checked > kPlot);
    QVERIFY2(onGrid >= checked - 8, qPrintable(QStringLiteral("%1 of %2").arg(onGrid).arg(checked)));
}

} // namespace

Q_DECLARE_METATYPE(Band)

class TestGraphQml : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void compressorCurve_data();
    void compressorCurve();
    void eqCurve_data();
    void eqCurve();
    void scriptArrayInterval();

private:
    // The page with the given settings, drawn; its image in `image`.
    void render(const QVariantMap& compressor, const QVariantList& bands, QImage& image, QQuickItem*& compressorItem,
                QQuickItem*& eqItem);
    std::unique_ptr<QQuickView> m_view;
};

void TestGraphQml::initTestCase()
{
    // The software renderer: the same pixels on every machine, no GPU needed.
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    qmlRegisterType<KxCompGraphCalc>("com.halvorn.kxframework", 1, 0, "KxCompGraphCalc");
    qmlRegisterType<KxEQGraphCalc>("com.halvorn.kxframework", 1, 0, "KxEQGraphCalc");
}

void TestGraphQml::render(const QVariantMap& compressor, const QVariantList& bands, QImage& image,
                          QQuickItem*& compressorItem, QQuickItem*& eqItem)
{
    m_view = std::make_unique<QQuickView>();
    m_view->setSource(QUrl(QStringLiteral("qrc:/graphqml/GraphPage.qml")));
    QVERIFY2(m_view->status() == QQuickView::Ready, qPrintable(QDebug::toString(m_view->errors())));
    compressorItem = m_view->rootObject()->property("compressor").value<QQuickItem*>();
    eqItem = m_view->rootObject()->property("eq").value<QQuickItem*>();
    QVERIFY(compressorItem && eqItem);
    for (auto it = compressor.begin(); it != compressor.end(); ++it) {
        QVERIFY(compressorItem->setProperty(it.key().toLatin1().constData(), it.value()));
    }
    QVERIFY(eqItem->setProperty("bands", bands));
    m_view->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
    QTRY_VERIFY(compressorItem->property("painted").toBool() && eqItem->property("painted").toBool());
    image = m_view->grabWindow().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(image.size(), QSize(2 * kGraph, kGraph));
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

// The compressor's curve where it belongs, grid lines at -40 and -20 dB on
// both axes, and the scale labels.
void TestGraphQml::compressorCurve()
{
    QFETCH(QVariantMap, params);
    QFETCH(QList<QPointF>, levels);

    QImage image;
    QQuickItem* compressor = nullptr;
    QQuickItem* eq = nullptr;
    render(params, {}, image, compressor, eq);
    if (QTest::currentTestFailed()) {
        return;
    }

    QList<QPointF> expected;
    for (const QPointF& l : levels) {
        expected.append(compressorPixel(l));
    }
    checkPlot(image, 0, expected, {120, 240}, {120, 240});
    if (QTest::currentTestFailed()) {
        return;
    }

    const QStringList labels{"-60", "-40", "-20", "0"};
    QCOMPARE(labelTexts(compressor, QStringLiteral("xLabel"), false), labels);
    QCOMPARE(labelTexts(compressor, QStringLiteral("yLabel"), true), labels);
}

void TestGraphQml::eqCurve_data()
{
    QTest::addColumn<QList<Band>>("bands");
    QTest::addColumn<QList<Band>>("drawn"); // the bands that shape the summed curve

    using K = KxEQGraphCalc;
    const Band peak{K::Band1, K::PEQ, 1000, 12, 2};
    const Band highPass{K::Band2, K::HPF_12dBSlope, 100, 0, 1};
    const Band lowShelf{K::Band3, K::LowShelf, 200, 6, 1};
    const Band highShelf{K::Band6, K::HighShelf, 5000, -9, 1};
    const Band seventh{K::Band7, K::PEQ, 3000, 12, 1};

    QTest::newRow("flat") << QList<Band>{} << QList<Band>{};
    QTest::newRow("peak and high-pass") << QList<Band>{peak, highPass} << QList<Band>{peak, highPass};
    QTest::newRow("shelves") << QList<Band>{lowShelf, highShelf} << QList<Band>{lowShelf, highShelf};
    QTest::newRow("band 7 is not summed") << QList<Band>{peak, seventh} << QList<Band>{peak};
}

// The equaliser's summed curve where it belongs, grid lines at 200 Hz, 2 kHz
// and -12, 0, +12 dB, and the scale labels.
void TestGraphQml::eqCurve()
{
    QFETCH(QList<Band>, bands);
    QFETCH(QList<Band>, drawn);

    QVariantList list;
    for (const Band& b : bands) {
        list.append(QVariantMap{{"band", b.band}, {"type", b.type}, {"f", b.f}, {"g", b.g}, {"q", b.q}});
    }
    QImage image;
    QQuickItem* compressor = nullptr;
    QQuickItem* eq = nullptr;
    render({}, list, image, compressor, eq);
    if (QTest::currentTestFailed()) {
        return;
    }

    checkPlot(image, kGraph, eqPolyline(drawn), {120, 240}, {90, 180, 270});
    if (QTest::currentTestFailed()) {
        return;
    }

    QCOMPARE(labelTexts(eq, QStringLiteral("xLabel"), false),
             QStringList({"20", "50", "100", "200", "500", "1k", "2k", "5k", "10k", "20k"}));
    QCOMPARE(labelTexts(eq, QStringLiteral("yLabel"), true), QStringList({"-24", "-12", "0", "+12", "+24"}));
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
