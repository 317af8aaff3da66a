#pragma once

#include <QObject>

// Events between the views and the system: the three batch requests and the
// stop of a running batch (view to system), and the alert events (system to
// view, with {"errorCode": code}).
class KxSystemEventID : public QObject
{
    Q_OBJECT

public:
    // On an int, as every shared enumeration: any number a document passes
    // is a defined value of the type, and one out of range names nothing.
    enum ID : int {
        InvalidID = -1,
        FirmwareUpdate = 0,
        ImportConfiguration = 1,
        StandbyScreenImageChange = 2,
        NoErrorAlertNotified = 3,
        ErrorAlertNotified = 4,
        StopBatch = 5,
        NumberOfIDs = 6
    };
    Q_ENUM(ID)
};
