#pragma once

#include <QByteArray>
#include <QColor>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QList>
#include <QPixmap>
#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QScreen>
#include <QString>
#include <QStringList>
#include <QTest>

#include <functional>

// Drives a program's window on the X display as an operator does, from
// outside the program: xdotool moves the pointer and types, xprop reads what
// the window tells a window manager, and screenshots of the root window show
// what is on screen. Header-only; the including program links Qt6::Gui and
// runs a QGuiApplication on the xcb platform (the screenshots come through it).
namespace OperatorDesktop {

// Standard output of an X client; empty when it failed or did not finish.
inline QByteArray runClient(const QString& program, const QStringList& arguments, int timeoutMs = 20000)
{
    QProcess client;
    client.start(program, arguments);
    if (!client.waitForFinished(timeoutMs)) {
        client.kill();
        client.waitForFinished();
        return {};
    }
    if (client.exitStatus() != QProcess::NormalExit || client.exitCode() != 0)
        return {};
    return client.readAllStandardOutput().trimmed();
}

inline bool toolsPresent()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY")
           && !runClient(QStringLiteral("xdotool"), {QStringLiteral("version")}).isEmpty()
           && !runClient(QStringLiteral("xprop"), {QStringLiteral("-version")}).isEmpty();
}

// Colours as the views paint them; the X server of the tests has 24 bits, so
// flat areas come back exactly, antialiased glyph edges do not.
inline bool near(QRgb a, QRgb b, int tolerance = 2)
{
    return qAbs(qRed(a) - qRed(b)) <= tolerance && qAbs(qGreen(a) - qGreen(b)) <= tolerance
           && qAbs(qBlue(a) - qBlue(b)) <= tolerance;
}

inline int countPixels(const QImage& image, const QRect& area, const std::function<bool(QRgb)>& match)
{
    int count = 0;
    const QRect clipped = area & image.rect();
    for (int y = clipped.top(); y <= clipped.bottom(); ++y)
        for (int x = clipped.left(); x <= clipped.right(); ++x)
            count += match(image.pixel(x, y)) ? 1 : 0;
    return count;
}

// Pixels that differ between two images of the same size (all when the sizes differ).
inline int differingPixels(const QImage& a, const QImage& b)
{
    if (a.size() != b.size())
        return qMax(a.width() * a.height(), b.width() * b.height());
    int count = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            count += a.pixel(x, y) != b.pixel(x, y) ? 1 : 0;
    return count;
}

// Horizontal bars of one colour: rows of the area holding a run of matching
// pixels whose length lies in [minRun, maxRun], grouped into rectangles where
// such runs overlap on consecutive rows. Finds flat buttons and header lines
// without knowing their place beforehand. Sorted top to bottom, left to right.
inline QList<QRect> findBars(const QImage& image, const QRect& area, const std::function<bool(QRgb)>& match, int minRun,
                             int maxRun)
{
    QList<QRect> bars;
    const QRect clipped = area & image.rect();
    for (int y = clipped.top(); y <= clipped.bottom(); ++y) {
        int x = clipped.left();
        while (x <= clipped.right()) {
            if (!match(image.pixel(x, y))) {
                ++x;
                continue;
            }
            const int start = x;
            while (x <= clipped.right() && match(image.pixel(x, y)))
                ++x;
            const int length = x - start;
            if (length < minRun || length > maxRun)
                continue;
            const QRect run(start, y, length, 1);
            bool merged = false;
            for (QRect& bar : bars) {
                if (bar.bottom() == y - 1 && bar.left() <= run.right() && run.left() <= bar.right()) {
                    bar = bar.united(run);
                    merged = true;
                    break;
                }
            }
            if (!merged)
                bars.append(run);
        }
    }
    std::sort(bars.begin(), bars.end(), [](const QRect& a, const QRect& b) {
        return a.top() != b.top() ? a.top() < b.top() : a.left() < b.left();
    });
    return bars;
}

// Takes the keyboard focus from every window to the root window, as a
// click on the desktop would.
inline bool focusDesktop()
{
    const QByteArray root
        = runClient(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--maxdepth"),
                                                QStringLiteral("0"), QStringLiteral("--name"), QString()});
    return !root.isEmpty()
           && QProcess::execute(QStringLiteral("xdotool"),
                                {QStringLiteral("windowfocus"), QStringLiteral("--sync"), QString::fromLatin1(root)})
                  == 0;
}

