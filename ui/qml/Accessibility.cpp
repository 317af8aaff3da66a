#include "Accessibility.h"

#include "KeyboardUse.h"
#include "Look.h"
#include "WindowMemory.h"

#include <private/qguiapplication_p.h>
#include <QAccessible>
#include <QAccessibleObject>
#include <QMetaObject>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>
#include <QQmlContext>
#include <QQuickWindow>
#include <QtQml>

#include <algorithm>

namespace {

const char* const kLeafMarker = "accessibleLeaf";
const char* const kTableMarker = "accessibleTable";

// Qt Quick's attached "Accessible" object of an item, the one its
// declarations went to, if it has one: having one puts the item in the
// accessibility tree. The type is Qt Quick's private one; its instances
// give the function by which QML and Qt Quick find it.
QObject* accessibleAttached(const QQuickItem* item)
{
    const QObjectList& children = item->children();
    const auto found = std::find_if(children.cbegin(), children.cend(), [](const QObject* child) {
        return qstrcmp(child->metaObject()->className(), "QQuickAccessibleAttached") == 0;
    });
    if (found == children.cend())
        return nullptr;
    auto* const object = const_cast<QQuickItem*>(item);
    return qmlAttachedPropertiesObject(object, qmlAttachedPropertiesFunction(object, (*found)->metaObject()), false);
}

// Whether a modal popup (a dialog, the file dialog) is open over the item:
// the item is then out of reach, as a disabled one is. Popups live on the
// window's overlay, each item of it belonging to its popup.
bool behindModalPopup(const QQuickItem* item)
{
    const QQuickWindow* const window = item->window();
    if (window == nullptr)
        return false;
    const QList<QQuickItem*> layers = window->contentItem()->childItems();
    const auto overlay = std::find_if(layers.cbegin(), layers.cend(), [](const QQuickItem* layer) {
        return qstrcmp(layer->metaObject()->className(), "QQuickOverlay") == 0;
    });
    if (overlay == layers.cend() || (*overlay)->isAncestorOf(item))
        return false;
    const QList<QQuickItem*> popups = (*overlay)->childItems();
    return std::any_of(popups.cbegin(), popups.cend(), [](const QQuickItem* popupItem) {
        const QObject* const popup = popupItem->parent();
        return popupItem->isVisible() && popup != nullptr && popup->property("modal").toBool();
    });
}

// What the item's `Accessible` attached object declares, or nothing.
QVariant declaredOf(const QQuickItem* item, const char* property)
{
    const QObject* const attached = accessibleAttached(item);
    return attached != nullptr ? attached->property(property) : QVariant();
}

// The nearest ancestor in the accessibility tree (one with an attached
// object), or the window, as Qt Quick's own tree has it.
QAccessibleInterface* accessibleParent(const QQuickItem* item)
{
    QQuickWindow* const window = item->window();
    for (QQuickItem* ancestor = item->parentItem(); ancestor != nullptr; ancestor = ancestor->parentItem()) {
        if (window != nullptr && ancestor == window->contentItem())
            return QAccessible::queryAccessibleInterface(window);
        if (accessibleAttached(ancestor) != nullptr)
            return QAccessible::queryAccessibleInterface(ancestor);
    }
    return window != nullptr ? QAccessible::queryAccessibleInterface(window) : nullptr;
}

QRect globalRect(const QQuickItem* item)
{
    const QQuickWindow* const window = item->window();
    if (window == nullptr)
        return {};
    const QRectF scene = item->mapRectToScene(QRectF(0, 0, item->width(), item->height()));
    return QRect(window->mapToGlobal(scene.topLeft().toPoint()), scene.size().toSize());
}

// A delegate's place in its table view, from the context the view made it
// in; (-1, -1) for an item that is no table's.
QPoint cellOf(const QQuickItem* item)
{
    const QQmlContext* const context = qmlContext(item);
    if (context == nullptr)
        return {-1, -1};
    const QVariant row = context->contextProperty(QStringLiteral("row"));
    const QVariant column = context->contextProperty(QStringLiteral("column"));
    return row.isValid() && column.isValid() ? QPoint(column.toInt(), row.toInt()) : QPoint(-1, -1);
}

// The table view (marked `accessibleTable`) an item lies in, if any.
QQuickItem* tableOf(const QQuickItem* item)
{
    for (QQuickItem* ancestor = item->parentItem(); ancestor != nullptr; ancestor = ancestor->parentItem()) {
        if (ancestor->property(kTableMarker).toBool())
            return ancestor;
    }
    return nullptr;
}

// The accessible items under `item`, the first met on each branch (an
// accessible item's own descendants are its business), ignored ones left out.
void collectAccessible(QQuickItem* item, QList<QQuickItem*>& found)
{
    for (QQuickItem* child : item->childItems()) {
        const QObject* const attached = accessibleAttached(child);
        if (attached == nullptr)
            collectAccessible(child, found);
        else if (!attached->property("ignored").toBool() && child->isVisible())
            found.append(child);
    }
}

// The accessible element of a table view's cell: the delegate itself, or
// the first accessible item in it (a row's check box).
QAccessibleInterface* cellInterface(QQuickItem* delegate)
{
    if (delegate == nullptr)
        return nullptr;
    if (accessibleAttached(delegate) != nullptr)
        return QAccessible::queryAccessibleInterface(delegate);
    QList<QQuickItem*> inside;
    collectAccessible(delegate, inside);
    return inside.isEmpty() ? nullptr : QAccessible::queryAccessibleInterface(inside.first());
}

QQuickItem* itemAtCell(QQuickItem* view, int row, int column)
{
    QQuickItem* found = nullptr;
    if (view != nullptr)
        QMetaObject::invokeMethod(view, "itemAtCell", Q_RETURN_ARG(QQuickItem*, found), Q_ARG(int, column),
                                  Q_ARG(int, row));
    return found;
}

// The header cell of a table view's column, from the header view in its
// `accessibleHeader` property.
QAccessibleInterface* headerCell(const QQuickItem* table, int column)
{
    const QVariant header = table != nullptr ? table->property("accessibleHeader") : QVariant();
    return cellInterface(itemAtCell(header.value<QQuickItem*>(), 0, column));
}

void tellStateChange(QObject* object, void (*mark)(QAccessible::State&))
{
    QAccessible::State changed;
    mark(changed);
    QAccessibleStateChangeEvent event(object, changed);
    QAccessible::updateAccessibility(&event);
}

// Tells assistive tools the state changes Qt Quick does not tell: enabled,
// a check box's part-checked state, and a declared focus (a table's row or
// header cell under the keyboard) as a focus event, the one screen readers
// follow. Owned by the item it watches.
class LeafWatcher : public QObject
{
    Q_OBJECT

public:
    explicit LeafWatcher(QQuickItem* item)
        : QObject(item)
        , m_checkState(item->property("checkState").toInt())
    {
        connect(item, &QQuickItem::enabledChanged, this, &LeafWatcher::enabledChanged);
        if (item->metaObject()->indexOfSignal("checkStateChanged()") >= 0)
            connect(item, SIGNAL(checkStateChanged()), this, SLOT(checkStateChanged()));
        // An interface made while the item's attached object is still being
        // made (Qt Quick asks for one then) finds it only afterwards, once
        // the item's bindings have given it its name.
        if (!watchAttached())
            QMetaObject::invokeMethod(this, &LeafWatcher::watchAttachedLate, Qt::QueuedConnection);
    }

private Q_SLOTS:
    bool watchAttached()
    {
        QObject* const attached = accessibleAttached(static_cast<QQuickItem*>(parent()));
        if (attached == nullptr)
            return false;
        if (attached->metaObject()->indexOfSignal("focusedChanged(bool)") >= 0)
            connect(attached, SIGNAL(focusedChanged(bool)), this, SLOT(focusedChanged(bool)), Qt::UniqueConnection);
        return true;
    }
    // A focus declared while the item was being made is told now.
    void watchAttachedLate()
    {
        if (watchAttached() && accessibleAttached(static_cast<QQuickItem*>(parent()))->property("focused").toBool())
            focusedChanged(true);
    }
    void enabledChanged()
    {
        tellStateChange(parent(), [](QAccessible::State& s) { s.disabled = true; });
    }
    // Qt Quick tells a change of checked; only a change into or out of the
    // part-checked state with checked unchanged is left to tell here, so
    // that a toggle is told once.
    void checkStateChanged()
    {
        const int was = m_checkState;
        m_checkState = parent()->property("checkState").toInt();
        const bool checkedChanged = (was == Qt::Checked) != (m_checkState == Qt::Checked);
        if (!checkedChanged && (was == Qt::PartiallyChecked) != (m_checkState == Qt::PartiallyChecked))
            tellStateChange(parent(), [](QAccessible::State& s) { s.checkStateMixed = true; });
    }
    // Qt Quick tells the state change; the focus event is ours.
    void focusedChanged(bool focused)
    {
        if (focused) {
            QAccessibleEvent event(parent(), QAccessible::Focus);
            QAccessible::updateAccessibility(&event);
        }
    }

private:
    int m_checkState;
};

class LeafAccessible : public QAccessibleObject, public QAccessibleActionInterface, public QAccessibleTableCellInterface
{
public:
    explicit LeafAccessible(QQuickItem* item)
        : QAccessibleObject(item)
    {
        if (item->findChild<LeafWatcher*>(QString(), Qt::FindDirectChildrenOnly) == nullptr)
            new LeafWatcher(item);
    }

