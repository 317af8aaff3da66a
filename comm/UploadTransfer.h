#pragma once

#include "StreamedBody.h"

#include <QList>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPair>
#include <QThread>

#include <memory>

class TransferHost;
class UploadJob;

// The thread that carries uploads of streamed bodies: each upload's
// connection, TLS, file reads and answer run there, so that the caller's
// thread (the user interface's) only hears of progress and of the answer,
// and the body's bytes never cross threads. Uploads on it run side by side.
//
// Threads: created, used and destroyed on the caller's thread. Destruction
// stops what still runs and waits for the thread to end.
class TransferThread
{
public:
    TransferThread();
    ~TransferThread();
    TransferThread(const TransferThread&) = delete;
    TransferThread& operator=(const TransferThread&) = delete;

    // Takes the job over and starts it on the thread.
    void start(std::unique_ptr<UploadJob> job);
    // Stops the job `id` without a word to anyone (its reply is told by the
    // caller); nothing when it has ended.
    void cancel(quint64 id);

private:
    QThread m_thread;
    TransferHost* m_host; // lives on the thread; goes as the thread ends
};

// The caller's side of one upload on the transfer thread: a QNetworkReply,
// so that the access manager reads the status, header fields and body, and
// hears of progress, of the end and of aborts, as from Qt's own replies. The
// request is sent as given, with the body's header fields, a Content-Length
// and no Accept-Encoding; redirects are answers.
class UploadReply : public QNetworkReply
{
    Q_OBJECT

public:
    UploadReply(const std::shared_ptr<TransferThread>& thread, const QNetworkRequest& request,
                std::unique_ptr<StreamedBody> body, QObject* parent = nullptr);
    ~UploadReply() override;

    void abort() override;
    void close() override;
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;

private:
    void onAnswered(int status, const QByteArray& reason, const QList<QPair<QByteArray, QByteArray>>& headers,
                    qint64 length);
    void onReceived(const QByteArray& bytes);
    void end(NetworkError error, const QString& message);

    std::weak_ptr<TransferThread> m_thread;
    quint64 m_id = 0;
    QByteArray m_body;
    qint64 m_received = 0;
    qint64 m_length = -1;
};
