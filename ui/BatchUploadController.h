#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <memory>

class DeviceFacade;
class FileDigestCache;
class FileUploader;
class PushSessionService;
struct BatchOperation;

// What the three batch controllers (firmware update, configuration import,
// standby-screen image change) share: for one device it checks the file's
// suffix and the device record (logged in, push channel connected, idle),
// builds the multipart body with the file's MD5 digest, uploads it with a
// one-hour time-out and judges the answer. A failure stores the operation's
// failure value as the device's result and raises an alert; the subclasses
// only name their operation (suffixes, upload path, codes, parameters).
//
// An upload ends early, as a network failure, when the device's push channel
// is declared gone (its keep-alive went unanswered, or it dropped) or when
// abortUpload() is called meanwhile.
//
// Threads: the user-interface thread. A call returns only when the device has
// answered (or the upload timed out or was ended); meanwhile the caller's events keep
// flowing through the HTTP access manager's nested wait, and the file's
// digest is computed on a worker thread while the caller waits the same way.
// The last digest is kept and reused while the file's path, size,
// modification time and inode stay the same.
class BatchUploadController : public QObject
{
    Q_OBJECT

public:
    ~BatchUploadController() override;

    // Ends the upload that runs now, on the operator's word: the device
    // reads "Stopped by the operator", without an alert; nothing when none
    // runs.
    void abortUpload();

public Q_SLOTS:
    // Upload progress of the device at `host` (its IP address): the truncated
    // percentage bytesSent * 100 / bytesTotal is stored in the operation's
    // progress parameter; a total of 0 or less stores nothing.
    void setUploadProgress(QString deviceId, qint64 bytesSent, qint64 bytesTotal);

protected:
    // `pushSessions` may be null (no channels to close) or go before the
    // controller.
    BatchUploadController(const BatchOperation& operation, DeviceFacade& facade, PushSessionService* pushSessions,
                          QObject* parent);

    // One device; true when the device accepted the file.
    bool run(const QString& deviceId, const QString& filePath);

private:
    // Digest, body and upload with its progress: the upload's code, with the
    // device's HTTP status in `status` on success.
    int32_t upload(const QString& deviceId, const QString& ipAddress, const QString& authCode, const QString& filePath,
                   int& status);
    // What the device's answer means for it: true when it took the file.
    bool judge(const QString& deviceId, const QString& filePath, int status);
    // Stores the operation's failure value as the device's result and raises
    // the alert unless told not to: always false.
    bool fail(const QString& deviceId, int32_t code, int httpStatus, bool alert = true);

    const BatchOperation& m_operation;
    DeviceFacade& m_facade;
    QPointer<PushSessionService> m_pushSessions;
    QPointer<FileUploader> m_running; // while an upload waits
    bool m_abortRequested = false; // for the running device
    std::unique_ptr<FileDigestCache> m_digests;
};
