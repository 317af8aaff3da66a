#pragma once

#include "OperatorDesktop.h"

#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QList>
#include <QPoint>
#include <QRect>
#include <QTest>

#include <array>

// Corvane's main window as an operator sees it, found on screen from its
// layout: a 90 px header in "#141414", table rows of 20 px under a header
// whose cells are framed in "#CACACA", column widths in per cent of the
// table (2, 5.5, 26, 8, 9, 12, 9, the rest for the status), popups centred
// (the network popup the window less 300 by 80 px), buttons 220 x 22 in
// "#141414" when enabled and "#6E6E6E" when not. Where the layout leaves a
// place open (margins, the table's top) the element is found by those colours
// rather than assumed. Header-only, for programs that link Qt6::Gui.
namespace CorvaneWindow {

constexpr int kHeaderHeight = 90;
constexpr int kRowHeight = 20;
constexpr std::array<double, 9> kColumnStart{0, 2, 7.5, 33.5, 41.5, 50.5, 62.5, 71.5, 100};
constexpr int kCheckColumn = 0;
constexpr int kIpAddressColumn = 4;
constexpr int kStatusColumn = 7;
constexpr int kNetworkPopupWidthLess = 300;
constexpr int kNetworkPopupHeightLess = 80;
// Runs of a 220 px button on the rows above and below its text, less the
// rounded corners; header cells are far wider, glyph runs far narrower.
constexpr int kButtonMinRun = 150;
constexpr int kButtonMaxRun = 225;
// A blinking text cursor changes at most this many pixels; a few masked
// characters change many more.
constexpr int kCursorPixels = 60;

inline const QRgb kHeaderColour = qRgb(0x14, 0x14, 0x14);
inline const QRgb kHeaderLineColour = qRgb(0xCA, 0xCA, 0xCA);
inline const QRgb kButtonEnabled = qRgb(0x14, 0x14, 0x14);
inline const QRgb kButtonDisabled = qRgb(0x6E, 0x6E, 0x6E);
inline const QRgb kSelectedInterfaceRow = qRgb(0xD4, 0xEC, 0xEA);

inline bool isLinkBlue(QRgb c) // "#1032ff", glyph cores
{
    return qBlue(c) > 200 && qRed(c) < 90 && qGreen(c) < 120;
}

inline bool isInk(QRgb c) // black text
{
    return qRed(c) < 90 && qGreen(c) < 90 && qBlue(c) < 90;
}

// The toast: "#222222" at opacity 0.9, a dark grey over whatever lies below.
inline bool isToast(QRgb c)
{
    return qAbs(qRed(c) - qGreen(c)) <= 3 && qAbs(qGreen(c) - qBlue(c)) <= 3 && qRed(c) >= 0x18 && qRed(c) <= 0x48;
}

inline bool isWhiteInk(QRgb c) // the toast's text
{
    return qRed(c) > 200 && qGreen(c) > 200 && qBlue(c) > 200;
}

// From the first to the last column of the area that holds ink.
inline int inkWidth(const QImage& shot, const QRect& area, const std::function<bool(QRgb)>& ink)
{
    const QRect clipped = area & shot.rect();
    int first = -1;
    int last = -1;
    for (int x = clipped.left(); x <= clipped.right(); ++x) {
        for (int y = clipped.top(); y <= clipped.bottom(); ++y) {
            if (ink(shot.pixel(x, y))) {
                if (first < 0)
                    first = x;
                last = x;
                break;
            }
        }
    }
    return first < 0 ? 0 : last - first + 1;
}

// Whether the area shows this text, as far as its width tells: the views
// draw in the application's default font (the same here, same platform and
// theme), at the given point size or the default one. Texts the window shows
// in one place differ in width by far more than the tolerance.
inline bool showsText(const QImage& shot, const QRect& area, const QString& text, const std::function<bool(QRgb)>& ink,
                      int pointSize = 0)
{
    QFont font = QGuiApplication::font();
    if (pointSize > 0)
        font.setPointSize(pointSize);
    const int expected = QFontMetrics(font).boundingRect(text).width();
    return qAbs(inkWidth(shot, area, ink) - expected) <= qMax(4, expected / 20);
}

// The header bar keeps its colour unless a modal popup dims the window.
inline bool dimmed(const QImage& shot)
{
    return !shot.isNull() && !OperatorDesktop::near(shot.pixel(5, 5), kHeaderColour);
}

// The program's own file dialog (no desktop to lend one): 600 px wide,
// centred, with margins left and right of its list (about 11 px) in the
// light grey of the palette's window colour, whatever the folder holds.
inline bool fileDialogShown(const QImage& shot)
{
    const auto grey = [](QRgb c) {
        return qAbs(qRed(c) - qGreen(c)) <= 2 && qAbs(qGreen(c) - qBlue(c)) <= 2 && qRed(c) >= 0xD8 && qRed(c) <= 0xF4;
    };
    const int left = shot.width() / 2 - 300;
    const QRect margins[]
        = {QRect(left + 2, shot.height() / 2 - 100, 8, 200), QRect(left + 600 - 10, shot.height() / 2 - 100, 8, 200)};
    for (const QRect& margin : margins) {
        if (OperatorDesktop::countPixels(shot, margin, grey) < margin.width() * margin.height() * 9 / 10)
            return false;
    }
    return true;
}

// A table found by its header: the top and bottom lines of the header cells
// and the table's extent along the top line.
struct Table
{
    int left = 0;
    int width = 0;
    int headerTop = 0;
    int rowsTop = 0;
    // Rows are 20 px high; the spacing between them is the view's own
    // choice, so the distance from row to row is measured (linkRows).
    int pitch = kRowHeight;

