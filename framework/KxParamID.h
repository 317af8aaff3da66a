#pragma once

#include <QObject>

// The device values a KxParameterAccessor can name.
class KxParamID : public QObject
{
    Q_OBJECT

public:
    // On an int, as every shared enumeration: any number a document passes
    // is a defined value of the type, and one out of range names nothing.
    enum ID : int { InvalidID = -1, Param1 = 0, Param2 = 1, NumberOfIDs = 2 };
    Q_ENUM(ID)
};
