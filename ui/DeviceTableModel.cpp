#include "DeviceTableModel.h"

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
    connect(m_facade, &DeviceFacade::deviceIDsChanged, this, &DeviceTableModel::onChangedDeviceActivity);
    // Devices registered before this model existed are listed at once; their
    // activity reports went out before anyone listened. Connected first, so a
    // report queued meanwhile only moves or removes a row that is already here.
    for (const QString& id : m_facade->deviceIDs()) {
        if (watchRecord(id) && !m_rows.contains(id))
            m_rows.append(id);
    }
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
    if (m_checkedDeviceIds.size() != m_rows.size())
        m_checkedDeviceIds = m_rows;
    else
        m_checkedDeviceIds.clear();
    Q_EMIT checkedDeviceIdsChanged();
    if (!m_rows.isEmpty())
        Q_EMIT dataChanged(index(0, Check), index(rowCount() - 1, Check), {Qt::CheckStateRole});
}

Qt::CheckState DeviceTableModel::getAllCheckState() const
{
    if (m_checkedDeviceIds.isEmpty())
        return Qt::Unchecked;
    return m_checkedDeviceIds.size() == m_rows.size() ? Qt::Checked : Qt::PartiallyChecked;
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
    std::vector<std::pair<QString, QString>> keyed;
    keyed.reserve(static_cast<std::size_t>(m_rows.size()));
    for (const QString& id : std::as_const(m_rows))
        keyed.emplace_back(cellValue(id, m_sortColumn).toString(), id);
    std::sort(keyed.begin(), keyed.end());
    if (m_sortOrder == Qt::DescendingOrder)
        std::reverse(keyed.begin(), keyed.end());

    QStringList sorted;
    sorted.reserve(m_rows.size());
    QHash<QString, int> newRowOf;
    for (const auto& entry : keyed) {
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
    const qsizetype row = m_rows.indexOf(deviceId);
    if (row < 0)
        return;
    followWork(deviceId, true);
    if (type == DeviceParameter::IdentityChanged)
        followIdentity(deviceId);
    bool describedColumn = false;
    bool namingColumn = false;
    for (const int column : columnsOfParameter(type)) {
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
    beginResetModel();
    m_rows.removeAll(id);
    m_rows.append(id);
    endResetModel();
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
    beginResetModel();
    m_rows.removeAll(id);
    endResetModel();
}
