#pragma once

#include <QObject>

// The device meters a KxMeterDataAccessor can name.
class KxMeterID : public QObject
{
    Q_OBJECT

public:
    enum ID { InvalidID = -1, Meter1 = 0, NumberOfIDs = 1 };
    Q_ENUM(ID)
};