    QWindow* window() const override { return item()->window(); }

    QAccessibleInterface* parent() const override { return accessibleParent(item()); }

    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }

    QString text(QAccessible::Text kind) const override
    {
        switch (kind) {
        case QAccessible::Name: {
            // Qt Quick's text fields overwrite a declared name with their
            // text when accessibility starts; they name themselves here.
            const QVariant own = item()->property("accessibleName");
            return own.isValid() ? own.toString() : declared("name").toString();
        }
        case QAccessible::Description:
            return declared("description").toString();
        default:
            return {};
        }
    }

    QAccessible::Role role() const override
    {
        const QVariant declaredRole = declared("role");
        return declaredRole.isValid() ? QAccessible::Role(declaredRole.toInt()) : QAccessible::Client;
    }

    QAccessible::State state() const override
    {
        QAccessible::State state;
        const QQuickItem* const it = item();
        // A control behind a modal popup cannot be reached; a status can
        // still be read.
        state.disabled = !it->isEnabled() || (role() != QAccessible::StatusBar && behindModalPopup(it));
        state.invisible = !it->isVisible() || it->window() == nullptr || !it->window()->isVisible();
        state.focusable = it->activeFocusOnTab() || declared("focusable").toBool();
        state.focused = it->hasActiveFocus() || declared("focused").toBool();
        state.busy = it->property("busy").toBool();
        state.passwordEdit = declared("passwordEdit").toBool();
        state.selectable = declared("selectable").toBool();
        state.selected = declared("selected").toBool();
        state.editable = role() == QAccessible::EditableText;
        if (role() == QAccessible::CheckBox) {
            state.checkable = true;
            // Qt Quick tells a toggle when `checked` has changed and before
            // `checkState` follows it.
            const int checkState = it->property("checkState").toInt();
            state.checked
                = it->property("checked").isValid() ? it->property("checked").toBool() : checkState == Qt::Checked;
            state.checkStateMixed = checkState == Qt::PartiallyChecked;
        }
        return state;
    }

