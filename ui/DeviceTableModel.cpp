#include "DeviceTableModel.h"

#include "Logger.h"
#include "Services.h"

#include <algorithm>
#include <utility>

namespace {

// The device parameter behind each property column.
DeviceParameter parameterOfColumn(int column, bool& ok)
{
    ok = true;
    switch (column) {
    case DeviceTableModel::Model:
        return DeviceParameter::ModelName;
    case DeviceTableModel::HostName:
        return DeviceParameter::HostName;
    case DeviceTableModel::Version:
        return DeviceParameter::Version;
    case DeviceTableModel::IpAddress:
        return DeviceParameter::IpAddress;
    case DeviceTableModel::MacAddress:
        return DeviceParameter::DeviceId;
    case DeviceTableModel::SubnetMask:
        return DeviceParameter::SubnetMask;
    case DeviceTableModel::Status:
        return DeviceParameter::AllDeviceStatus;
    default:
        ok = false;
        return DeviceParameter::DeviceId;
    }
}

// The columns whose text a parameter change can alter, in repaint order.
QList<int> columnsOfParameter(DeviceParameter type)
{
    // The status board, and the connection that the status text reads too.
    if (isDeviceStatus(type) || type == DeviceParameter::ConnectionStatus || type == DeviceParameter::AllDeviceStatus)
        return {DeviceTableModel::Status};
    switch (type) {
    case DeviceParameter::DeviceId:
        return {DeviceTableModel::MacAddress};
    case DeviceParameter::HostName:
        return {DeviceTableModel::HostName};
    case DeviceParameter::ModelName:
        return {DeviceTableModel::Model};
    case DeviceParameter::Version:
        return {DeviceTableModel::Version};
    case DeviceParameter::AllNetworkSettings:
        return {DeviceTableModel::IpAddress, DeviceTableModel::SubnetMask};
    case DeviceParameter::IpAddress:
        return {DeviceTableModel::IpAddress};
    case DeviceParameter::SubnetMask:
        return {DeviceTableModel::SubnetMask};
    default:
        return {};
    }
}

} // namespace

DeviceTableModel::DeviceTableModel(QObject* parent)
    : DeviceTableModel(*Services::process().facade, parent)
{
}

DeviceTableModel::DeviceTableModel(DeviceFacade& facade, QObject* parent)
    : QAbstractTableModel(parent)
    , m_facade(&facade)
    , m_headerTitles{{Model, QStringLiteral("Model")},
                     {HostName, QStringLiteral("Host Name")},
                     {Version, QStringLiteral("Version")},
                     {IpAddress, QStringLiteral("IP Address")},
                     {MacAddress, QStringLiteral("MAC Address")},
                     {SubnetMask, QStringLiteral("Subnet Mask")},
                     {Status, QStringLiteral("Status")}}
{
    connect(this, &DeviceTableModel::checkedDeviceIdsChanged, this, &DeviceTableModel::allCheckStateChanged);
    connect(this, &DeviceTableModel::checkedDeviceIdsChanged, this, &DeviceTableModel::noteCounts);
    connect(m_facade, &DeviceFacade::deviceIDsChanged, this, &DeviceTableModel::onChangedDeviceActivity);
    connect(m_facade, &DeviceFacade::deviceTableFull, this, [this] {
        if (m_listFull)
            return;
        m_listFull = true;
        Q_EMIT limitNoticeChanged();
    });
    // How many are listed, for the log: at most one line a tenth of a
    // second, however fast devices come.
    m_countLog.setSingleShot(true);
    m_countLog.setInterval(100);
    connect(&m_countLog, &QTimer::timeout, this, [this] {
        CORVANE_LOG(QStringLiteral("device list: %1 devices, %2 shown").arg(m_allRows.size()).arg(m_rows.size()));
    });
    // Devices registered before this model existed are listed at once; their
    // activity reports went out before anyone listened. Connected first, so a
    // report queued meanwhile only moves or removes a row that is already here.
    for (const QString& id : m_facade->deviceIDs()) {
        if (watchRecord(id) && !m_searchText.contains(id)) {
            m_allRows.append(id);
            m_searchText.insert(id, searchTextOf(id));
        }
    }
    m_rows = m_allRows;
    m_shown = QSet<QString>(m_rows.cbegin(), m_rows.cend());
    noteCounts();
}

DeviceTableModel::~DeviceTableModel()
{
    for (const QMetaObject::Connection& connection : std::as_const(m_rowConnections))
        disconnect(connection);
}

int DeviceTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int DeviceTableModel::columnCount(const QModelIndex&) const
{
    return NumberOfDeviceParameterType;
}

