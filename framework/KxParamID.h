#pragma once

#include <QObject>

// The device values a KxParameterAccessor can name.
class KxParamID : public QObject
{
    Q_OBJECT

public:
    // Any int is a value of the type, so an id out of range that a document
    // writes stays well defined and simply names nothing.
    enum ID : int { InvalidID = -1, Param1 = 0, Param2 = 1, NumberOfIDs = 2 };
    Q_ENUM(ID)
};
