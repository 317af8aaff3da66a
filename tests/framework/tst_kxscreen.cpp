// The screen object on a real (offscreen) Qt Quick window: orientation taken
// when the window is set and followed on width changes only, windowChanged
// once per real change, margins of a platform without safe areas, and the
// point-size scaling to the primary screen's logical DPI.

#include "KxScreen.h"

#include <QGuiApplication>
#include <QQuickWindow>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

#include <memory>

class TestKxScreen : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void orientationFollowsTheWidth_data()
    {
        QTest::addColumn<QList<QSize>>("sizes");
        QTest::addColumn<QList<int>>("orientations");
        QTest::addColumn<int>("signalled");

        QTest::newRow("portrait") << QList<QSize>{} << QList<int>{} << 1;
        QTest::newRow("widened to landscape") << QList<QSize>{{1300, 1200}} << QList<int>{KxScreen::Landscape} << 2;
        QTest::newRow("square is landscape") << QList<QSize>{{1200, 1200}} << QList<int>{KxScreen::Landscape} << 2;
        QTest::newRow("wider again stays")
            << QList<QSize>{{1300, 1200}, {1400, 1200}} << QList<int>{KxScreen::Landscape, KxScreen::Landscape} << 2;
        // Height alone is not followed; the next width change catches up.
        QTest::newRow("taller only") << QList<QSize>{{1300, 1200}, {1300, 1500}, {1310, 1500}}
                                     << QList<int>{KxScreen::Landscape, KxScreen::Landscape, KxScreen::Portrait} << 3;
    }

    void orientationFollowsTheWidth()
    {
        QFETCH(QList<QSize>, sizes);
        QFETCH(QList<int>, orientations);
        QFETCH(int, signalled);

        QQuickWindow window;
        window.resize(800, 1200);
        KxScreen screen;
        QCOMPARE(screen.orientation(), KxScreen::Uninitialized);
        QSignalSpy orientation(&screen, &KxScreen::orientationChanged);
        screen.setWindow(&window);
        QCOMPARE(screen.orientation(), KxScreen::Portrait);
        for (int i = 0; i < sizes.size(); ++i) {
            window.resize(sizes.at(i));
            QCOMPARE(int(screen.orientation()), orientations.at(i));
        }
        QCOMPARE(orientation.size(), signalled);
    }

    void windowChangedOncePerChange()
    {
        auto first = std::make_unique<QQuickWindow>();
        QQuickWindow second;
        first->resize(800, 1200);
        second.resize(1300, 1200);
        KxScreen screen;
        QSignalSpy window(&screen, &KxScreen::windowChanged);
        QSignalSpy orientation(&screen, &KxScreen::orientationChanged);

        screen.setWindow(first.get());
        screen.setWindow(first.get());
        QCOMPARE(window.size(), 1);
        QCOMPARE(screen.window(), first.get());

        screen.setWindow(&second);
        QCOMPARE(window.size(), 2);
        QCOMPARE(screen.orientation(), KxScreen::Landscape);
        // The window it left is no longer followed.
        first->resize(700, 1200);
        QCOMPARE(screen.orientation(), KxScreen::Landscape);
        QCOMPARE(orientation.size(), 2);

        screen.setWindow(nullptr);
        screen.setWindow(nullptr);
        QCOMPARE(window.size(), 3);
        QCOMPARE(screen.window(), nullptr);

        screen.setWindow(first.get());
        first.reset();
        QCOMPARE(screen.window(), nullptr);
    }

    void marginsWithoutSafeAreas()
    {
        KxScreen screen;
        QQuickWindow window;
        window.resize(640, 480);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QSignalSpy top(&screen, &KxScreen::safeAreaTopMarginChanged);
        screen.setWindow(&window);
        screen.updateSafeAreaMargins();
        QCOMPARE(screen.safeAreaTopMargin(), 0);
        QCOMPARE(screen.safeAreaLeftMargin(), 0);
        QCOMPARE(screen.safeAreaBottomMargin(), 0);
        QCOMPARE(screen.safeAreaRightMargin(), 0);
        QCOMPARE(top.size(), 0);
    }

    void optimizePointSize_data()
    {
        QTest::addColumn<double>("pointSize");
        QTest::addColumn<int>("baseDpi");

        QTest::newRow("12 at 72") << 12.0 << 72;
        QTest::newRow("half a point") << 0.5 << 72;
        QTest::newRow("12 at 96") << 12.0 << 96;
        QTest::newRow("40 at 144") << 40.0 << 144;
        QTest::newRow("nothing") << 0.0 << 72;
    }

    void optimizePointSize()
    {
        QFETCH(double, pointSize);
        QFETCH(int, baseDpi);
        const double dpi = QGuiApplication::primaryScreen()->logicalDotsPerInch();
        QVERIFY(dpi > 0);
        KxScreen screen;
        QCOMPARE(screen.optimizePointSize(pointSize, baseDpi), std::max(1.0, pointSize * baseDpi / dpi));
        if (baseDpi == 72)
            QCOMPARE(screen.optimizePointSize(pointSize), screen.optimizePointSize(pointSize, 72));
    }
};

QTEST_MAIN(TestKxScreen)
#include "tst_kxscreen.moc"