QHash<int, QByteArray> DeviceTableModel::roleNames() const
{
    return {{Qt::DisplayRole, "display"},
            {Qt::CheckStateRole, "checkState"},
            {LoginRequiredRole, "loginRequired"},
            {RowDescriptionRole, "rowDescription"},
            {DeviceNameRole, "deviceName"}};
}

QVariant DeviceTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section > Status)
        return QVariant();
    if (role != Qt::DisplayRole)
        return QString();
    return m_headerTitles.value(section, QString());
}

QVariant DeviceTableModel::cellValue(const QString& id, int column) const
{
    bool ok = false;
    const DeviceParameter parameter = parameterOfColumn(column, ok);
    if (!ok)
        return QVariant();
    QVariant value;
    if (!m_facade->getDeviceParameter(id, parameter, value, DeviceFindPolicy::ById))
        return QVariant();
    if (column == Status)
        return value.toMap().value(QString::fromLatin1(DeviceDataKey::StatusMessage));
    return value;
}

QVariant DeviceTableModel::loginRequired(const QString& id) const
{
    QVariant loggedIn;
    QVariant connection;
    if (!m_facade->getDeviceParameter(id, DeviceParameter::LoggedInStatus, loggedIn, DeviceFindPolicy::ById)
        || !m_facade->getDeviceParameter(id, DeviceParameter::ConnectionStatus, connection, DeviceFindPolicy::ById))
        return QVariant();
    // Only a device discovery sees (status 1) offers the login link.
    return !loggedIn.toBool() && connection.toInt() == toInt(ConnectionStatus::Active);
}

QString DeviceTableModel::rowDescription(const QString& id) const
{
    return QStringList{cellValue(id, HostName).toString(), cellValue(id, IpAddress).toString(),
                       cellValue(id, Status).toString()}
        .join(QStringLiteral(", "));
}

QVariant DeviceTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= m_rows.size())
        return QVariant();
    const QString& id = m_rows.at(index.row());
    switch (role) {
    case Qt::CheckStateRole:
        return m_checkedDeviceIds.contains(id);
    case LoginRequiredRole:
        return loginRequired(id);
    case RowDescriptionRole:
        return index.column() == Check ? QVariant(rowDescription(id)) : QVariant();
    case DeviceNameRole:
        return index.column() == Status
                   ? QVariant(QStringList{cellValue(id, HostName).toString(), cellValue(id, IpAddress).toString()}.join(
                       QStringLiteral(", ")))
                   : QVariant();
    case Qt::DisplayRole:
        return cellValue(id, index.column());
    default:
        return QVariant();
    }
}

QStringList DeviceTableModel::checkedDeviceIds() const
{
    return m_checkedDeviceIds;
}

void DeviceTableModel::setCheckedDeviceIds(const QStringList& ids)
{
    if (ids == m_checkedDeviceIds)
        return;
    m_checkedDeviceIds = ids;
    Q_EMIT checkedDeviceIdsChanged();
    if (!m_rows.isEmpty())
        Q_EMIT dataChanged(index(0, Check), index(rowCount() - 1, Check), {Qt::CheckStateRole});
}

QString DeviceTableModel::getSortedDeviceId(int row) const
{
    return (row >= 0 && row < m_rows.size()) ? m_rows.at(row) : QString();
}

void DeviceTableModel::changeDeviceCheckStatus(int row)
{
    const QString id = getSortedDeviceId(row);
    if (id.isEmpty())
        return;
    const qsizetype at = m_checkedDeviceIds.indexOf(id);
    if (at >= 0)
        m_checkedDeviceIds.removeAt(at);
    else
        m_checkedDeviceIds.append(id);
    Q_EMIT checkedDeviceIdsChanged();
    const QModelIndex cell = index(row, Check);
    Q_EMIT dataChanged(cell, cell, {Qt::CheckStateRole});
}

void DeviceTableModel::changeDeviceAllCheckStatus()
{
    // Counts decide, not the ids: anything short of "all" becomes "all".
    // With a filter, "all" is every shown row; the hidden checked devices
    // stay as they are.
    if (!filtering()) {
        if (m_checkedDeviceIds.size() != m_rows.size())
            m_checkedDeviceIds = m_rows;
        else
            m_checkedDeviceIds.clear();
    } else {
        QStringList hidden;
        for (const QString& id : std::as_const(m_checkedDeviceIds)) {
            if (!m_shown.contains(id))
                hidden.append(id);
        }
        const bool allShown = m_checkedDeviceIds.size() - hidden.size() == m_rows.size();
        m_checkedDeviceIds = allShown ? hidden : hidden + m_rows;
    }
    Q_EMIT checkedDeviceIdsChanged();
    if (!m_rows.isEmpty())
        Q_EMIT dataChanged(index(0, Check), index(rowCount() - 1, Check), {Qt::CheckStateRole});
}