    QRect rect() const override { return globalRect(item()); }

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ActionInterface)
            return static_cast<QAccessibleActionInterface*>(this);
        // A cell of a table that tells itself as one: its row and column.
        if (type == QAccessible::TableCellInterface && tableOf(item()) != nullptr && cellOf(item()).x() >= 0)
            return static_cast<QAccessibleTableCellInterface*>(this);
        return nullptr;
    }

    int rowIndex() const override { return cellOf(item()).y(); }
    int columnIndex() const override { return cellOf(item()).x(); }
    int rowExtent() const override { return 1; }
    int columnExtent() const override { return 1; }
    bool isSelected() const override { return declared("selected").toBool(); }
    QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
    QList<QAccessibleInterface*> columnHeaderCells() const override
    {
        QAccessibleInterface* const cell = headerCell(tableOf(item()), cellOf(item()).x());
        return cell != nullptr ? QList<QAccessibleInterface*>{cell} : QList<QAccessibleInterface*>{};
    }
    QAccessibleInterface* table() const override
    {
        QQuickItem* const view = tableOf(item());
        return view != nullptr ? QAccessible::queryAccessibleInterface(view) : nullptr;
    }

    QStringList actionNames() const override
    {
        switch (role()) {
        case QAccessible::CheckBox:
            return {toggleAction(), pressAction()};
        case QAccessible::Button:
        case QAccessible::Link:
        case QAccessible::ColumnHeader:
        case QAccessible::Cell:
            return {pressAction()};
        default:
            return {};
        }
    }

    void doAction(const QString& actionName) override
    {
        QObject* const attached = accessibleAttached(item());
        if (attached == nullptr || !item()->isEnabled() || !actionNames().contains(actionName))
            return;
        // The attached object's signals; the view's handlers do the work.
        QMetaObject::invokeMethod(attached, actionName == toggleAction() ? "toggleAction" : "pressAction");
    }

    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    QQuickItem* item() const { return static_cast<QQuickItem*>(object()); }

    QVariant declared(const char* property) const { return declaredOf(item(), property); }
};

// A table view that declares `accessibleTable: true`: a table to assistive
// tools, with rows, columns, its cells (the accessible item of each
// delegate, itself a table cell) and the column headers of the header view
// in its `accessibleHeader` property. Selection is not a table's here: a
// row is checked, not selected.
class TableAccessible : public QAccessibleObject, public QAccessibleTableInterface
{
public:
    explicit TableAccessible(QQuickItem* item)
        : QAccessibleObject(item)
    {
    }

