// The launch error is shown before the QML engine has any types or views, so
// it is a plain painted window rather than a QML dialog: it needs nothing but
// Qt GUI and cannot fail on a missing QML module.
#include "LaunchErrorMessage.h"

#include "Logger.h"

#include <QEventLoop>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRasterWindow>
#include <QScreen>

namespace {

class LaunchErrorWindow : public QRasterWindow
{
public:
    LaunchErrorWindow(const QString& text, const QString& caption)
        : m_text(text)
    {
        setTitle(caption);
        setFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
        setModality(Qt::ApplicationModal);

        const QFontMetrics metrics(QGuiApplication::font());
        const int textWidth = metrics.horizontalAdvance(m_text);
        const QSize size(qMax(320, kMargin * 3 + kIconSize + textWidth), kMargin * 3 + kIconSize + kButtonHeight);
        resize(size);
        setMinimumSize(size);
        setMaximumSize(size);
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            setPosition(screen->availableGeometry().center() - QPoint(size.width() / 2, size.height() / 2));
    }

    void runModal()
    {
        QEventLoop loop;
        m_loop = &loop;
        show();
        requestActivate();
        loop.exec();
        m_loop = nullptr;
        hide();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.fillRect(QRect(QPoint(0, 0), size()), QColor(0xf0, 0xf0, 0xf0));

        // Error sign: a red disc with a white cross.
        const QRectF icon(kMargin, kMargin, kIconSize, kIconSize);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0xc4, 0x2b, 0x1c));
        painter.drawEllipse(icon);
        painter.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap));
        const qreal inset = kIconSize * 0.3;
        painter.drawLine(icon.topLeft() + QPointF(inset, inset), icon.bottomRight() - QPointF(inset, inset));
        painter.drawLine(icon.topRight() + QPointF(-inset, inset), icon.bottomLeft() + QPointF(inset, -inset));

        painter.setPen(Qt::black);
        const QRect textRect(kMargin * 2 + kIconSize, kMargin, width() - kMargin * 3 - kIconSize, kIconSize);
        painter.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft, m_text);

        const QRect button = buttonRect();
        painter.setPen(QColor(0x00, 0x78, 0xd4));
        painter.setBrush(QColor(0xfd, 0xfd, 0xfd));
        painter.drawRoundedRect(QRectF(button).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
        painter.setPen(Qt::black);
        painter.drawText(button, Qt::AlignCenter, QStringLiteral("OK"));
    }

    void keyPressEvent(QKeyEvent* event) override
    {
        switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Space:
        case Qt::Key_Escape:
            dismiss();
            break;
        default:
            QRasterWindow::keyPressEvent(event);
        }
    }

    void mouseReleaseEvent(QMouseEvent* event) override
    {
        if (event->button() == Qt::LeftButton && buttonRect().contains(event->position().toPoint()))
            dismiss();
    }

    bool event(QEvent* event) override
    {
        // The window manager's close button dismisses the message like OK.
        if (event->type() == QEvent::Close)
            dismiss();
        return QRasterWindow::event(event);
    }

private:
    static constexpr int kMargin = 20;
    static constexpr int kIconSize = 32;
    static constexpr int kButtonWidth = 88;
    static constexpr int kButtonHeight = 26;

    QRect buttonRect() const
    {
        return QRect(width() - kMargin - kButtonWidth, height() - kMargin - kButtonHeight, kButtonWidth, kButtonHeight);
    }

    void dismiss()
    {
        if (m_loop != nullptr)
            m_loop->quit();
    }

    QString m_text;
    QEventLoop* m_loop = nullptr;
};

// Platforms that draw into memory only: nobody could read the window, let
// alone press OK, so waiting for an answer would never end.
bool hasScreen()
{
    if (qGuiApp == nullptr)
        return false;
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

} // namespace

void showLaunchErrorMessage(const QString& text, const QString& caption)
{
    // Logged everywhere: where there is no screen this line is the message.
    CORVANE_LOG(caption + QStringLiteral(": ") + text);
    if (!hasScreen())
        return;
    LaunchErrorWindow window(text, caption);
    window.runModal();
}