Qt::CheckState DeviceTableModel::getAllCheckState() const
{
    qsizetype checked = m_checkedDeviceIds.size();
    if (filtering()) {
        checked = std::count_if(m_checkedDeviceIds.cbegin(), m_checkedDeviceIds.cend(),
                                [this](const QString& id) { return m_shown.contains(id); });
    }
    if (checked == 0)
        return Qt::Unchecked;
    return checked == m_rows.size() ? Qt::Checked : Qt::PartiallyChecked;
}

int DeviceTableModel::hiddenCheckedCount() const
{
    return int(std::count_if(m_checkedDeviceIds.cbegin(), m_checkedDeviceIds.cend(),
                             [this](const QString& id) { return !m_shown.contains(id) && m_searchText.contains(id); }));
}

QString DeviceTableModel::countText() const
{
    const int listed = deviceCount();
    QString text = filtering() ? QStringLiteral("%1 of %2 devices shown").arg(m_rows.size()).arg(listed)
                               : (listed == 1 ? QStringLiteral("1 device") : QStringLiteral("%1 devices").arg(listed));
    const int checked = int(std::count_if(m_checkedDeviceIds.cbegin(), m_checkedDeviceIds.cend(),
                                          [this](const QString& id) { return m_searchText.contains(id); }));
    if (checked > 0)
        text += QStringLiteral(", %1 checked").arg(checked);
    // A batch takes every checked device: those out of sight are said.
    if (const int hidden = hiddenCheckedCount(); hidden > 0)
        text += QStringLiteral(", %1 of them hidden").arg(hidden);
    return text;
}

QString DeviceTableModel::limitNotice() const
{
    if (!m_listFull)
        return QString();
    const int capacity = m_facade->maxDevices();
    QString text = QStringLiteral("Device list full at %1 devices; devices past it are not listed.").arg(capacity);
    if (capacity < DeviceFacade::kOperatorMostDevices)
        text += QStringLiteral(" Start Corvane with --max-devices %1 to list more.")
                    .arg(DeviceFacade::kOperatorMostDevices);
    return text;
}

int DeviceTableModel::rowStartingWith(const QString& text, int from) const
{
    const int rows = rowCount();
    if (text.isEmpty() || rows == 0)
        return -1;
    const int start = ((from % rows) + rows) % rows;
    for (int i = 0; i < rows; ++i) {
        const int row = (start + i) % rows;
        if (cellValue(m_rows.at(row), HostName).toString().startsWith(text, Qt::CaseInsensitive))
            return row;
    }
    return -1;
}

QString DeviceTableModel::searchTextOf(const QString& id) const
{
    QStringList cells;
    for (int column = Model; column <= Status; ++column) {
        if (column != SubnetMask)
            cells.append(cellValue(id, column).toString());
    }
    // One cell per line, so that a match never spans two cells.
    return cells.join(QLatin1Char('\n')).toCaseFolded();
}

bool DeviceTableModel::matches(const QString& id) const
{
    return !filtering() || m_searchText.value(id).contains(m_filterFolded);
}

void DeviceTableModel::setFilterText(const QString& text)
{
    if (text == m_filterText)
        return;
    m_filterText = text;
    m_filterFolded = text.trimmed().toCaseFolded();
    refilter();
    Q_EMIT filterTextChanged();
    Q_EMIT allCheckStateChanged();
}

void DeviceTableModel::refilter()
{
    QStringList shown;
    shown.reserve(m_allRows.size());
    for (const QString& id : std::as_const(m_allRows)) {
        if (matches(id))
            shown.append(id);
    }
    if (shown != m_rows) {
        beginResetModel();
        m_rows = shown;
        m_shown = QSet<QString>(m_rows.cbegin(), m_rows.cend());
        endResetModel();
    }
    noteCounts();
}

void DeviceTableModel::refilterOne(const QString& id)
{
    const bool match = matches(id);
    if (match == m_shown.contains(id))
        return;
    if (!match) {
        const int row = int(m_rows.indexOf(id));
        beginRemoveRows(QModelIndex(), row, row);
        m_rows.removeAt(row);
        m_shown.remove(id);
        endRemoveRows();
    } else {
        // Its place among the shown rows follows the table's order.
        int row = 0;
        for (const QString& other : std::as_const(m_allRows)) {
            if (other == id)
                break;
            row += m_shown.contains(other) ? 1 : 0;
        }
        beginInsertRows(QModelIndex(), row, row);
        m_rows.insert(row, id);
        m_shown.insert(id);
        endInsertRows();
    }
    Q_EMIT allCheckStateChanged();
    noteCounts();
}

