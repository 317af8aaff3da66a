#pragma once

#include <QObject>

// The device meters a KxMeterDataAccessor can name.
class KxMeterID : public QObject
{
    Q_OBJECT

public:
    // Any int is a value of the type, so an id out of range that a document
    // writes stays well defined and simply names nothing.
    enum ID : int { InvalidID = -1, Meter1 = 0, NumberOfIDs = 1 };
    Q_ENUM(ID)
};
