#pragma once

#include <QObject>

// The device meters a KxMeterDataAccessor can name.
class KxMeterID : public QObject
{
    Q_OBJECT

public:
    // On an int, as every shared enumeration: any number a document passes
    // is a defined value of the type, and one out of range names nothing.
    enum ID : int { InvalidID = -1, Meter1 = 0, NumberOfIDs = 1 };
    Q_ENUM(ID)
};
