#include "NetworkInterfaceTableModel.h"

NetworkInterfaceTableModel::NetworkInterfaceTableModel(QObject* parent)
    : QAbstractTableModel(parent)
    , m_headerTitles{{InterfaceName, QStringLiteral("Network Interface Name")},
                     {IpAddress, QStringLiteral("IP Address")},
                     {MacAddress, QStringLiteral("MAC Address")},
                     {SubnetMask, QStringLiteral("Subnet Mask")}}
{
}

int NetworkInterfaceTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int NetworkInterfaceTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : NumberOfColumns;
}

QString NetworkInterfaceTableModel::cell(const ScannableInterface& info, int column)
{
    switch (column) {
    case InterfaceName:
        return info.interfaceName;
    case IpAddress:
        return info.ipAddress;
    case MacAddress:
        return info.macAddress;
    case SubnetMask:
        return info.subnetMask;
    default:
        return QString();
    }
}

QVariant NetworkInterfaceTableModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || index.column() < 0 || index.column() >= NumberOfColumns)
        return QVariant();
    if (index.row() < 0 || index.row() >= m_rows.size())
        return QString();
    return cell(m_rows.at(index.row()), index.column());
}

QHash<int, QByteArray> NetworkInterfaceTableModel::roleNames() const
{
    return {{Qt::DisplayRole, "display"}};
}

QVariant NetworkInterfaceTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= NumberOfColumns)
        return QVariant();
    return role == Qt::DisplayRole ? m_headerTitles.value(section) : QString();
}

void NetworkInterfaceTableModel::updateNetworkInterfaces()
{
    beginResetModel();
    m_rows = scannableInterfaces();
    endResetModel();
}

QVariantMap NetworkInterfaceTableModel::getNetworkInterface(int index) const
{
    if (index < 0 || index >= m_rows.size())
        return {};
    return m_rows.at(index).toScanMap();
}