void DeviceTableModel::noteCounts()
{
    const QList<int> counts{int(m_allRows.size()), int(m_rows.size()), int(m_checkedDeviceIds.size()),
                            hiddenCheckedCount()};
    if (counts == m_counts)
        return;
    m_counts = counts;
    if (m_listFull && m_allRows.isEmpty()) {
        m_listFull = false; // another interface, another count
        Q_EMIT limitNoticeChanged();
    }
    if (!m_countLog.isActive())
        m_countLog.start();
    Q_EMIT countsChanged();
}

QStringList DeviceTableModel::getCheckedUnloggedInDeviceIds() const
{
    QStringList ids;
    for (const QString& id : m_checkedDeviceIds) {
        QVariant loggedIn;
        if (m_facade->getDeviceParameter(id, DeviceParameter::LoggedInStatus, loggedIn, DeviceFindPolicy::ById)
            && !loggedIn.toBool())
            ids.append(id);
    }
    return ids;
}

int DeviceTableModel::getSortColumn() const
{
    return m_sortColumn;
}

Qt::SortOrder DeviceTableModel::getSortOrder() const
{
    return m_sortOrder;
}

void DeviceTableModel::sort(int column, Qt::SortOrder)
{
    if (column == m_sortColumn) {
        m_sortOrder = (m_sortOrder == Qt::AscendingOrder) ? Qt::DescendingOrder : Qt::AscendingOrder;
    } else {
        m_sortColumn = column;
        m_sortOrder = Qt::AscendingOrder;
    }

    // Plain text order (10.0.0.10 before 10.0.0.9), ties by id, all by
    // UTF-16 code units with case distinguished. Only the listed rows take
    // part: sorting reorders, it never adds or drops a device.
    // Hidden devices are sorted too, so that a wider filter shows them in
    // their place.
    std::vector<std::pair<QString, QString>> keyed;
    keyed.reserve(static_cast<std::size_t>(m_allRows.size()));
    for (const QString& id : std::as_const(m_allRows))
        keyed.emplace_back(cellValue(id, m_sortColumn).toString(), id);
    std::sort(keyed.begin(), keyed.end());
    if (m_sortOrder == Qt::DescendingOrder)
        std::reverse(keyed.begin(), keyed.end());

    m_allRows.clear();
    QStringList sorted;
    sorted.reserve(m_rows.size());
    QHash<QString, int> newRowOf;
    for (const auto& entry : keyed) {
        m_allRows.append(entry.second);
        if (!m_shown.contains(entry.second))
            continue;
        newRowOf.insert(entry.second, static_cast<int>(sorted.size()));
        sorted.append(entry.second);
    }
    if (sorted != m_rows) {
        // Selections and other persistent indexes follow their devices.
        Q_EMIT layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
        const QModelIndexList before = persistentIndexList();
        QModelIndexList after;
        after.reserve(before.size());
        for (const QModelIndex& old : before)
            after.append(index(newRowOf.value(m_rows.at(old.row())), old.column()));
        m_rows = sorted;
        changePersistentIndexList(before, after);
        Q_EMIT layoutChanged({}, QAbstractItemModel::VerticalSortHint);
    }

    if (!m_rows.isEmpty()) {
        const int last = rowCount() - 1;
        Q_EMIT dataChanged(index(0, Model), index(last, Status), {Qt::DisplayRole, LoginRequiredRole, DeviceNameRole});
        Q_EMIT dataChanged(index(0, Check), index(last, Check), {Qt::CheckStateRole, RowDescriptionRole});
    }
    Q_EMIT sortColumnChanged();
    Q_EMIT sortOrderChanged();
}

void DeviceTableModel::onChangedDeviceActivity(std::list<DeviceActivity> changedDeviceActivities)
{
    for (const DeviceActivity& activity : changedDeviceActivities) {
        if (activity.kind == DeviceActivity::Added)
            activate(activity.deviceId);
        else
            inactivate(activity.deviceId);
    }
}

