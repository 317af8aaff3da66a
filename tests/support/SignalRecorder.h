#pragma once

#include <QObject>
#include <QStringList>

// Records, in order, the names of the signals that an object's own classes
// declare (those of QObject left out) as they are emitted. The object must
// outlive the recorder or be destroyed on its thread.
class SignalRecorder : public QObject
{
    Q_OBJECT

public:
    explicit SignalRecorder(QObject* watched);

    // The names since the last call, oldest first.
    QStringList take();

private Q_SLOTS:
    void record();

private:
    QStringList m_names;
};
