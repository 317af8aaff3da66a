#pragma once

#include "ResultCode.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class HttpAccessManager;
class HttpExchange;
class MultiPartBody;

// Sends one built MultiPartBody to one device as an HTTPS POST through the
// process-wide HttpAccessManager, relays the upload progress of its own
// request (and only of it) and gives access to the answer. Lives on the thread
// that runs the manager (the user-interface thread). The body and the path are
// not owned; both must outlive the uploader. The uploader deletes its request
// from the manager when it is destroyed.
class FileUploader : public QObject
{
    Q_OBJECT

public:
    // upload() before the body was built.
    static constexpr int32_t kNoBody = ResultCode::failure(ResultCode::Facility::FileUploader, 0x0001);
    // upload() again after this uploader sent its body: the body's file part
    // has been read to its end and would go out empty.
    static constexpr int32_t kAlreadySent = ResultCode::failure(ResultCode::Facility::FileUploader, 0x0002);

    // For the device `deviceId` at `host`: the key its connection shows must
    // be that device's pin.
    FileUploader(const QString& deviceId, const QString& host, const char* path, MultiPartBody* body,
                 QObject* parent = nullptr);
    // For no device in particular: an access manager with a trust refuses it.
    FileUploader(const QString& host, const char* path, MultiPartBody* body, QObject* parent = nullptr);
    ~FileUploader() override;

    // Posts the body to port 60010 of the host and returns once the answer has
    // come (0; a transport failure shows in getResponseStatusCode) or the
    // time-out has passed (the manager's time-out code). kNoBody without a
    // built body, kAlreadySent once the body went out (the first answer stays
    // readable); 0 ms gives the manager's code for a zero time-out, and a later
    // call may try again. Waits in the manager's synchronous send, so the
    // caller's events keep flowing. A body goes out once: give each upload a
    // body of its own.
    int32_t upload(const QString& authenticationCode, unsigned timeoutMs);
    // The same without waiting, for uploads side by side: 0 once sent, and
    // `done` is called once, later, with what the send came to (0 when
    // answered, the manager's time-out code, ...); the answer is then read as
    // after upload(). A failure before sending is returned at once and
    // `done` is not called. Nothing is called once the uploader is gone.
    int32_t uploadAsync(const QString& authenticationCode, unsigned timeoutMs,
                        const std::function<void(int32_t)>& done);

    // How long a later upload may move no byte before it ends as a time-out
    // (the manager's default of 60 s unless set; 0 gives the manager's code
    // for a zero time-out at the upload).
    void setStallTimeout(unsigned seconds) { m_stallSeconds = seconds; }

    // Ends the upload that runs: its send comes to the manager's kAborted (an
    // upload() waiting returns it). Nothing when none runs.
    void abort();

    // The manager's answers for this uploader's request.
    int32_t getResponseStatusCode(int& status);
    int32_t getResponseHeader(const char* name, std::string& value);
    int32_t getResponseBody(QByteArray& body);

    // -1 while no request exists.
    int requestId() const;

Q_SIGNALS:
    // `device`: the device's id, or the host for an uploader for no device.
    void uploadProgress(QString device, qint64 bytesSent, qint64 bytesTotal);

public Q_SLOTS:
    // Re-emits progress of this uploader's own request; others are ignored.
    void onReceivedUploadProgress(qint64 bytesSent, qint64 bytesTotal, int requestId);

private:
    int32_t send(const QString& authenticationCode, unsigned timeoutMs, const std::function<void()>& answered);

    HttpAccessManager& m_http;
    std::unique_ptr<HttpExchange> m_exchange;
    bool m_bodySent = false;
    unsigned m_stallSeconds = 0; // 0: the manager's default
    QString m_deviceId;
    QString m_host;
    const char* m_path;
    MultiPartBody* m_body;
};
