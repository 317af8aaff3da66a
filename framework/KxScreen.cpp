#include "KxScreen.h"

#include <QGuiApplication>
#include <QMargins>
#include <qpa/qplatformwindow.h>
#include <QQuickWindow>
#include <QScreen>

#include <algorithm>

KxScreen* g_pKxScreen = nullptr;

namespace {

QMargins platformSafeAreaMargins(const QQuickWindow* window)
{
    if (window == nullptr || window->handle() == nullptr)
        return QMargins();
    return window->handle()->safeAreaMargins();
}

} // namespace

KxScreen::KxScreen(QObject* parent)
    : QObject(parent)
{
}

KxScreen::~KxScreen()
{
    if (g_pKxScreen == this)
        g_pKxScreen = nullptr;
}

QQuickWindow* KxScreen::window() const
{
    return m_window;
}

void KxScreen::setWindow(QQuickWindow* window)
{
    if (window == m_window)
        return;
    QObject::disconnect(m_widthConnection);
    m_window = window;
    if (window != nullptr) {
        updateOrientation();
        // Direct: the orientation is current by the time the window's own
        // width handlers in QML run.
        m_widthConnection = connect(
            window, &QWindow::widthChanged, this, [this] { updateOrientation(); }, Qt::DirectConnection);
    }
    Q_EMIT windowChanged();
}

void KxScreen::updateOrientation()
{
    if (!m_window)
        return;
    const Orientation orientation = m_window->width() < m_window->height() ? Portrait : Landscape;
    if (orientation == m_orientation)
        return;
    m_orientation = orientation;
    updateSafeAreaMargins();
    Q_EMIT orientationChanged();
}

int KxScreen::safeAreaTopMargin() const
{
    return platformSafeAreaMargins(m_window).top();
}

int KxScreen::safeAreaLeftMargin() const
{
    return platformSafeAreaMargins(m_window).left();
}

int KxScreen::safeAreaBottomMargin() const
{
    return platformSafeAreaMargins(m_window).bottom();
}

int KxScreen::safeAreaRightMargin() const
{
    return platformSafeAreaMargins(m_window).right();
}

void KxScreen::updateSafeAreaMargins()
{
    const QMargins margins = platformSafeAreaMargins(m_window);
    if (margins.top() != m_safeAreaTopMargin) {
        m_safeAreaTopMargin = margins.top();
        Q_EMIT safeAreaTopMarginChanged();
    }
    if (margins.left() != m_safeAreaLeftMargin) {
        m_safeAreaLeftMargin = margins.left();
        Q_EMIT safeAreaLeftMarginChanged();
    }
    if (margins.bottom() != m_safeAreaBottomMargin) {
        m_safeAreaBottomMargin = margins.bottom();
        Q_EMIT safeAreaBottomMarginChanged();
    }
    if (margins.right() != m_safeAreaRightMargin) {
        m_safeAreaRightMargin = margins.right();
        Q_EMIT safeAreaRightMarginChanged();
    }
}

double KxScreen::optimizePointSize(double pointSize, int baseDpi) const
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    const double logicalDpi = screen != nullptr ? screen->logicalDotsPerInch() : 0.0;
    // Without a screen (or a nonsensical one) the design size stands.
    const double scaled = logicalDpi > 0.0 ? baseDpi / logicalDpi * pointSize : pointSize;
    return std::max(1.0, scaled);
}
