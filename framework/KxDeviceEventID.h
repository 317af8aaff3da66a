#pragma once

#include <QObject>

// Events a view sends to a device: RequestLogin carries {"password": text}.
class KxDeviceEventID : public QObject
{
    Q_OBJECT

public:
    // On an int, as every shared enumeration: any number a document passes
    // is a defined value of the type, and one out of range names nothing.
    enum ID : int { InvalidID = 0, RequestLogin = 1, NumberOfIDs = 2 };
    Q_ENUM(ID)
};
