#pragma once

#include <QObject>

// The system's status as the views see it: the window is interactive only in
// Active; a batch operation holds one of the three operation states for as
// long as it runs.
class KxSystemStatus : public QObject
{
    Q_OBJECT

public:
    // On an int, as every shared enumeration: any number a document passes
    // is a defined value of the type, and one out of range names nothing.
    enum Status : int {
        InvalidStatus = -1,
        Initializing = 0,
        Active = 1,
        FirmwareUpdating = 2,
        ConfigurationImporting = 3,
        StandbyScreenImageChanging = 4,
        NumberOfStatus = 5
    };
    Q_ENUM(Status)
};
