#pragma once

#include "DeviceFacade.h"
#include "DeviceParameter.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QMap>
#include <QMetaObject>
#include <QSet>
#include <QStringList>
#include <QTimer>

#include <list>

// The device table: one row per known device, a check column and seven
// device properties. Cell values are read from the facade when the view asks;
// the model keeps only the row order, the checked ids and one connection per
// row for repainting changed cells.
class DeviceTableModel : public QAbstractTableModel
{
    Q_OBJECT
    Q_PROPERTY(
        QStringList checkedDeviceIds READ checkedDeviceIds WRITE setCheckedDeviceIds NOTIFY checkedDeviceIdsChanged)
    Q_PROPERTY(Qt::CheckState allCheckState READ getAllCheckState NOTIFY allCheckStateChanged)
    Q_PROPERTY(int sortColumn READ getSortColumn NOTIFY sortColumnChanged)
    Q_PROPERTY(Qt::SortOrder sortOrder READ getSortOrder NOTIFY sortOrderChanged)
    // Listed devices whose upload or own work on a file is under way: their
    // results are still to come.
    Q_PROPERTY(int devicesUnderWay READ devicesUnderWay NOTIFY devicesUnderWayChanged)
    // Rows show only the devices with this text (any letter case) in their
    // host name, IP or MAC address, model, version or status; every device
    // when empty. Checked devices stay checked while the filter hides them.
    Q_PROPERTY(QString filterText READ filterText WRITE setFilterText NOTIFY filterTextChanged)
    // Every listed device, shown or not.
    Q_PROPERTY(int deviceCount READ deviceCount NOTIFY countsChanged)
    // Checked devices that the filter hides.
    Q_PROPERTY(int hiddenCheckedCount READ hiddenCheckedCount NOTIFY countsChanged)
    // "12 of 300 devices shown, 5 checked, 2 of them hidden".
    Q_PROPERTY(QString countText READ countText NOTIFY countsChanged)
    // Set once a device could not be listed for want of room; empty otherwise.
    Q_PROPERTY(QString limitNotice READ limitNotice NOTIFY limitNoticeChanged)

public:
    enum ParameterType {
        Check = 0,
        Model,
        HostName,
        Version,
        IpAddress,
        MacAddress,
        SubnetMask,
        Status,
        NumberOfDeviceParameterType
    };
    Q_ENUM(ParameterType)

    static constexpr int LoginRequiredRole = Qt::UserRole;
    // The check column's: "<host name>, <IP address>, <status>", what a
    // screen reader says for the row.
    static constexpr int RowDescriptionRole = Qt::UserRole + 1;
    // The status column's: "<host name>, <IP address>", the device a link in
    // it logs in to.
    static constexpr int DeviceNameRole = Qt::UserRole + 2;

    // On the process's facade (Services), as the views create it.
    explicit DeviceTableModel(QObject* parent = nullptr);
    // On a facade of the caller's (tests).
    explicit DeviceTableModel(DeviceFacade& facade, QObject* parent = nullptr);
    ~DeviceTableModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;
    Q_INVOKABLE QVariant headerData(int section, Qt::Orientation orientation,
                                    int role = Qt::DisplayRole) const override;
    // Alternates the order on repeated calls for one column; `order` is not used.
    Q_INVOKABLE void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    QStringList checkedDeviceIds() const;
    void setCheckedDeviceIds(const QStringList& ids);

    Q_INVOKABLE QString getSortedDeviceId(int row) const;
    Q_INVOKABLE void changeDeviceCheckStatus(int row);
    Q_INVOKABLE void changeDeviceAllCheckStatus();
    Q_INVOKABLE Qt::CheckState getAllCheckState() const;
    Q_INVOKABLE QStringList getCheckedUnloggedInDeviceIds() const;
    Q_INVOKABLE int getSortColumn() const;
    Q_INVOKABLE Qt::SortOrder getSortOrder() const;
    int devicesUnderWay() const { return int(m_underWay.size()); }

    QString filterText() const { return m_filterText; }
    void setFilterText(const QString& text);
    int deviceCount() const { return int(m_allRows.size()); }
    int hiddenCheckedCount() const;
    QString countText() const;
    QString limitNotice() const;
    // The first row from `from` on (wrapping round) whose host name starts
    // with `text` in any letter case; -1 when none does.
    Q_INVOKABLE int rowStartingWith(const QString& text, int from) const;

public Q_SLOTS:
    void onChangedDeviceActivity(std::list<DeviceActivity> changedDeviceActivities);
    void onParameterChanged(QString deviceId, DeviceParameter type);

Q_SIGNALS:
    void checkedDeviceIdsChanged();
    void allCheckStateChanged();
    void sortColumnChanged();
    void sortOrderChanged();
    void devicesUnderWayChanged();
    void filterTextChanged();
    void countsChanged();
    void limitNoticeChanged();
    // Once each time a device's work ends (a result, a failure, or the device
    // lost): "<host name>, <IP address>: <status>"; and once when a device's
    // identity changes (its key is refused), logged in or not, so that a
    // screen reader hears it as it happens.
    void deviceReported(const QString& description);

private:
    // Connects the record's change signal to the repaints; false when the
    // facade has no record for the id.
    bool watchRecord(const QString& id);
    void activate(const QString& id);
    void inactivate(const QString& id);
    QVariant cellValue(const QString& id, int column) const;
    QVariant loginRequired(const QString& id) const;
    QString rowDescription(const QString& id) const;
    // Follows the device in or out of the devices under way.
    void followWork(const QString& id, bool listed);
    void followIdentity(const QString& id);
    // The text the filter looks in, folded for any letter case.
    QString searchTextOf(const QString& id) const;
    bool matches(const QString& id) const;
    // The shown rows anew from every listed one, by the filter.
    void refilter();
    // One device's cells changed: shown or hidden by the filter in place.
    void refilterOne(const QString& id);
    void noteCounts();
    bool filtering() const { return !m_filterFolded.isEmpty(); }

    DeviceFacade* m_facade;
    QMap<int, QString> m_headerTitles;
    int m_sortColumn = -1;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
    // Every listed device in table order; m_rows holds the shown ones of
    // them, in the same order (all of them while the filter is empty).
    QStringList m_allRows;
    QStringList m_rows;
    QSet<QString> m_shown;
    QHash<QString, QString> m_searchText; // by listed id
    QString m_filterText;
    QString m_filterFolded;
    bool m_listFull = false;
    QList<int> m_counts{0, 0, 0, 0}; // as last announced
    QTimer m_countLog;
    QMap<QString, QMetaObject::Connection> m_rowConnections;
    QStringList m_checkedDeviceIds;
    QSet<QString> m_underWay;
    QSet<QString> m_identityChanged; // said once until it is settled
};
