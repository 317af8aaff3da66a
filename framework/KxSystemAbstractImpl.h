#pragma once

#include "KxSystemEventID.h"
#include "KxSystemStatus.h"

#include <QObject>
#include <QString>
#include <QVariantMap>

// What the KxSystem front forwards to: the system status, batch requests and
// the events the system raises. All instances live on the user-interface
// thread.
class KxSystemAbstractImpl : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~KxSystemAbstractImpl() override = default;

public Q_SLOTS:
    virtual bool sendEvent(KxSystemEventID::ID eventID, const QVariantMap& options) = 0;
    virtual KxSystemStatus::Status status() const = 0;
    // The record of the last batch (a BatchJournal), or null.
    virtual QObject* journal() const { return nullptr; }

Q_SIGNALS:
    void databaseRefreshed(QString deviceID, QVariantMap options);
    void statusChanged();
    void eventReceived(KxSystemEventID::ID eventID, QVariantMap options);
};