    bool isValid() const { return width > 0 && rowsTop > headerTop; }
    int columnX(int column) const { return left + qRound(width * kColumnStart[size_t(column)] / 100.0); }
    // A cell less two pixels on every side: borders and spacing are not content.
    QRect cell(int row, int column) const
    {
        const int x = columnX(column) + 2;
        return QRect(x, rowsTop + row * pitch + 2, columnX(column + 1) - x - 2, kRowHeight - 4);
    }
    // The device columns of a row, without check box and status.
    QRect row(int row) const
    {
        return QRect(columnX(1) + 2, rowsTop + row * pitch + 2, columnX(kStatusColumn) - columnX(1) - 4,
                     kRowHeight - 4);
    }
    QRect headerCell(int column) const
    {
        return QRect(columnX(column) + 2, headerTop + 2, columnX(column + 1) - columnX(column) - 4,
                     rowsTop - headerTop - 4);
    }
    QPoint headerCentre(int column) const { return headerCell(column).center(); }
    QPoint cellCentre(int row, int column) const { return cell(row, column).center(); }

    // Top edges of the text bands in the status column that hold the link
    // colour: one per row whose status is the link "Login required".
    QList<int> linkRows(const QImage& shot) const
    {
        QList<int> tops;
        bool inBand = false;
        for (int y = rowsTop; y < shot.height(); ++y) {
            const bool blue
                = OperatorDesktop::countPixels(
                      shot, QRect(columnX(kStatusColumn), y, columnX(kStatusColumn + 1) - columnX(kStatusColumn), 1),
                      isLinkBlue)
                  > 0;
            if (blue && !inBand)
                tops.append(y);
            inBand = blue;
        }
        return tops;
    }

    // The first row's top: the first white line under the header (the space
    // between header and rows is the view's choice).
    int firstRowTop(const QImage& shot) const
    {
        for (int y = rowsTop; y < qMin(shot.height(), rowsTop + 3 * kRowHeight); ++y) {
            if (OperatorDesktop::near(shot.pixel(left + width / 6, y), qRgb(0xFF, 0xFF, 0xFF), 0)
                || OperatorDesktop::near(shot.pixel(left + width / 6, y), kSelectedInterfaceRow, 0))
                return y;
        }
        return rowsTop;
    }

    static Table find(const QImage& shot, const QRect& area)
    {
        Table table;
        const auto line = [](QRgb c) { return OperatorDesktop::near(c, kHeaderLineColour); };
        const QList<QRect> lines = OperatorDesktop::findBars(shot, area, line, 100, area.width());
        if (lines.size() < 2)
            return table;
        table.headerTop = lines.first().top();
        int bottom = -1;
        for (const QRect& bar : lines) {
            if (bar.top() > table.headerTop + 10) {
                bottom = bar.top();
                break;
            }
        }
        if (bottom < 0)
            return table;
        // Along the top line every cell's frame shows, the narrow check cell too.
        const QList<QRect> top = OperatorDesktop::findBars(shot, QRect(area.left(), table.headerTop, area.width(), 1),
                                                           line, 8, area.width());
        int right = 0;
        table.left = area.right();
        for (const QRect& bar : top) {
            table.left = qMin(table.left, bar.left());
            right = qMax(right, bar.right());
        }
        table.width = right - table.left + 1;
        table.rowsTop = bottom + 1;
        return table;
    }
};

// The window and what the operator does with it.
class Screen
{
public:
    explicit Screen(const OperatorDesktop::Window& window)
        : m_window(window)
    {
    }

    const OperatorDesktop::Window& window() const { return m_window; }
    QImage grab() const { return m_window.grab(); }
    const Table& table() const { return m_table; }

    QRect networkPopup() const
    {
        const QRect window = m_window.geometry();
        return QRect(kNetworkPopupWidthLess / 2, kNetworkPopupHeightLess / 2, window.width() - kNetworkPopupWidthLess,
                     window.height() - kNetworkPopupHeightLess);
    }

