#pragma once

#include "ScannableInterfaces.h"

#include <QAbstractTableModel>
#include <QList>
#include <QMap>
#include <QString>
#include <QVariantMap>

// The workstation's IPv4 addresses on wired and wireless interfaces, one row
// per address, for the operator to choose the network to search. Rows change
// only through updateNetworkInterfaces(); the view refreshes them each time
// it opens. The row map of getNetworkInterface() is what the scan start takes.
class NetworkInterfaceTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { InterfaceName = 0, IpAddress, MacAddress, SubnetMask, NumberOfColumns };

    explicit NetworkInterfaceTableModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;
    Q_INVOKABLE QVariant headerData(int section, Qt::Orientation orientation,
                                    int role = Qt::DisplayRole) const override;

    Q_INVOKABLE void updateNetworkInterfaces();
    // {"interfaceName", "ipAddress", "macAddress", "subnetMask"}; empty for
    // a row outside the list.
    Q_INVOKABLE QVariantMap getNetworkInterface(int index) const;

private:
    static QString cell(const ScannableInterface& info, int column);

    QMap<int, QString> m_headerTitles;
    QList<ScannableInterface> m_rows;
};
