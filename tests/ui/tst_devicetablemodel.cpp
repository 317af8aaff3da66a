#include "DeviceTableModel.h"

#include <QAbstractItemModelTester>
#include <QItemSelectionModel>
#include <QSignalSpy>
#include <QTest>

namespace {

// A facade of the test's own: the registry and its notices, no discovery
// tasks behind it.
DeviceFacade& facade()
{
    static DeviceFacade own;
    return own;
}

QStringList rowsOf(const DeviceTableModel& model)
{
    QStringList rows;
    for (int row = 0; row < model.rowCount(); ++row)
        rows.append(model.getSortedDeviceId(row));
    return rows;
}

struct Cell
{
    int row;
    int column;
    QList<int> roles;
    bool operator==(const Cell& other) const
    {
        return row == other.row && column == other.column && roles == other.roles;
    }
};

QList<Cell> cellsOf(const QSignalSpy& spy)
{
    QList<Cell> cells;
    for (const QList<QVariant>& arguments : spy) {
        const QModelIndex from = arguments.at(0).toModelIndex();
        const QModelIndex to = arguments.at(1).toModelIndex();
        // A range where a single cell was expected shows up as a bogus cell.
        if (from != to)
            cells.append({-1, -1, {}});
        else
            cells.append({from.row(), from.column(), arguments.at(2).value<QList<int>>()});
    }
    return cells;
}

} // namespace

class TestDeviceTableModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { facade().removeAllDevices(); }

    void rowsFollowTheFacade()
    {
        DeviceTableModel model(facade());
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(model.rowCount(), 0);
        QCOMPARE(model.columnCount(), 8);
        QCOMPARE(model.getAllCheckState(), Qt::Unchecked);

        facade().activateDevice("10.0.0.2", "TQ-730", "Desk", "02:00:00:00:00:02");
        facade().activateDevice("10.0.0.10", "TQ-360", "Hall", "02:00:00:00:00:01");
        QCOMPARE(rowsOf(model), (QStringList{"02:00:00:00:00:02", "02:00:00:00:00:01"}));
        QCOMPARE(model.data(model.index(0, DeviceTableModel::Model)).toString(), QStringLiteral("TQ-730"));
        QCOMPARE(model.data(model.index(0, DeviceTableModel::HostName)).toString(), QStringLiteral("Desk"));
        QCOMPARE(model.data(model.index(0, DeviceTableModel::IpAddress)).toString(), QStringLiteral("10.0.0.2"));
        QCOMPARE(model.data(model.index(0, DeviceTableModel::MacAddress)).toString(),
                 QStringLiteral("02:00:00:00:00:02"));
        QCOMPARE(model.data(model.index(0, DeviceTableModel::Status)).toString(), QStringLiteral("Login required"));
        QVERIFY(!model.data(model.index(0, DeviceTableModel::Check)).isValid());
        QCOMPARE(model.data(model.index(0, 0), Qt::CheckStateRole), QVariant(false));
        QCOMPARE(model.data(model.index(0, 0), DeviceTableModel::LoginRequiredRole), QVariant(true));
        QCOMPARE(model.data(model.index(0, 0), DeviceTableModel::RowDescriptionRole),
                 QVariant(QStringLiteral("Desk, 10.0.0.2, Login required")));
        QVERIFY(!model.data(model.index(0, 1), DeviceTableModel::RowDescriptionRole).isValid());
        QVERIFY(!model.data(model.index(0, 0), Qt::ToolTipRole).isValid());
        QVERIFY(!model.data(model.index(2, 1)).isValid());
        QCOMPARE(model.getSortedDeviceId(-1), QString());
        QCOMPARE(model.getSortedDeviceId(2), QString());

        const QHash<int, QByteArray> roles = model.roleNames();
        QCOMPARE(roles.size(), 5);
        QCOMPARE(roles.value(0), QByteArray("display"));
        QCOMPARE(roles.value(10), QByteArray("checkState"));
        QCOMPARE(roles.value(256), QByteArray("loginRequired"));
        QCOMPARE(roles.value(257), QByteArray("rowDescription"));
        QCOMPARE(roles.value(258), QByteArray("deviceName"));

        QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QString());
        QCOMPARE(model.headerData(2, Qt::Horizontal).toString(), QStringLiteral("Host Name"));
        QCOMPARE(model.headerData(7, Qt::Horizontal).toString(), QStringLiteral("Status"));
        QCOMPARE(model.headerData(2, Qt::Horizontal, Qt::ToolTipRole), QVariant(QString()));
        QVERIFY(!model.headerData(8, Qt::Horizontal).isValid());
        QVERIFY(!model.headerData(3, Qt::Vertical).isValid());

        facade().removeAllDevices();
        QCOMPARE(model.rowCount(), 0);
    }

    void loginLinkOnlyForDevicesDiscoverySees()
    {
        DeviceTableModel model(facade());
        const QString id = "02:00:00:00:00:03";
        facade().activateDevice("10.0.0.3", "TQ-730", "Desk", id);
        const QModelIndex cell = model.index(0, 0);
        QCOMPARE(model.data(cell, DeviceTableModel::LoginRequiredRole), QVariant(true));
        facade().onConnectedDeviceNotification(id, 60010);
        QCOMPARE(model.data(cell, DeviceTableModel::LoginRequiredRole), QVariant(false));
        facade().setDeviceParameter(id, DeviceParameter::ConnectionStatus, 1, DeviceFindPolicy::ById);
        facade().setDeviceParameter(id, DeviceParameter::LoggedInStatus, true, DeviceFindPolicy::ById);
        QCOMPARE(model.data(cell, DeviceTableModel::LoginRequiredRole), QVariant(false));
        QCOMPARE(model.getCheckedUnloggedInDeviceIds(), QStringList());
    }

    void checking()
    {
        DeviceTableModel model(facade());
        QSignalSpy checkedChanged(&model, &DeviceTableModel::checkedDeviceIdsChanged);
        QSignalSpy allChanged(&model, &DeviceTableModel::allCheckStateChanged);
        // With no rows: nothing to check, but the change is still announced.
        model.changeDeviceAllCheckStatus();
        QCOMPARE(model.checkedDeviceIds(), QStringList());
        QCOMPARE(checkedChanged.size(), 1);
        QCOMPARE(allChanged.size(), 1);

        for (int i = 1; i <= 3; ++i)
            facade().activateDevice(QStringLiteral("10.0.0.%1").arg(i), "TQ-730", "D",
                                    QStringLiteral("02:00:00:00:00:0%1").arg(i));
        QSignalSpy cells(&model, &QAbstractItemModel::dataChanged);
        model.changeDeviceCheckStatus(1);
        QCOMPARE(model.checkedDeviceIds(), QStringList{"02:00:00:00:00:02"});
        QCOMPARE(model.getAllCheckState(), Qt::PartiallyChecked);
        QCOMPARE(cellsOf(cells), (QList<Cell>{{1, 0, {Qt::CheckStateRole}}}));
        QCOMPARE(model.getCheckedUnloggedInDeviceIds(), QStringList{"02:00:00:00:00:02"});

        model.changeDeviceAllCheckStatus();
        QCOMPARE(model.checkedDeviceIds(),
                 (QStringList{"02:00:00:00:00:01", "02:00:00:00:00:02", "02:00:00:00:00:03"}));
        QCOMPARE(model.getAllCheckState(), Qt::Checked);
        model.changeDeviceAllCheckStatus();
        QCOMPARE(model.checkedDeviceIds(), QStringList());

        const int before = static_cast<int>(checkedChanged.size());
        model.changeDeviceCheckStatus(3);
        model.changeDeviceCheckStatus(-1);
        QCOMPARE(checkedChanged.size(), before);

        // Writing an equal list announces nothing.
        model.setCheckedDeviceIds({"02:00:00:00:00:03"});
        QCOMPARE(checkedChanged.size(), before + 1);
        model.setCheckedDeviceIds({"02:00:00:00:00:03"});
        QCOMPARE(checkedChanged.size(), before + 1);

        // Removed devices leave the checked list; one added back comes unchecked, last.
        const int beforeRemoval = static_cast<int>(checkedChanged.size());
        facade().removeAllDevices();
        QCOMPARE(model.checkedDeviceIds(), QStringList());
        QCOMPARE(model.rowCount(), 0);
        QVERIFY(checkedChanged.size() > beforeRemoval);
        model.setCheckedDeviceIds({"02:00:00:00:00:09"});
        facade().activateDevice("10.0.0.1", "TQ-730", "D", "02:00:00:00:00:08");
        facade().activateDevice("10.0.0.9", "TQ-730", "D", "02:00:00:00:00:09");
        QCOMPARE(model.checkedDeviceIds(), QStringList());
        QCOMPARE(rowsOf(model).last(), QStringLiteral("02:00:00:00:00:09"));
    }

    void sorting()
    {
        DeviceTableModel model(facade());
        facade().activateDevice("10.0.0.9", "TQ-730", "Beta", "02:00:00:00:00:01");
        facade().activateDevice("10.0.0.10", "TQ-730", "Alpha", "02:00:00:00:00:02");
        facade().activateDevice("10.0.0.2", "TQ-360", "Beta", "02:00:00:00:00:03");
        QSignalSpy column(&model, &DeviceTableModel::sortColumnChanged);
        QSignalSpy order(&model, &DeviceTableModel::sortOrderChanged);
        QSignalSpy cells(&model, &QAbstractItemModel::dataChanged);

        model.sort(DeviceTableModel::IpAddress);
        // Text order: 10.0.0.10 < 10.0.0.2 < 10.0.0.9.
        QCOMPARE(rowsOf(model), (QStringList{"02:00:00:00:00:02", "02:00:00:00:00:03", "02:00:00:00:00:01"}));
        QCOMPARE(model.getSortColumn(), int(DeviceTableModel::IpAddress));
        QCOMPARE(model.getSortOrder(), Qt::AscendingOrder);
        QCOMPARE(cells.size(), 2);
        QCOMPARE(cells.at(0).at(0).toModelIndex(), model.index(0, 1));
        QCOMPARE(cells.at(0).at(1).toModelIndex(), model.index(2, 7));
        QCOMPARE(cells.at(1).at(2).value<QList<int>>(),
                 (QList<int>{Qt::CheckStateRole, DeviceTableModel::RowDescriptionRole}));

        model.sort(DeviceTableModel::IpAddress, Qt::AscendingOrder); // the argument plays no part
        QCOMPARE(model.getSortOrder(), Qt::DescendingOrder);
        QCOMPARE(rowsOf(model), (QStringList{"02:00:00:00:00:01", "02:00:00:00:00:03", "02:00:00:00:00:02"}));

        // Equal host names fall back to the id, both ways.
        model.sort(DeviceTableModel::HostName);
        QCOMPARE(rowsOf(model), (QStringList{"02:00:00:00:00:02", "02:00:00:00:00:01", "02:00:00:00:00:03"}));
        model.sort(DeviceTableModel::HostName);
        QCOMPARE(rowsOf(model), (QStringList{"02:00:00:00:00:03", "02:00:00:00:00:01", "02:00:00:00:00:02"}));
        QCOMPARE(column.size(), 4);
        QCOMPARE(order.size(), 4);

        model.sort(DeviceTableModel::Check);
        QCOMPARE(rowsOf(model), (QStringList{"02:00:00:00:00:01", "02:00:00:00:00:02", "02:00:00:00:00:03"}));
    }

    void aModelMadeLaterListsTheDevicesThatExist()
    {
        facade().activateDevice("10.0.0.5", "TQ-730", "Desk", "02:00:00:00:00:05");
        facade().activateDevice("10.0.0.6", "TQ-360", "Hall", "02:00:00:00:00:06");
        DeviceTableModel model(facade());
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(rowsOf(model), (QStringList{"02:00:00:00:00:05", "02:00:00:00:00:06"}));
        QCOMPARE(model.data(model.index(1, DeviceTableModel::HostName)).toString(), QStringLiteral("Hall"));

        // Their changes repaint like those of devices reported later.
        QSignalSpy cells(&model, &QAbstractItemModel::dataChanged);
        facade().setDeviceParameter("02:00:00:00:00:06", DeviceParameter::HostName, "Lobby", DeviceFindPolicy::ById);
        QCOMPARE(cellsOf(cells),
                 (QList<Cell>{{1, DeviceTableModel::HostName, {Qt::DisplayRole, DeviceTableModel::LoginRequiredRole}},
                              {1, DeviceTableModel::Check, {DeviceTableModel::RowDescriptionRole}},
                              {1, DeviceTableModel::Status, {DeviceTableModel::DeviceNameRole}}}));
        QCOMPARE(model.data(model.index(1, DeviceTableModel::Status), DeviceTableModel::DeviceNameRole).toString(),
                 QStringLiteral("Lobby, 10.0.0.6"));

        // Sorting reorders what is listed; it never lists or drops a device
        // behind the view's back.
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
        model.sort(DeviceTableModel::HostName);
        QCOMPARE(rowsOf(model), (QStringList{"02:00:00:00:00:05", "02:00:00:00:00:06"}));
        QCOMPARE(inserted.size(), 0);
        QCOMPARE(reset.size(), 0);

        facade().removeAllDevices();
        QCOMPARE(model.rowCount(), 0);
    }

    void sortingKeepsSelectionsOnTheirDevices_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("sorts");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<bool>("moved");
        // Devices listed as 01 (10.0.0.9, Beta), 02 (10.0.0.10, Alpha), 03 (10.0.0.2, Beta).
        QTest::newRow("ip ascending") << int(DeviceTableModel::IpAddress) << 1
                                      << QStringList{"02:00:00:00:00:02", "02:00:00:00:00:03", "02:00:00:00:00:01"}
                                      << true;
        QTest::newRow("ip descending") << int(DeviceTableModel::IpAddress) << 2
                                       << QStringList{"02:00:00:00:00:01", "02:00:00:00:00:03", "02:00:00:00:00:02"}
                                       << true;
        QTest::newRow("host name descending")
            << int(DeviceTableModel::HostName) << 2
            << QStringList{"02:00:00:00:00:03", "02:00:00:00:00:01", "02:00:00:00:00:02"} << true;
        QTest::newRow("mac, already in order")
            << int(DeviceTableModel::MacAddress) << 1
            << QStringList{"02:00:00:00:00:01", "02:00:00:00:00:02", "02:00:00:00:00:03"} << false;
    }

    void sortingKeepsSelectionsOnTheirDevices()
    {
        QFETCH(int, column);
        QFETCH(int, sorts);
        QFETCH(QStringList, rows);
        QFETCH(bool, moved);

        DeviceTableModel model(facade());
        facade().activateDevice("10.0.0.9", "TQ-730", "Beta", "02:00:00:00:00:01");
        facade().activateDevice("10.0.0.10", "TQ-730", "Alpha", "02:00:00:00:00:02");
        facade().activateDevice("10.0.0.2", "TQ-360", "Beta", "02:00:00:00:00:03");
        for (int i = 1; i < sorts; ++i)
            model.sort(column);

        // Whatever the order is now, remember devices by place.
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QItemSelectionModel selection(&model);
        const QString selectedId = model.getSortedDeviceId(0);
        selection.select(model.index(0, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        const QString statusId = model.getSortedDeviceId(2);
        const QPersistentModelIndex status(model.index(2, DeviceTableModel::Status));
        QSignalSpy aboutToChange(&model, &QAbstractItemModel::layoutAboutToBeChanged);
        QSignalSpy changed(&model, &QAbstractItemModel::layoutChanged);
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        QSignalSpy reset(&model, &QAbstractItemModel::modelReset);

        model.sort(column);
        QCOMPARE(rowsOf(model), rows);
        QCOMPARE(aboutToChange.size(), moved ? 1 : 0);
        QCOMPARE(changed.size(), aboutToChange.size());
        QCOMPARE(inserted.size(), 0);
        QCOMPARE(reset.size(), 0);

        QVERIFY(status.isValid());
        QCOMPARE(status.column(), int(DeviceTableModel::Status));
        QCOMPARE(model.getSortedDeviceId(status.row()), statusId);
        const QModelIndexList selectedRows = selection.selectedRows();
        QCOMPARE(selectedRows.size(), 1);
        QCOMPARE(model.getSortedDeviceId(selectedRows.first().row()), selectedId);
    }

    void writingTheCheckedListRepaintsTheCheckColumn()
    {
        DeviceTableModel model(facade());
        for (int i = 1; i <= 3; ++i)
            facade().activateDevice(QStringLiteral("10.0.0.%1").arg(i), "TQ-730", "D",
                                    QStringLiteral("02:00:00:00:00:0%1").arg(i));
        QSignalSpy cells(&model, &QAbstractItemModel::dataChanged);
        QSignalSpy checkedChanged(&model, &DeviceTableModel::checkedDeviceIdsChanged);

        model.setCheckedDeviceIds({"02:00:00:00:00:02"});
        QCOMPARE(checkedChanged.size(), 1);
        QCOMPARE(cells.size(), 1);
        QCOMPARE(cells.first().at(0).toModelIndex(), model.index(0, DeviceTableModel::Check));
        QCOMPARE(cells.first().at(1).toModelIndex(), model.index(2, DeviceTableModel::Check));
        QCOMPARE(cells.first().at(2).value<QList<int>>(), QList<int>{Qt::CheckStateRole});
        QCOMPARE(model.data(model.index(1, 0), Qt::CheckStateRole), QVariant(true));

        // An equal list changes nothing and repaints nothing.
        model.setCheckedDeviceIds({"02:00:00:00:00:02"});
        QCOMPARE(cells.size(), 1);
        QCOMPARE(checkedChanged.size(), 1);
    }

    void changedParametersRepaintTheirCells()
    {
        DeviceTableModel model(facade());
        const QString id = "02:00:00:00:00:04";
        facade().activateDevice("10.0.0.4", "TQ-730", "D", id);
        QSignalSpy cells(&model, &QAbstractItemModel::dataChanged);
        const QList<int> roles{Qt::DisplayRole, DeviceTableModel::LoginRequiredRole};
        const Cell description{0, DeviceTableModel::Check, {DeviceTableModel::RowDescriptionRole}};

        facade().setDeviceParameter(id, DeviceParameter::SubnetMask, "255.255.255.0", DeviceFindPolicy::ById);
        QCOMPARE(cellsOf(cells), (QList<Cell>{{0, DeviceTableModel::SubnetMask, roles}}));
        cells.clear();
        facade().setDeviceParameter(id, DeviceParameter::SerialNumber, "S1", DeviceFindPolicy::ById);
        QCOMPARE(cells.size(), 0);
        facade().setDeviceParameter(id, DeviceParameter::AllNetworkSettings, QVariantMap{}, DeviceFindPolicy::ById);
        QCOMPARE(cellsOf(cells), (QList<Cell>{{0, DeviceTableModel::IpAddress, roles},
                                              {0, DeviceTableModel::SubnetMask, roles},
                                              description,
                                              {0, DeviceTableModel::Status, {DeviceTableModel::DeviceNameRole}}}));
        cells.clear();
        facade().setDeviceParameter(id, DeviceParameter::UpdateProgress, 40, DeviceFindPolicy::ById);
        QCOMPARE(cellsOf(cells), (QList<Cell>{{0, DeviceTableModel::Status, roles}, description}));
        QCOMPARE(model.data(model.index(0, DeviceTableModel::Status)).toString(), QStringLiteral("Login required"));
        facade().setDeviceParameter(id, DeviceParameter::LoggedInStatus, true, DeviceFindPolicy::ById);
        QCOMPARE(model.data(model.index(0, DeviceTableModel::Status)).toString(),
                 QStringLiteral("Firmware update 40% complete"));
    }

    // A device is under way from its upload's first progress until its
    // result (or its loss); its end is reported once, with its name.
    void devicesUnderWayAndTheirReports_data()
    {
        using Steps = QList<QPair<DeviceParameter, QVariant>>;
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QList<int>>("underWay"); // after each step
        QTest::addColumn<QStringList>("reports");
        const QString name = QStringLiteral("D, 10.0.0.5: ");
        QTest::newRow("firmware: upload, installation, result")
            << Steps{{DeviceParameter::FirmwareUploadProgress, 0},
                     {DeviceParameter::FirmwareUploadProgress, 100},
                     {DeviceParameter::UpdateProgress, 50},
                     {DeviceParameter::UpdateResult, 0},
                     {DeviceParameter::UpdateResult, 0}}
            << QList<int>{1, 1, 1, 0, 0} << QStringList{name + "Update successful"};
        // An installing device says it is busy, and may still be when its
        // result comes: the result is what is said.
        QTest::newRow("firmware: busy while installing")
            << Steps{{DeviceParameter::FirmwareUploadProgress, 100},
                     {DeviceParameter::RunningStatus, 1},
                     {DeviceParameter::UpdateProgress, 50},
                     {DeviceParameter::RunningStatus, 1},
                     {DeviceParameter::UpdateResult, 0},
                     {DeviceParameter::RunningStatus, 0}}
            << QList<int>{1, 1, 1, 1, 0, 0} << QStringList{name + "Update successful"};
        // Idle alone waits for the result a moment (the grace): a result
        // that follows is what is said; none, and the row's "Ready" is.
        QTest::newRow("idle without a result")
            << Steps{{DeviceParameter::UpdateProgress, 50}, {DeviceParameter::RunningStatus, 0}} << QList<int>{1, 1}
            << QStringList{name + "Ready"};
        using Map = QVariantMap;
        const auto idleThen = [](DeviceParameter upload, DeviceParameter result, int value) {
            return Steps{{upload, 100}, {DeviceParameter::RunningStatus, 0}, {result, value}};
        };
        QTest::newRow("firmware: idle, then the result")
            << idleThen(DeviceParameter::FirmwareUploadProgress, DeviceParameter::UpdateResult, 1)
            << QList<int>{1, 1, 0} << QStringList{name + "Update failed"};
        QTest::newRow("import: idle, then the result")
            << idleThen(DeviceParameter::ConfigUploadProgress, DeviceParameter::ImportResult, 0) << QList<int>{1, 1, 0}
            << QStringList{name + "Import successful"};
        QTest::newRow("image: idle, then the result")
            << idleThen(DeviceParameter::StandbyScreenImageUploadProgress, DeviceParameter::StandbyImageResult, 1)
            << QList<int>{1, 1, 0} << QStringList{name + "Uploaded Stand-by screen image is invalid"};
        // Idle and the result in one state, after an earlier batch's other
        // result: this batch's result is said.
        QTest::newRow("firmware: idle and the result at once")
            << Steps{{DeviceParameter::FirmwareUploadProgress, 100},
                     {DeviceParameter::UpdateResult, 1},
                     {DeviceParameter::FirmwareUploadProgress, 100},
                     {DeviceParameter::AllDeviceStatus, Map{{"runningStatus", 0}, {"updateResult", 0}}}}
            << QList<int>{1, 0, 1, 0} << QStringList{name + "Update failed", name + "Update successful"};
        QTest::newRow("import: idle and the result at once")
            << Steps{{DeviceParameter::ConfigUploadProgress, 100},
                     {DeviceParameter::AllDeviceStatus, Map{{"runningStatus", 0}, {"importResult", 6}}}}
            << QList<int>{1, 0} << QStringList{name + "Import failed"};
        QTest::newRow("image: idle and the result at once")
            << Steps{{DeviceParameter::StandbyScreenImageUploadProgress, 100},
                     {DeviceParameter::AllDeviceStatus, Map{{"runningStatus", 0}, {"standbyImageResult", 0}}}}
            << QList<int>{1, 0} << QStringList{name + "Stand-by screen image successfully uploaded"};
        // A new batch that ends without a result does not say the last one's.
        QTest::newRow("no result after an earlier one")
            << Steps{{DeviceParameter::ConfigUploadProgress, 100},
                     {DeviceParameter::ImportResult, 6},
                     {DeviceParameter::ConfigUploadProgress, 100},
                     {DeviceParameter::RunningStatus, 0}}
            << QList<int>{1, 0, 1, 1} << QStringList{name + "Import failed", name + "Ready"};
        QTest::newRow("import") << Steps{{DeviceParameter::ConfigUploadProgress, 40},
                                         {DeviceParameter::ImportResult, 6}}
                                << QList<int>{1, 0} << QStringList{name + "Import failed"};
        QTest::newRow("image") << Steps{{DeviceParameter::StandbyScreenImageUploadProgress, 100},
                                        {DeviceParameter::StandbyImageResult, 0}}
                               << QList<int>{1, 0} << QStringList{name + "Stand-by screen image successfully uploaded"};
        QTest::newRow("channel lost mid-upload")
            << Steps{{DeviceParameter::FirmwareUploadProgress, 30},
                     {DeviceParameter::ConnectionStatus, toInt(ConnectionStatus::Inactive)}}
            << QList<int>{1, 0} << QStringList{name + "Disconnected"};
        QTest::newRow("refused before any upload")
            << Steps{{DeviceParameter::UpdateResult, 1}} << QList<int>{0} << QStringList();
        // A logged-in device's key refused by its channel's re-logins, again
        // and again: said once, and again after the operator settled it.
        const QString changed
            = name + "Identity changed: it shows another key than the one pinned for it; nothing is sent to it";
        QTest::newRow("identity changed") << Steps{{DeviceParameter::IdentityChanged, true},
                                                   {DeviceParameter::IdentityChanged, true},
                                                   {DeviceParameter::IdentityChanged, false},
                                                   {DeviceParameter::IdentityChanged, true}}
                                          << QList<int>{0, 0, 0, 0} << QStringList{changed, changed};
    }

    // Devices 01 (10.0.0.9, "Beta", TQ-730), 02 (10.0.0.10, "Alpha", TQ-730),
    // 03 (10.0.0.2, "Gamma", TQ-360), all "Login required"; `check` rows
    // first (unfiltered), then the filter, then `allClicks` header clicks.
    void filtering_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QList<int>>("check");
        QTest::addColumn<int>("allClicks");
        QTest::addColumn<QStringList>("rows"); // ids' last digits
        QTest::addColumn<QStringList>("checked");
        QTest::addColumn<QString>("count");
        QTest::addColumn<int>("allState");
        QTest::newRow("empty: as without a filter")
            << "" << QList<int>{1} << 1 << QStringList{"1", "2", "3"} << QStringList{"1", "2", "3"}
            << "3 devices, 3 checked" << int(Qt::Checked);
        QTest::newRow("host name, any case") << "ALPH" << QList<int>{} << 0 << QStringList{"2"} << QStringList{}
                                             << "1 of 3 devices shown" << int(Qt::Unchecked);
        QTest::newRow("ip") << " 10.0.0.1 " << QList<int>{} << 0 << QStringList{"2"} << QStringList{}
                            << "1 of 3 devices shown" << int(Qt::Unchecked);
        QTest::newRow("mac") << "00:03" << QList<int>{} << 0 << QStringList{"3"} << QStringList{}
                             << "1 of 3 devices shown" << int(Qt::Unchecked);
        QTest::newRow("model") << "tq-7" << QList<int>{} << 0 << QStringList{"1", "2"} << QStringList{}
                               << "2 of 3 devices shown" << int(Qt::Unchecked);
        QTest::newRow("status") << "login REQ" << QList<int>{} << 0 << QStringList{"1", "2", "3"} << QStringList{}
                                << "3 of 3 devices shown" << int(Qt::Unchecked);
        QTest::newRow("not across cells") << "beta\ntq" << QList<int>{} << 0 << QStringList{} << QStringList{}
                                          << "0 of 3 devices shown" << int(Qt::Unchecked);
        QTest::newRow("all checks the shown rows, hidden checked stay")
            << "TQ-7" << QList<int>{2} << 1 << QStringList{"1", "2"} << QStringList{"3", "1", "2"}
            << "2 of 3 devices shown, 3 checked, 1 of them hidden" << int(Qt::Checked);
        QTest::newRow("all twice clears only the shown rows")
            << "TQ-7" << QList<int>{2} << 2 << QStringList{"1", "2"} << QStringList{"3"}
            << "2 of 3 devices shown, 1 checked, 1 of them hidden" << int(Qt::Unchecked);
        QTest::newRow("shown and partly checked")
            << "a" << QList<int>{0} << 0 << QStringList{"1", "2", "3"} << QStringList{"1"}
            << "3 of 3 devices shown, 1 checked" << int(Qt::PartiallyChecked);
    }

    void filtering()
    {
        QFETCH(QString, filter);
        QFETCH(QList<int>, check);
        QFETCH(int, allClicks);
        QFETCH(QStringList, rows);
        QFETCH(QStringList, checked);
        QFETCH(QString, count);
        QFETCH(int, allState);
        const auto ids = [](const QStringList& digits) {
            QStringList out;
            for (const QString& digit : digits)
                out << "02:00:00:00:00:0" + digit;
            return out;
        };
        DeviceTableModel model(facade());
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        facade().activateDevice("10.0.0.9", "TQ-730", "Beta", "02:00:00:00:00:01");
        facade().activateDevice("10.0.0.10", "TQ-730", "Alpha", "02:00:00:00:00:02");
        facade().activateDevice("10.0.0.2", "TQ-360", "Gamma", "02:00:00:00:00:03");
        for (const int row : check)
            model.changeDeviceCheckStatus(row);
        model.setFilterText(filter);
        for (int i = 0; i < allClicks; ++i)
            model.changeDeviceAllCheckStatus();
        QCOMPARE(rowsOf(model), ids(rows));
        QCOMPARE(model.checkedDeviceIds(), ids(checked));
        QCOMPARE(model.countText(), count);
        QCOMPARE(int(model.getAllCheckState()), allState);
        QCOMPARE(model.deviceCount(), 3);
    }

    // A device whose cells change is shown or hidden in its sorted place;
    // sorting orders the hidden ones too; type-ahead looks at the shown rows.
    void filterFollowsChangesAndSorting()
    {
        DeviceTableModel model(facade());
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        for (const char* name : {"Desk", "Hall", "Desktop"})
            facade().activateDevice(QStringLiteral("10.0.0.%1").arg(model.deviceCount() + 1), "TQ-730", name,
                                    QStringLiteral("02:00:00:00:00:0%1").arg(model.deviceCount() + 1));
        model.sort(DeviceTableModel::HostName);
        model.setFilterText("DES");
        QCOMPARE(rowsOf(model), (QStringList{"02:00:00:00:00:01", "02:00:00:00:00:03"}));
        QCOMPARE(model.rowStartingWith("deskt", 0), 1);
        QCOMPARE(model.rowStartingWith("h", 0), -1);
        facade().setDeviceParameter("02:00:00:00:00:02", DeviceParameter::HostName, "Design", DeviceFindPolicy::ById);
        QCOMPARE(rowsOf(model), (QStringList{"02:00:00:00:00:01", "02:00:00:00:00:03", "02:00:00:00:00:02"}));
        facade().setDeviceParameter("02:00:00:00:00:01", DeviceParameter::HostName, "Roof", DeviceFindPolicy::ById);
        QCOMPARE(rowsOf(model), (QStringList{"02:00:00:00:00:03", "02:00:00:00:00:02"}));
        model.sort(DeviceTableModel::HostName);
        model.setFilterText(QString());
        QCOMPARE(rowsOf(model), (QStringList{"02:00:00:00:00:01", "02:00:00:00:00:03", "02:00:00:00:00:02"}));
        QCOMPARE(model.rowStartingWith("D", 2), 2);
    }

    // The list's limit, said with how to raise it.
    void limitNotice()
    {
        DeviceFacade small;
        QVERIFY(small.initialize(2) == 0);
        DeviceTableModel model(small);
        QSignalSpy changed(&model, &DeviceTableModel::limitNoticeChanged);
        for (int i = 1; i <= 3; ++i)
            small.activateDevice(QStringLiteral("10.0.0.%1").arg(i), "TQ-730", "D",
                                 QStringLiteral("02:00:00:00:00:0%1").arg(i));
        QCOMPARE(model.deviceCount(), 2);
        QCOMPARE(model.limitNotice(), QStringLiteral("Device list full at 2 devices; devices past it are not listed. "
                                                     "Start Corvane with --max-devices 1024 to list more."));
        small.removeAllDevices();
        QCOMPARE(model.limitNotice(), QString());
        QCOMPARE(changed.size(), 2);
    }

    void devicesUnderWayAndTheirReports()
    {
        using Steps = QList<QPair<DeviceParameter, QVariant>>;
        QFETCH(Steps, steps);
        QFETCH(QList<int>, underWay);
        QFETCH(QStringList, reports);
        DeviceTableModel model(facade());
        facade().setResultGrace(std::chrono::milliseconds(20));
        const QString id = "02:00:00:00:00:05";
        facade().activateDevice("10.0.0.5", "TQ-730", "D", id);
        facade().setDeviceParameter(id, DeviceParameter::LoggedInStatus, true, DeviceFindPolicy::ById);
        facade().setDeviceParameter(id, DeviceParameter::ConnectionStatus, toInt(ConnectionStatus::Connected),
                                    DeviceFindPolicy::ById);
        QSignalSpy reported(&model, &DeviceTableModel::deviceReported);
        QList<int> counts;
        for (const auto& [parameter, value] : steps) {
            QVERIFY(facade().setDeviceParameter(id, parameter, value, DeviceFindPolicy::ById));
            counts << model.devicesUnderWay();
        }
        QCOMPARE(counts, underWay);
        QTRY_COMPARE(model.devicesUnderWay(), 0);
        QStringList said;
        for (const QList<QVariant>& arguments : std::as_const(reported))
            said << arguments.at(0).toString();
        QCOMPARE(said, reports);

        // A device that goes while under way is no longer counted, and
        // reports nothing.
        facade().setDeviceParameter(id, DeviceParameter::ConnectionStatus, toInt(ConnectionStatus::Connected),
                                    DeviceFindPolicy::ById);
        facade().setDeviceParameter(id, DeviceParameter::FirmwareUploadProgress, 10, DeviceFindPolicy::ById);
        QCOMPARE(model.devicesUnderWay(), 1);
        reported.clear();
        facade().removeAllDevices();
        QCOMPARE(model.devicesUnderWay(), 0);
        QCOMPARE(reported.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDeviceTableModel)
#include "tst_devicetablemodel.moc"
