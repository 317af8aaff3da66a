#include "BusyStatus.h"

#include <QAccessible>
#include <QAccessibleObject>
#include <QQuickWindow>
#include <QtQml>

#include <algorithm>

namespace {

// Qt Quick's own attached "Accessible" object: an item that has one is in
// the accessibility tree.
bool inAccessibilityTree(const QQuickItem* item)
{
    const QObjectList& children = item->children();
    return std::any_of(children.cbegin(), children.cend(), [](const QObject* child) {
        return qstrcmp(child->metaObject()->className(), "QQuickAccessibleAttached") == 0;
    });
}

class BusyStatusAccessible : public QAccessibleObject
{
public:
    explicit BusyStatusAccessible(BusyStatus* status)
        : QAccessibleObject(status)
    {
    }

    QWindow* window() const override { return status()->window(); }

    QAccessibleInterface* parent() const override
    {
        QQuickWindow* const window = status()->window();
        for (QQuickItem* item = status()->parentItem(); item != nullptr; item = item->parentItem()) {
            if (window != nullptr && item == window->contentItem())
                return QAccessible::queryAccessibleInterface(window);
            if (inAccessibilityTree(item))
                return QAccessible::queryAccessibleInterface(item);
        }
        return window != nullptr ? QAccessible::queryAccessibleInterface(window) : nullptr;
    }

    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }

    QString text(QAccessible::Text kind) const override
    {
        return kind == QAccessible::Name ? status()->text() : QString();
    }

    QAccessible::Role role() const override { return QAccessible::StatusBar; }

    QAccessible::State state() const override
    {
        QAccessible::State state;
        state.busy = status()->busy();
        state.invisible = !status()->isVisible();
        state.readOnly = true;
        return state;
    }

    QRect rect() const override
    {
        const QQuickWindow* const window = status()->window();
        if (window == nullptr)
            return {};
        const QRectF scene = status()->mapRectToScene(QRectF(0, 0, status()->width(), status()->height()));
        return QRect(window->mapToGlobal(scene.topLeft().toPoint()), scene.size().toSize());
    }

private:
    BusyStatus* status() const { return static_cast<BusyStatus*>(object()); }
};

QAccessibleInterface* busyStatusFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String("BusyStatus"))
        return new BusyStatusAccessible(static_cast<BusyStatus*>(object));
    return nullptr;
}

} // namespace

BusyStatus::BusyStatus(QQuickItem* parent)
    : QQuickItem(parent)
{
}

void BusyStatus::setBusy(bool busy)
{
    if (busy == m_busy)
        return;
    m_busy = busy;
    Q_EMIT busyChanged();
    QAccessible::State changed;
    changed.busy = true;
    QAccessibleStateChangeEvent event(this, changed);
    QAccessible::updateAccessibility(&event);
}

void BusyStatus::setText(const QString& text)
{
    if (text == m_text)
        return;
    m_text = text;
    Q_EMIT textChanged();
    QAccessibleEvent event(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
}

namespace Views {

void registerTypes()
{
    qmlRegisterType<BusyStatus>("CorvaneViews", 1, 0, "BusyStatus");
    QAccessible::installFactory(busyStatusFactory);
}

} // namespace Views
