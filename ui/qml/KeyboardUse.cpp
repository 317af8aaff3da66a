#include "KeyboardUse.h"

#include <QEvent>
#include <QQuickWindow>

KeyboardUse::KeyboardUse(QQuickItem* parent)
    : QQuickItem(parent)
{
}

KeyboardUse::~KeyboardUse()
{
    watch(nullptr);
}

void KeyboardUse::itemChange(ItemChange change, const ItemChangeData& value)
{
    if (change == ItemSceneChange)
        watch(value.window);
    QQuickItem::itemChange(change, value);
}

void KeyboardUse::watch(QQuickWindow* window)
{
    if (m_window != nullptr)
        m_window->removeEventFilter(this);
    m_window = window;
    if (m_window != nullptr)
        m_window->installEventFilter(this);
}

bool KeyboardUse::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
        setActive(true);
        break;
    // The release counts too: a press does not always pass this filter
    // (seen with Qt Quick Test's clicks), its release does.
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::TouchBegin:
        setActive(false);
        break;
    default:
        break;
    }
    return QQuickItem::eventFilter(watched, event);
}

void KeyboardUse::setActive(bool active)
{
    if (active == m_active)
        return;
    m_active = active;
    Q_EMIT activeChanged();
}
