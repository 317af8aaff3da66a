#pragma once

#include <QObject>

// The device values a KxParameterAccessor can name.
class KxParamID : public QObject
{
    Q_OBJECT

public:
    enum ID { InvalidID = -1, Param1 = 0, Param2 = 1, NumberOfIDs = 2 };
    Q_ENUM(ID)
};
