#pragma once

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QQuickWindow>

// The screen as the views see it: the window they live in, its orientation
// (followed on width changes) and the safe-area margins of its platform
// window. One instance per process, made by KxFramework::initialize as a
// child of the QML engine and held by g_pKxScreen. User-interface thread only.
class KxScreen : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QQuickWindow* window READ window WRITE setWindow NOTIFY windowChanged)
    Q_PROPERTY(int safeAreaTopMargin READ safeAreaTopMargin NOTIFY safeAreaTopMarginChanged)
    Q_PROPERTY(int safeAreaLeftMargin READ safeAreaLeftMargin NOTIFY safeAreaLeftMarginChanged)
    Q_PROPERTY(int safeAreaBottomMargin READ safeAreaBottomMargin NOTIFY safeAreaBottomMarginChanged)
    Q_PROPERTY(int safeAreaRightMargin READ safeAreaRightMargin NOTIFY safeAreaRightMarginChanged)
    Q_PROPERTY(Orientation orientation READ orientation NOTIFY orientationChanged)

public:
    enum Orientation {
        InvalidOrientation = -1,
        Uninitialized = 0,
        Portrait = 1,
        Landscape = 2,
        NumberOfOrientations = 3
    };
    Q_ENUM(Orientation)

    explicit KxScreen(QObject* parent = nullptr);
    ~KxScreen() override;

    QQuickWindow* window() const;
    // Takes the window's orientation now and follows its width from then
    // on; windowChanged also for null, nothing for the same window.
    void setWindow(QQuickWindow* window);

    // Live from the platform window; 0 without one.
    int safeAreaTopMargin() const;
    int safeAreaLeftMargin() const;
    int safeAreaBottomMargin() const;
    int safeAreaRightMargin() const;

    Orientation orientation() const { return m_orientation; }

    // A point size designed at baseDpi, scaled to the primary screen's logical
    // DPI; never below 1.
    Q_INVOKABLE double optimizePointSize(double pointSize, int baseDpi = 72) const;

    // Re-reads the margins and signals each that changed (top, left, bottom,
    // right).
    void updateSafeAreaMargins();

Q_SIGNALS:
    void safeAreaTopMarginChanged();
    void safeAreaLeftMarginChanged();
    void safeAreaBottomMarginChanged();
    void safeAreaRightMarginChanged();
    void orientationChanged();
    void windowChanged();

private:
    void updateOrientation();

    QPointer<QQuickWindow> m_window;
    QMetaObject::Connection m_widthConnection;
    int m_safeAreaTopMargin = 0;
    int m_safeAreaLeftMargin = 0;
    int m_safeAreaBottomMargin = 0;
    int m_safeAreaRightMargin = 0;
    Orientation m_orientation = Uninitialized;
};

// The process's screen object; null before KxFramework::initialize with an
// engine and after the engine is gone.
extern KxScreen* g_pKxScreen;