    // Waits for the network popup's table; false when none shows.
    bool waitForNetworkPopup(QImage& shot, int timeoutMs = 20000)
    {
        return QTest::qWaitFor(
            [&] {
                shot = grab();
                m_popupTable = Table::find(shot, networkPopup());
                return dimmed(shot) && m_popupTable.isValid();
            },
            timeoutMs);
    }

    // Selects the popup's first interface (the only one with an IPv4 address
    // besides the loopback in the private network); waits for its highlight.
    bool selectFirstInterface(QImage& shot)
    {
        const QRect popup = networkPopup();
        const int top = m_popupTable.firstRowTop(grab());
        if (!m_window.click(QPoint(popup.left() + popup.width() / 6, top + kRowHeight / 2)))
            return false;
        return QTest::qWaitFor(
            [&] {
                shot = grab();
                return OperatorDesktop::countPixels(
                           shot, QRect(popup.left(), top, popup.width(), kRowHeight),
                           [](QRgb c) { return OperatorDesktop::near(c, kSelectedInterfaceRow); })
                       > popup.width() / 4;
            },
            10000);
    }

    // Presses the popup's enabled OK button and waits for the popup to close.
    bool confirmInterface(QImage& shot)
    {
        QList<QRect> ok;
        const bool found = QTest::qWaitFor(
            [&] {
                shot = grab();
                ok.clear();
                // Filled bars only: the cancel button's 1 px frame is as dark.
                for (const QRect& bar : OperatorDesktop::findBars(
                         shot, networkPopup(), [](QRgb c) { return OperatorDesktop::near(c, kButtonEnabled); },
                         kButtonMinRun, kButtonMaxRun)) {
                    if (bar.height() >= 3)
                        ok.append(bar);
                }
                return !ok.isEmpty();
            },
            10000);
        return found && m_window.click(ok.last().center()) && QTest::qWaitFor([&] { return !dimmed(grab()); }, 10000);
    }

    // Finds the device table under the header; false when it is not there.
    // With two or more rows showing the login link, the row pitch is taken
    // from them.
    bool findTable(const QImage& shot)
    {
        m_table = Table::find(shot, QRect(0, kHeaderHeight, shot.width(), shot.height() - kHeaderHeight));
        if (!m_table.isValid())
            return false;
        const QList<int> links = m_table.linkRows(shot);
        if (links.size() >= 2)
            m_table.pitch = links.at(1) - links.at(0);
        return true;
    }

    // Rows whose status is the link "Login required".
    int loginLinks(const QImage& shot) const { return m_table.isValid() ? int(m_table.linkRows(shot).size()) : 0; }

    // The batch buttons below the table, left to right, in one colour.
    QList<QRect> batchButtons(const QImage& shot, QRgb colour) const
    {
        const QRect below(0, m_table.rowsTop, shot.width(), shot.height() - m_table.rowsTop);
        const QList<QRect> bars = OperatorDesktop::findBars(
            shot, below, [colour](QRgb c) { return OperatorDesktop::near(c, colour); }, kButtonMinRun, kButtonMaxRun);
        QList<QRect> buttons;
        for (const QRect& bar : bars) {
            if (bar.height() >= 3 && (buttons.isEmpty() || qAbs(bar.top() - buttons.first().top()) <= 2))
                buttons.append(bar);
        }
        return buttons;
    }

    // The toast's text area while it is shown, or an empty rectangle: inside
    // its white frame with the 20 px rounded corners.
    static QRect toast(const QImage& shot)
    {
        QRect area;
        for (const QRect& bar :
             OperatorDesktop::findBars(shot, QRect(0, shot.height() / 2, shot.width(), shot.height() / 2), isToast,
                                       shot.width() / 2, shot.width()))
            area = area.united(bar);
        return area.isEmpty() ? area : area.adjusted(20, 2, -20, -2);
    }

    // The pointer over an empty part of the header, so that no row shows hover.
    bool parkPointer() const { return m_window.moveTo(QPoint(m_window.geometry().width() / 2, kHeaderHeight / 2)); }

    // Two screenshots in a row that differ by no more than a blinking cursor.
    bool settled(QImage& shot) const
    {
        const QImage first = grab();
        shot = grab();
        return !shot.isNull() && OperatorDesktop::differingPixels(first, shot) < kCursorPixels;
    }

    // Types into the focused password field and waits for the mask to show.
    bool typeMasked(const QString& text, const QImage& emptyField) const
    {
        return m_window.type(text)
               && QTest::qWaitFor([&] { return OperatorDesktop::differingPixels(grab(), emptyField) >= kCursorPixels; },
                                  10000);
    }

private:
    OperatorDesktop::Window m_window;
    Table m_popupTable;
    Table m_table;
};

} // namespace CorvaneWindow
