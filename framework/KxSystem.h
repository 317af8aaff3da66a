#pragma once

#include "KxSystemEventID.h"
#include "KxSystemStatus.h"

#include <QObject>
#include <QString>
#include <QVariantMap>

#include <memory>

class KxSystemAbstractImpl;

// The system for the views: its status, the batch requests and the events
// it raises (alerts among them). All KxSystem objects share one
// implementation; without one the status is InvalidStatus and every request
// false. User-interface thread only.
class KxSystem : public QObject
{
    Q_OBJECT
    Q_PROPERTY(KxSystemStatus::Status status READ status NOTIFY statusChanged)
    // The record of the last batch: its line, busy until every device has
    // its final result, its results to save (BatchJournal); null without an
    // implementation.
    Q_PROPERTY(QObject* journal READ journal CONSTANT)

public:
    explicit KxSystem(QObject* parent = nullptr);
    ~KxSystem() override;

    KxSystemStatus::Status status() const;
    QObject* journal() const;

    // FirmwareUpdate, ImportConfiguration and StandbyScreenImageChange with
    // {"devices": [ids], "filePath": file URL} queue a batch: true.
    Q_INVOKABLE bool sendEvent(KxSystemEventID::ID eventID, const QVariantMap& options = {});

Q_SIGNALS:
    void databaseRefreshed(QString deviceID, QVariantMap options);
    void statusChanged();
    void eventReceived(KxSystemEventID::ID eventID, QVariantMap options);

private:
    std::shared_ptr<KxSystemAbstractImpl> m_impl;
};
