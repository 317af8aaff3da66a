#pragma once

#include "HttpAnswer.h"
#include "HttpTransfer.h"

#include <QObject>

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <optional>

class QFile;

// One exchange: a libcurl easy handle with the request's body served from
// memory or from its parts, the answer's head counted and its body read
// through bounded callbacks. Lives on the transfer thread from its start;
// reports through queued signals only, so that a receiver gone meanwhile
// hears nothing. Internal to the transport (TransferThread drives it; the
// answer fuzzer drives one on a connection it made itself).
class TransferJob : public QObject
{
    Q_OBJECT

public:
    // No device's answer head comes near these; a peer past them is not
    // answering as a device does, and is cut off before it costs memory or time.
    static constexpr qint64 kMaxHeadBytes = 64 * 1024;
    static constexpr int kMaxHeaderFields = 100;
    static constexpr int kMaxInterimAnswers = 8;

    // The answer crosses to the receiver's thread under a standard mutex
    // rather than as a queued argument: the hand-over is then one that
    // ThreadSanitizer sees, whatever wakes the receiver.
    struct AnswerSlot
    {
        std::mutex lock;
        HttpAnswer answer;
    };

    explicit TransferJob(TransferRequest request);
    ~TransferJob() override;
    TransferJob(const TransferJob&) = delete;
    TransferJob& operator=(const TransferJob&) = delete;

    quint64 id() const { return m_id; }
    const std::shared_ptr<AnswerSlot>& answerSlot() const { return m_slot; }
    QFile* file() const;
    CURL* easy() const { return m_easy; }

    // Builds the easy handle; false (and the end told) when libcurl cannot.
    bool prepare();
    // libcurl is done with the exchange: the verdict and what came.
    void finish(CURLcode code);
    // Ended by the caller: what came so far.
    void abandon();

    // libcurl's header callback (CURLOPT_HEADERFUNCTION, the job as its
    // data): public so that an observer can stand in front of it, as the
    // answer fuzzer does to count the heads libcurl hands over.
    static size_t onHeader(char* data, size_t size, size_t count, void* self);

Q_SIGNALS:
    void progressed(qint64 sent, qint64 total);
    // The answer is in answerSlot().
    void ended();

private:
    void deliver();
    qint64 bodySize() const;
    size_t refuse(HttpAnswer::End end, const QString& text);

    static int onConnected(void* self, char*, char*, int, int);
    bool judgeKey();
    static size_t onRead(char* buffer, size_t size, size_t count, void* self);
    size_t read(char* buffer, size_t room);
    size_t header(const char* data, size_t length);
    static size_t onWrite(char* data, size_t size, size_t count, void* self);
    size_t write(const char* data, size_t length);
    static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t sent);
    void report(qint64 sent, bool last);

    enum class Part { Head, File, Tail, Done };

    const quint64 m_id;
    TransferRequest m_request;
    CURL* m_easy = nullptr;
    curl_slist* m_headers = nullptr;
    char m_errorText[CURL_ERROR_SIZE] = {};

    Part m_part = Part::Head;
    qsizetype m_offset = 0; // into the head or the tail
    qint64 m_fileLeft;
    bool m_started = false;
    qint64 m_reported = 0;

    bool m_headComplete = false;
    qint64 m_headBytes = 0;
    int m_fields = 0;
    int m_interim = 0;

    HttpAnswer m_answer;
    std::shared_ptr<AnswerSlot> m_slot = std::make_shared<AnswerSlot>();
    std::optional<HttpAnswer::End> m_end; // what a callback ended it with
};