    QWindow* window() const override { return view()->window(); }
    QAccessibleInterface* parent() const override { return accessibleParent(view()); }

    // The cells row by row, left to right, found by their place (as Qt's
    // own tables do): a screen reader walking them asks for each in turn. A
    // cell the view has not made (scrolled far out) is none.
    QAccessibleInterface* child(int index) const override
    {
        const int columns = columnCount();
        return index >= 0 && index < childCount() ? cellAt(index / columns, index % columns) : nullptr;
    }
    int childCount() const override { return rowCount() * columnCount(); }
    int indexOfChild(const QAccessibleInterface* child) const override
    {
        const auto* const item = child != nullptr ? qobject_cast<const QQuickItem*>(child->object()) : nullptr;
        if (item == nullptr || tableOf(item) != view())
            return -1;
        const QPoint cell = cellOf(item);
        return cell.x() >= 0 ? cell.y() * columnCount() + cell.x() : -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override
    {
        for (QQuickItem* cell : children()) {
            if (globalRect(cell).contains(x, y))
                return QAccessible::queryAccessibleInterface(cell);
        }
        return nullptr;
    }

    QString text(QAccessible::Text kind) const override
    {
        return kind == QAccessible::Name          ? declared("name").toString()
               : kind == QAccessible::Description ? declared("description").toString()
                                                  : QString();
    }
    QAccessible::Role role() const override { return QAccessible::Table; }
    QAccessible::State state() const override
    {
        QAccessible::State state;
        state.disabled = !view()->isEnabled();
        state.invisible = !view()->isVisible();
        state.focusable = view()->activeFocusOnTab();
        state.focused = view()->hasActiveFocus();
        return state;
    }
    QRect rect() const override { return globalRect(view()); }

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        return type == QAccessible::TableInterface ? static_cast<QAccessibleTableInterface*>(this) : nullptr;
    }

    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    QAccessibleInterface* cellAt(int row, int column) const override
    {
        return cellInterface(itemAtCell(view(), row, column));
    }
    int rowCount() const override { return view()->property("rows").toInt(); }
    int columnCount() const override { return view()->property("columns").toInt(); }
    QString columnDescription(int column) const override
    {
        const QAccessibleInterface* const header = headerCell(view(), column);
        return header != nullptr ? header->text(QAccessible::Name) : QString();
    }
    QString rowDescription(int) const override { return {}; }
    int selectedCellCount() const override { return 0; }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override { return 0; }
    QList<QAccessibleInterface*> selectedCells() const override { return {}; }
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override { return {}; }
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int) const override { return false; }
    bool selectRow(int) override { return false; }
    bool selectColumn(int) override { return false; }
    bool unselectRow(int) override { return false; }
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent*) override { }

private:
    QQuickItem* view() const { return static_cast<QQuickItem*>(object()); }

    QVariant declared(const char* property) const { return declaredOf(view(), property); }

    // The cells made now.
    QList<QQuickItem*> children() const
    {
        QList<QQuickItem*> cells;
        auto* const content = view()->property("contentItem").value<QQuickItem*>();
        collectAccessible(content != nullptr ? content : view(), cells);
        return cells;
    }
};

QAccessibleInterface* leafFactory(const QString&, QObject* object)
{
    auto* const item = qobject_cast<QQuickItem*>(object);
    if (item == nullptr)
        return nullptr;
    if (item->property(kLeafMarker).toBool())
        return new LeafAccessible(item);
    if (item->property(kTableMarker).toBool())
        return new TableAccessible(item);
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
    tellStateChange(this, [](QAccessible::State& s) { s.busy = true; });
}

void BusyStatus::setText(const QString& text)
{
    if (text == m_text)
        return;
    m_text = text;
    Q_EMIT textChanged();
}

namespace Views {

void endAccessibility()
{
    if (QPlatformAccessibility* const platform = QGuiApplicationPrivate::platformIntegration()->accessibility())
        platform->setActive(false);
}

void registerTypes()
{
    qmlRegisterType<BusyStatus>("CorvaneViews", 1, 0, "BusyStatus");
    qmlRegisterType<KeyboardUse>("CorvaneViews", 1, 0, "KeyboardUse");
    qmlRegisterType<WindowMemory>("CorvaneViews", 1, 0, "WindowMemory");
    qmlRegisterSingletonType<DesktopLook>("CorvaneViews", 1, 0, "DesktopLook",
                                          [](QQmlEngine*, QJSEngine*) -> QObject* { return new DesktopLook; });
    QAccessible::installFactory(leafFactory);
}

} // namespace Views

#include "Accessibility.moc"
