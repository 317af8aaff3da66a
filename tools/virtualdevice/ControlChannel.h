#pragma once

#include <QList>
#include <QObject>
#include <QStringList>

class QLocalServer;
class QSocketNotifier;
class VirtualDevice;

// The run-time control of a device process: one command per line, one reply
// per command ("ok ..." or "error ..."), read from standard input and, when a
// path is given, from a local socket. Commands change device state and inject
// faults; see `help`.
class ControlChannel : public QObject
{
    Q_OBJECT

public:
    ControlChannel(const QList<VirtualDevice*>& devices, QObject* parent = nullptr);

    bool listen(const QString& path, QString& error);
    void readStandardInput();

    // Runs one command and returns its reply lines (the last one starts with
    // "ok" or "error").
    QStringList execute(const QString& line);

    static QString helpText();

Q_SIGNALS:
    void quitRequested();
    void output(const QString& line); // replies to commands read from standard input

private:
    QList<VirtualDevice*> select(const QString& which, QString& error) const;
    QStringList runOn(VirtualDevice* device, const QString& verb, const QStringList& args, QString& error);
    QString fault(VirtualDevice* device, const QStringList& args, QString& error);
    QString push(VirtualDevice* device, const QStringList& args, const QString& rest, QString& error);
    void onStdin();

    QList<VirtualDevice*> m_devices;
    QLocalServer* m_server = nullptr;
    QSocketNotifier* m_stdin = nullptr;
    QByteArray m_stdinBuffer;
};
