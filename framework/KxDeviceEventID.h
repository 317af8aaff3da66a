#pragma once

#include <QObject>

// Events a view sends to a device: RequestLogin carries {"password": text}.
class KxDeviceEventID : public QObject
{
    Q_OBJECT

public:
    enum ID { InvalidID = 0, RequestLogin = 1, NumberOfIDs = 2 };
    Q_ENUM(ID)
};