// A top-level window of another process on this display.
class Window
{
public:
    // The visible window of the process, once it has one.
    static Window ofProcess(qint64 pid, int timeoutMs = 30000)
    {
        Window window;
        (void)QTest::qWaitFor(
            [&window, pid] {
                const QByteArray ids
                    = runClient(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                                            QStringLiteral("--pid"), QString::number(pid)});
                if (ids.isEmpty())
                    return false;
                window.m_id = QString::fromLatin1(ids.split('\n').first());
                return true;
            },
            timeoutMs);
        return window;
    }

    bool isValid() const { return !m_id.isEmpty(); }
    QString id() const { return m_id; }

    // Position on the root window and size, as the X server has them now.
    QRect geometry() const
    {
        const QByteArray shell = runClient(QStringLiteral("xdotool"),
                                           {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), m_id});
        QRect rect;
        for (const QByteArray& line : shell.split('\n')) {
            const int eq = line.indexOf('=');
            const QByteArray key = line.left(eq);
            const int value = line.mid(eq + 1).toInt();
            if (key == "X")
                rect.moveLeft(value);
            else if (key == "Y")
                rect.moveTop(value);
            else if (key == "WIDTH")
                rect.setWidth(value);
            else if (key == "HEIGHT")
                rect.setHeight(value);
        }
        return rect;
    }

    // Keyboard input goes to this window from now on (there is no window
    // manager on the test display to give it focus).
    bool focus() const
    {
        return QProcess::execute(QStringLiteral("xdotool"),
                                 {QStringLiteral("windowfocus"), QStringLiteral("--sync"), m_id})
               == 0;
    }

    // Pointer to a point of the window (window coordinates); returns once the
    // server has moved it.
    bool moveTo(const QPoint& point) const
    {
        const QPoint root = geometry().topLeft() + point;
        return QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QStringLiteral("--sync"),
                                                             QString::number(root.x()), QString::number(root.y())})
               == 0;
    }

    bool click(const QPoint& point) const
    {
        return moveTo(point)
               && QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("click"), QStringLiteral("1")}) == 0;
    }

    // Key names as xdotool knows them: "Return", "Escape", "ctrl+l".
    bool key(const QString& keys) const
    {
        return focus()
               && QProcess::execute(QStringLiteral("xdotool"),
                                    {QStringLiteral("key"), QStringLiteral("--clearmodifiers"), keys})
                      == 0;
    }

    bool type(const QString& text) const
    {
        return focus()
               && QProcess::execute(QStringLiteral("xdotool"),
                                    {QStringLiteral("type"), QStringLiteral("--clearmodifiers"),
                                     QStringLiteral("--delay"), QStringLiteral("30"), text})
                      == 0;
    }

    // The window's Motif hints word "functions" (what a window manager may
    // offer: 0x20 is close), or -1 when the window sets no such hints.
    // Qt on xcb leaves out 0x20 for a window without a close button hint.
    int motifFunctions() const
    {
        const QByteArray line
            = runClient(QStringLiteral("xprop"), {QStringLiteral("-id"), m_id, QStringLiteral("_MOTIF_WM_HINTS")});
        const int eq = line.indexOf('=');
        if (eq < 0)
            return -1;
        const QList<QByteArray> fields = line.mid(eq + 1).split(',');
        if (fields.size() < 2)
            return -1;
        bool ok = false;
        const int functions = fields.at(1).trimmed().toInt(&ok, 0);
        return ok ? functions : -1;
    }

    static constexpr int kMotifFunctionClose = 0x20;

    // What the X server shows in the window's area now, in window coordinates.
    QImage grab() const
    {
        const QRect rect = geometry();
        QScreen* screen = QGuiApplication::primaryScreen();
        if (screen == nullptr || rect.isEmpty())
            return {};
        return screen->grabWindow(0, rect.x(), rect.y(), rect.width(), rect.height())
            .toImage()
            .convertToFormat(QImage::Format_RGB32);
    }

private:
    QString m_id;
};

// Saves a screenshot under the folder (created as needed); false on failure.
inline bool saveArtefact(const QImage& image, const QString& folder, const QString& name)
{
    return QDir().mkpath(folder) && image.save(QDir(folder).filePath(name + QStringLiteral(".png")), "PNG");
}

} // namespace OperatorDesktop