void DeviceTableModel::onParameterChanged(QString deviceId, DeviceParameter type)
{
    if (!m_searchText.contains(deviceId))
        return;
    const QList<int> columns = columnsOfParameter(type);
    if (!columns.isEmpty()) {
        m_searchText.insert(deviceId, searchTextOf(deviceId));
        if (filtering())
            refilterOne(deviceId);
    }
    followWork(deviceId, true);
    const qsizetype row = m_shown.contains(deviceId) ? m_rows.indexOf(deviceId) : -1;
    if (type == DeviceParameter::IdentityChanged)
        followIdentity(deviceId);
    if (row < 0)
        return;
    bool describedColumn = false;
    bool namingColumn = false;
    for (const int column : columns) {
        const QModelIndex cell = index(static_cast<int>(row), column);
        Q_EMIT dataChanged(cell, cell, {Qt::DisplayRole, LoginRequiredRole});
        namingColumn = namingColumn || column == HostName || column == IpAddress;
        describedColumn = describedColumn || namingColumn || column == Status;
    }
    if (describedColumn) {
        const QModelIndex check = index(static_cast<int>(row), Check);
        Q_EMIT dataChanged(check, check, {RowDescriptionRole});
    }
    if (namingColumn) {
        const QModelIndex status = index(static_cast<int>(row), Status);
        Q_EMIT dataChanged(status, status, {DeviceNameRole});
    }
}

bool DeviceTableModel::watchRecord(const QString& id)
{
    std::shared_ptr<DeviceData> record;
    if (!m_facade->getDeviceData(id, record))
        return false;
    if (!m_rowConnections.contains(id))
        m_rowConnections.insert(
            id, connect(record.get(), &DeviceData::dataChanged, this, &DeviceTableModel::onParameterChanged));
    return true;
}

void DeviceTableModel::activate(const QString& id)
{
    if (!watchRecord(id))
        return;
    if (m_checkedDeviceIds.removeAll(id) > 0)
        Q_EMIT checkedDeviceIdsChanged();
    // A row that is already listed (a device removed and added again within
    // one activity list) is not listed twice.
    m_searchText.insert(id, searchTextOf(id));
    const bool shown = matches(id);
    // A device the filter hides changes no row.
    if (!filtering() || shown || m_shown.contains(id)) {
        beginResetModel();
        m_rows.removeAll(id);
        m_shown.remove(id);
        if (shown) {
            m_rows.append(id);
            m_shown.insert(id);
        }
        endResetModel();
    }
    m_allRows.removeAll(id);
    m_allRows.append(id);
    noteCounts();
    followWork(id, true);
}

void DeviceTableModel::followIdentity(const QString& id)
{
    QVariant changed;
    m_facade->getDeviceParameter(id, DeviceParameter::IdentityChanged, changed, DeviceFindPolicy::ById);
    if (!changed.toBool()) {
        m_identityChanged.remove(id);
        return;
    }
    if (m_identityChanged.contains(id))
        return;
    m_identityChanged.insert(id);
    Q_EMIT deviceReported(QStringLiteral("%1, %2: Identity changed: it shows another key than the one pinned for it; "
                                         "nothing is sent to it")
                              .arg(cellValue(id, HostName).toString(), cellValue(id, IpAddress).toString()));
}

void DeviceTableModel::followWork(const QString& id, bool listed)
{
    QVariant status;
    const bool known
        = listed && m_facade->getDeviceParameter(id, DeviceParameter::AllDeviceStatus, status, DeviceFindPolicy::ById);
    const QVariantMap record = status.toMap();
    const bool underWay = known && record.value(QString::fromLatin1(DeviceDataKey::OperationUnderWay)).toBool();
    if (underWay == m_underWay.contains(id))
        return;
    if (underWay) {
        m_underWay.insert(id);
    } else {
        m_underWay.remove(id);
        if (listed)
            Q_EMIT deviceReported(
                QStringLiteral("%1, %2: %3")
                    .arg(cellValue(id, HostName).toString(), cellValue(id, IpAddress).toString(),
                         record.value(QString::fromLatin1(DeviceDataKey::OperationOutcome)).toString()));
    }
    Q_EMIT devicesUnderWayChanged();
}

void DeviceTableModel::inactivate(const QString& id)
{
    followWork(id, false);
    const auto connection = m_rowConnections.find(id);
    if (connection != m_rowConnections.end()) {
        disconnect(connection.value());
        m_rowConnections.erase(connection);
    }
    if (m_checkedDeviceIds.removeAll(id) > 0)
        Q_EMIT checkedDeviceIdsChanged();
    m_searchText.remove(id);
    m_allRows.removeAll(id);
    if (!filtering() || m_shown.contains(id)) {
        beginResetModel();
        m_rows.removeAll(id);
        m_shown.remove(id);
        endResetModel();
    }
    noteCounts();
}
