#include "UploadTransfer.h"

#include "KnownDevices.h"
#include "PeerTrust.h"

#include <QSslCertificate>
#include <QThread>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <vector>

namespace {

// Read from the file, and handed to TLS, at a time (libcurl's own default).
// Between two of them the transfer looks for an answer, so that a device
// that refuses early and closes at once is mostly heard before a write fails
// on the closed connection: a larger buffer writes on blindly for longer
// (512 KiB: 4 of 20 refusals heard), a smaller one costs throughput (16 KiB:
// 0.83 of curl's).
constexpr long kUploadBufferBytes = 64 * 1024;
// No device's answer head comes near these; a peer past them is not
// answering as a device does, and is cut off before it costs memory or time.
constexpr qint64 kMaxHeadBytes = 64 * 1024;
constexpr int kMaxHeaderFields = 100;
constexpr int kMaxInterimAnswers = 8;
// How long the thread sleeps when nothing happens; libcurl's own timers and
// the caller's wake-ups end the sleep earlier.
constexpr int kIdlePollMs = 1000;

std::atomic<quint64> s_lastJobId{0};

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// How a transfer libcurl ended reads for a reply's reader.
QNetworkReply::NetworkError replyError(CURLcode code)
{
    switch (code) {
    case CURLE_COULDNT_CONNECT:
        return QNetworkReply::ConnectionRefusedError;
    case CURLE_COULDNT_RESOLVE_HOST:
        return QNetworkReply::HostNotFoundError;
    case CURLE_OPERATION_TIMEDOUT:
        return QNetworkReply::TimeoutError;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_PEER_FAILED_VERIFICATION:
        return QNetworkReply::SslHandshakeFailedError;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        return QNetworkReply::RemoteHostClosedError;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return QNetworkReply::ProtocolFailure;
    default:
        return QNetworkReply::UnknownNetworkError;
    }
}

// "HTTP/1.1 200 OK": the status (-1 when the line has none) and the reason.
int statusOfLine(const QByteArray& line, QByteArray& reason)
{
    const int space = line.indexOf(' ');
    if (space < 0 || line.size() < space + 4)
        return -1;
    const QByteArray digits = line.mid(space + 1, 3);
    if (!std::all_of(digits.cbegin(), digits.cend(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    if (line.size() > space + 4 && line.at(space + 4) != ' ')
        return -1;
    reason = line.mid(space + 5).trimmed();
    return digits.toInt();
}

} // namespace

// One upload: a libcurl easy handle with the body served from its parts, the
// answer's head and body read through bounded callbacks. Lives on the
// transfer thread from its start; reports to its reply through queued
// signals only, so that a reply gone meanwhile hears nothing.
class UploadJob : public QObject
{
    Q_OBJECT

public:
    UploadJob(const QNetworkRequest& request, std::unique_ptr<StreamedBody> body, const UploadLimits& limits,
              const UploadPeer& peer)
        : m_id(++s_lastJobId)
        , m_request(request)
        , m_peer(peer)
        , m_body(std::move(body))
        , m_limits(limits)
        , m_fileLeft(m_body->fileSize)
    {
    }

    ~UploadJob() override
    {
        if (m_easy)
            curl_easy_cleanup(m_easy);
        curl_slist_free_all(m_headers);
    }

    quint64 id() const { return m_id; }
    QFile* file() const { return m_body->file.get(); }
    CURL* easy() const { return m_easy; }

    // Builds the easy handle; false (and the end told) when libcurl cannot.
    bool prepare()
    {
        m_easy = curl_easy_init();
        if (!m_easy) {
            Q_EMIT ended(QNetworkReply::UnknownNetworkError, QStringLiteral("libcurl could not start a transfer"));
            return false;
        }
        const QByteArray url = m_request.url().toEncoded();
        // The request's own fields (the authorisation), then the body's; and
        // none of the ones libcurl would add on its own.
        for (const QByteArray& name : m_request.rawHeaderList())
            m_headers = curl_slist_append(m_headers, (name + ": " + m_request.rawHeader(name)).constData());
        for (const auto& [name, value] : m_body->headers)
            m_headers = curl_slist_append(m_headers, (name + ": " + value).constData());
        for (const char* line : {"Expect:", "Accept:", "Connection: Keep-Alive", "User-Agent: Mozilla/5.0"})
            m_headers = curl_slist_append(m_headers, line);

        CURL* e = m_easy;
        curl_easy_setopt(e, CURLOPT_URL, url.constData());
        curl_easy_setopt(e, CURLOPT_PROXY, "");
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(e, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, m_headers);
        curl_easy_setopt(e, CURLOPT_ERRORBUFFER, m_errorText);
        // Devices sign their own certificates; TLS 1.2 or later, as for the
        // other requests.
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(e, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2));
        // Nothing is verified against them: the system's authorities are
        // not loaded for each upload.
        curl_easy_setopt(e, CURLOPT_CAINFO, nullptr);
        curl_easy_setopt(e, CURLOPT_CAPATH, nullptr);
        // The key the device shows is judged after the handshake, before
        // any byte of the request goes.
        if (m_peer.trust) {
            curl_easy_setopt(e, CURLOPT_CERTINFO, 1L);
            curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &UploadJob::onConnected);
            curl_easy_setopt(e, CURLOPT_PREREQDATA, this);
        }

        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(m_body->size()));
        curl_easy_setopt(e, CURLOPT_READFUNCTION, &UploadJob::onRead);
        curl_easy_setopt(e, CURLOPT_READDATA, this);
        curl_easy_setopt(e, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferBytes);
        curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &UploadJob::onHeader);
        curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &UploadJob::onWrite);
        curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &UploadJob::onProgress);
        curl_easy_setopt(e, CURLOPT_XFERINFODATA, this);

        // The stall limit: no byte either way for that long ends the transfer,
        // and so does a connection or handshake that takes as long.
        const unsigned stall = std::max(1u, m_limits.stallSeconds);
        curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, long(stall));
        curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, long(stall));
        return true;
    }

    // libcurl is done with the transfer: the verdict goes to the reply.
    void finish(CURLcode code)
    {
        if (m_refused != PeerTrust::Verdict::Allowed) {
            Q_EMIT ended(QNetworkReply::SslHandshakeFailedError, QStringLiteral("the device's key was refused"),
                         int(m_refused), m_shownKey);
            return;
        }
        if (m_failure != QNetworkReply::NoError) {
            Q_EMIT ended(m_failure, m_failureText);
            return;
        }
        if (code != CURLE_OK) {
            const QString detail = m_errorText[0] != '\0' ? QString::fromLocal8Bit(m_errorText)
                                                          : QString::fromLatin1(curl_easy_strerror(code));
            Q_EMIT ended(replyError(code), detail);
            return;
        }
        if (!m_headComplete) {
            Q_EMIT ended(QNetworkReply::ProtocolFailure, QStringLiteral("the device sent no answer"));
            return;
        }
        curl_off_t sent = 0;
        curl_easy_getinfo(m_easy, CURLINFO_SIZE_UPLOAD_T, &sent);
        if (m_status >= 200 && m_status < 300 && qint64(sent) < m_body->size()) {
            // A success for a body that did not arrive is no success.
            Q_EMIT ended(QNetworkReply::RemoteHostClosedError,
                         QStringLiteral("the device answered %1 after %2 of %3 bytes")
                             .arg(m_status)
                             .arg(qint64(sent))
                             .arg(m_body->size()));
            return;
        }
        report(qint64(sent), true);
        Q_EMIT ended(QNetworkReply::NoError, QString());
    }

Q_SIGNALS:
    void progressed(qint64 sent, qint64 total);
    void answered(int status, const QByteArray& reason, const QList<QPair<QByteArray, QByteArray>>& headers,
                  qint64 length);
    void received(const QByteArray& bytes);
    // `refused`: a PeerTrust::Verdict other than Allowed when the trust
    // refused the key with the digest `shownKey`.
    void ended(int error, const QString& message, int refused = 0, const QString& shownKey = QString());

private:
    // Refuses what the device sent: the first reason sticks, and libcurl
    // ends the transfer when the callback returns what this returns.
    size_t refuse(QNetworkReply::NetworkError error, const QString& text)
    {
        if (m_failure == QNetworkReply::NoError) {
            m_failure = error;
            m_failureText = text;
        }
        return 0;
    }

    // The connection stands, its TLS handshake done, and nothing of the
    // request went yet: the trust judges the key the device showed.
    static int onConnected(void* self, char*, char*, int, int)
    {
        return static_cast<UploadJob*>(self)->judgeKey() ? CURL_PREREQFUNC_OK : CURL_PREREQFUNC_ABORT;
    }

    bool judgeKey()
    {
        curl_certinfo* chain = nullptr;
        if (curl_easy_getinfo(m_easy, CURLINFO_CERTINFO, &chain) == CURLE_OK && chain && chain->num_of_certs > 0) {
            // The device's own certificate comes first.
            for (curl_slist* field = chain->certinfo[0]; field; field = field->next) {
                const QByteArray text(field->data);
                if (text.startsWith("Cert:"))
                    m_shownKey = KnownDevices::digestOf(QSslCertificate(text.mid(5), QSsl::Pem));
            }
        }
        m_refused = m_peer.trust->judge(m_peer.deviceId, m_request.url().host(), m_shownKey);
        return m_refused == PeerTrust::Verdict::Allowed;
    }

    static size_t onRead(char* buffer, size_t size, size_t count, void* self)
    {
        return static_cast<UploadJob*>(self)->read(buffer, size * count);
    }

    size_t read(char* buffer, size_t room)
    {
        if (!m_started) {
            // At once, so that the caller hears of the upload before the
            // device can report on the file.
            m_started = true;
            Q_EMIT progressed(0, m_body->size());
        }
        size_t filled = 0;
        while (filled < room && m_part != Part::Done) {
            if (m_part == Part::File) {
                const qint64 want = std::min<qint64>(qint64(room - filled), m_fileLeft);
                if (want == 0) {
                    m_part = Part::Tail;
                    m_offset = 0;
                    continue;
                }
                const qint64 got = m_body->file->read(buffer + filled, want);
                if (got <= 0) {
                    // Shorter than when the body was built: the announced
                    // length can no longer be kept.
                    refuse(QNetworkReply::UnknownContentError,
                           QStringLiteral("the file to upload could not be read to its end: %1")
                               .arg(m_body->file->errorString()));
                    return CURL_READFUNC_ABORT;
                }
                m_fileLeft -= got;
                filled += size_t(got);
                continue;
            }
            const QByteArray& bytes = m_part == Part::Head ? m_body->head : m_body->tail;
            const size_t take = std::min(room - filled, size_t(bytes.size() - m_offset));
            std::copy_n(bytes.constData() + m_offset, take, buffer + filled);
            filled += take;
            m_offset += qsizetype(take);
            if (m_offset == bytes.size()) {
                m_part = m_part == Part::Head ? Part::File : Part::Done;
                m_offset = 0;
            }
        }
        // The whole body is handed over: told now, before the device can
        // report on the file, so that the caller hears of it in that order.
        if (m_part == Part::Done)
            report(m_body->size(), true);
        return filled;
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* self)
    {
        return static_cast<UploadJob*>(self)->header(QByteArray(data, qsizetype(size * count)));
    }

    size_t header(const QByteArray& raw)
    {
        const size_t taken = size_t(raw.size());
        if (m_headComplete)
            return taken; // trailers of a chunked answer: not read
        m_headBytes += raw.size();
        if (m_headBytes > kMaxHeadBytes)
            return refuse(QNetworkReply::ProtocolFailure, QStringLiteral("the answer's head is larger than 64 KiB"));
        const QByteArray line = raw.endsWith("\r\n") ? raw.chopped(2) : raw.endsWith('\n') ? raw.chopped(1) : raw;
        if (!m_inHead) {
            QByteArray reason;
            const int status = statusOfLine(line, reason);
            if (!line.startsWith("HTTP/") || status < 0)
                return refuse(QNetworkReply::ProtocolFailure, QStringLiteral("the answer has no status line"));
            if (status < 100)
                return refuse(QNetworkReply::ProtocolFailure,
                              QStringLiteral("the answer's status %1 is not one of HTTP").arg(status));
            m_inHead = true;
            m_status = status;
            m_reason = reason;
            m_fields.clear();
            return taken;
        }
        if (line.isEmpty()) {
            m_inHead = false;
            if (m_status < 200) {
                // An interim answer: the final one follows.
                if (++m_interim > kMaxInterimAnswers)
                    return refuse(QNetworkReply::ProtocolFailure,
                                  QStringLiteral("more than %1 interim answers").arg(kMaxInterimAnswers));
                m_headBytes = 0;
                return taken;
            }
            m_headComplete = true;
            return answer() ? taken : 0;
        }
        if ((line.startsWith(' ') || line.startsWith('\t')) && !m_fields.isEmpty()) {
            // A folded continuation of the field before.
            m_fields.last().second += ' ' + line.trimmed();
            return taken;
        }
        if (m_fields.size() >= kMaxHeaderFields)
            return refuse(QNetworkReply::ProtocolFailure,
                          QStringLiteral("the answer has more than %1 header fields").arg(kMaxHeaderFields));
        const int colon = line.indexOf(':');
        if (colon <= 0)
            return refuse(QNetworkReply::ProtocolFailure, QStringLiteral("a header field without a name"));
        m_fields.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        return taken;
    }

    // The final head is whole: the reply hears of it; an announced body past
    // the limit ends the transfer here.
    bool answer()
    {
        qint64 length = -1;
        for (const auto& [name, value] : std::as_const(m_fields)) {
            if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
                bool ok = false;
                const qint64 announced = value.toLongLong(&ok);
                length = ok && announced >= 0 ? announced : -1;
            }
        }
        Q_EMIT answered(m_status, m_reason, m_fields, length);
        if (length > m_limits.maxResponseBytes) {
            refuse(QNetworkReply::UnknownContentError,
                   QStringLiteral("an answer of %1 bytes is larger than its limit").arg(length));
            return false;
        }
        return true;
    }

    static size_t onWrite(char* data, size_t size, size_t count, void* self)
    {
        return static_cast<UploadJob*>(self)->write(data, size * count);
    }

    size_t write(const char* data, size_t length)
    {
        m_received += qint64(length);
        // Delivered even past the limit, so that the reader sees the size.
        Q_EMIT received(QByteArray(data, qsizetype(length)));
        if (m_received > m_limits.maxResponseBytes)
            return refuse(
                QNetworkReply::UnknownContentError,
                QStringLiteral("the answer is larger than its limit of %1 bytes").arg(m_limits.maxResponseBytes));
        return length;
    }

    static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t sent)
    {
        static_cast<UploadJob*>(self)->report(qint64(sent), false);
        return 0;
    }

    // Progress in steps of 1/256 of the body (at least 64 KiB), and the end.
    void report(qint64 sent, bool last)
    {
        const qint64 total = m_body->size();
        sent = std::clamp<qint64>(sent, 0, total);
        const qint64 step = std::max<qint64>(64 * 1024, total / 256);
        if (!m_started || sent == m_reported || (sent < total && sent - m_reported < step && !last))
            return;
        m_reported = sent;
        Q_EMIT progressed(sent, total);
    }

    enum class Part { Head, File, Tail, Done };

    const quint64 m_id;
    const QNetworkRequest m_request;
    const UploadPeer m_peer;
    std::unique_ptr<StreamedBody> m_body;
    const UploadLimits m_limits;
    CURL* m_easy = nullptr;
    curl_slist* m_headers = nullptr;
    char m_errorText[CURL_ERROR_SIZE] = {};

    Part m_part = Part::Head;
    qsizetype m_offset = 0; // into the head or the tail
    qint64 m_fileLeft;
    bool m_started = false;
    qint64 m_reported = 0;

    bool m_inHead = false;
    bool m_headComplete = false;
    qint64 m_headBytes = 0;
    int m_interim = 0;
    int m_status = -1;
    QByteArray m_reason;
    QList<QPair<QByteArray, QByteArray>> m_fields;
    qint64 m_received = 0;

    QNetworkReply::NetworkError m_failure = QNetworkReply::NoError;
    QString m_failureText;
    QString m_shownKey;
    PeerTrust::Verdict m_refused = PeerTrust::Verdict::Allowed;
};

// The transfer thread's loop: libcurl's multi handle, the jobs it drives,
// and what the caller's thread asks of it (start, cancel, stop), handed over
// under a lock and told by curl_multi_wakeup.
class TransferLoop : public QThread
{
public:
    TransferLoop()
    {
        initCurlOnce();
        m_multi = curl_multi_init();
        setObjectName(QStringLiteral("Corvane transfers"));
    }

    ~TransferLoop() override
    {
        {
            std::lock_guard<std::mutex> locker(m_lock);
            m_stopping = true;
        }
        wake();
        wait();
        // The thread's last steps happened before this, also for tools that
        // do not see inside Qt's wait.
        {
            std::lock_guard<std::mutex> locker(m_lock);
        }
        if (m_multi)
            curl_multi_cleanup(m_multi);
    }

    void add(std::unique_ptr<UploadJob> job)
    {
        {
            std::lock_guard<std::mutex> locker(m_lock);
            m_incoming.push_back(std::move(job));
        }
        wake();
    }

    void cancel(quint64 id)
    {
        {
            std::lock_guard<std::mutex> locker(m_lock);
            m_cancelled.push_back(id);
        }
        wake();
    }

protected:
    void run() override
    {
        if (!m_multi)
            return failAll();
        std::map<quint64, std::unique_ptr<UploadJob>> jobs; // the thread's own
        while (takeRequests(jobs)) {
            int running = 0;
            curl_multi_perform(m_multi, &running);
            int left = 0;
            while (CURLMsg* message = curl_multi_info_read(m_multi, &left)) {
                if (message->msg != CURLMSG_DONE)
                    continue;
                const auto found = std::find_if(jobs.begin(), jobs.end(), [message](const auto& entry) {
                    return entry.second->easy() == message->easy_handle;
                });
                if (found == jobs.end())
                    continue;
                const CURLcode code = message->data.result;
                curl_multi_remove_handle(m_multi, message->easy_handle);
                found->second->finish(code);
                jobs.erase(found);
            }
            curl_multi_poll(m_multi, nullptr, 0, kIdlePollMs, nullptr);
        }
        for (auto& [id, job] : jobs)
            curl_multi_remove_handle(m_multi, job->easy());
        jobs.clear();
        // Jobs started after the stop go with the thread they were moved to.
        std::lock_guard<std::mutex> locker(m_lock);
        m_incoming.clear();
    }

private:
    void wake()
    {
        if (m_multi)
            curl_multi_wakeup(m_multi);
    }

    // Takes what the caller's thread asked for; false once it asks to stop.
    bool takeRequests(std::map<quint64, std::unique_ptr<UploadJob>>& jobs)
    {
        std::vector<std::unique_ptr<UploadJob>> incoming;
        std::vector<quint64> cancelled;
        {
            std::lock_guard<std::mutex> locker(m_lock);
            if (m_stopping)
                return false;
            incoming.swap(m_incoming);
            cancelled.swap(m_cancelled);
        }
        for (std::unique_ptr<UploadJob>& job : incoming) {
            if (!job->prepare())
                continue;
            if (curl_multi_add_handle(m_multi, job->easy()) != CURLM_OK) {
                job->finish(CURLE_FAILED_INIT);
                continue;
            }
            jobs.emplace(job->id(), std::move(job));
        }
        for (const quint64 id : cancelled) {
            const auto found = jobs.find(id);
            if (found == jobs.end())
                continue;
            curl_multi_remove_handle(m_multi, found->second->easy());
            jobs.erase(found);
        }
        return true;
    }

    // Without a multi handle nothing can run: each job ends at once.
    void failAll()
    {
        for (;;) {
            std::vector<std::unique_ptr<UploadJob>> incoming;
            {
                std::lock_guard<std::mutex> locker(m_lock);
                if (m_stopping)
                    return;
                incoming.swap(m_incoming);
            }
            for (std::unique_ptr<UploadJob>& job : incoming)
                job->finish(CURLE_FAILED_INIT);
            msleep(50);
        }
    }

    CURLM* m_multi = nullptr;
    // A standard mutex rather than Qt's, so that ThreadSanitizer sees the
    // hand-over. Guards the three below.
    std::mutex m_lock;
    std::vector<std::unique_ptr<UploadJob>> m_incoming;
    std::vector<quint64> m_cancelled;
    bool m_stopping = false;
};

TransferThread::TransferThread()
    : m_loop(std::make_unique<TransferLoop>())
{
    m_loop->start();
}

TransferThread::~TransferThread() = default;

void TransferThread::start(std::unique_ptr<UploadJob> job)
{
    // The file is read there from now on, and goes with the job.
    job->file()->moveToThread(m_loop.get());
    job->moveToThread(m_loop.get());
    m_loop->add(std::move(job));
}

void TransferThread::cancel(quint64 id)
{
    m_loop->cancel(id);
}

UploadReply::UploadReply(const std::shared_ptr<TransferThread>& thread, const QNetworkRequest& request,
                         std::unique_ptr<StreamedBody> body, const UploadLimits& limits, const UploadPeer& peer,
                         QObject* parent)
    : QNetworkReply(parent)
    , m_thread(thread)
{
    setRequest(request);
    setUrl(request.url());
    setOperation(QNetworkAccessManager::PostOperation);
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);

    auto job = std::make_unique<UploadJob>(request, std::move(body), limits, peer);
    m_id = job->id();
    // Queued: the job reports from the transfer thread.
    connect(job.get(), &UploadJob::progressed, this, &QNetworkReply::uploadProgress, Qt::QueuedConnection);
    connect(job.get(), &UploadJob::answered, this, &UploadReply::onAnswered, Qt::QueuedConnection);
    connect(job.get(), &UploadJob::received, this, &UploadReply::onReceived, Qt::QueuedConnection);
    connect(
        job.get(), &UploadJob::ended, this,
        [this](int error, const QString& message, int refused, const QString& shownKey) {
            if (refused != int(PeerTrust::Verdict::Allowed)) {
                setProperty(kRefusedProperty, refused);
                setProperty(kShownKeyProperty, shownKey);
            }
            end(static_cast<NetworkError>(error), message);
        },
        Qt::QueuedConnection);
    thread->start(std::move(job));
}

UploadReply::~UploadReply()
{
    if (!isFinished()) {
        if (const std::shared_ptr<TransferThread> thread = m_thread.lock())
            thread->cancel(m_id);
    }
}

void UploadReply::abort()
{
    if (isFinished())
        return;
    if (const std::shared_ptr<TransferThread> thread = m_thread.lock())
        thread->cancel(m_id);
    end(OperationCanceledError, QStringLiteral("Operation canceled"));
}

void UploadReply::close()
{
    abort();
    QNetworkReply::close();
}

qint64 UploadReply::bytesAvailable() const
{
    return m_body.size() + QNetworkReply::bytesAvailable();
}

qint64 UploadReply::readData(char* data, qint64 maxSize)
{
    const qsizetype count = static_cast<qsizetype>(std::min<qint64>(maxSize, m_body.size()));
    if (count == 0)
        return isFinished() ? -1 : 0;
    std::copy_n(m_body.constData(), count, data);
    m_body.remove(0, count);
    return count;
}

void UploadReply::onAnswered(int status, const QByteArray& reason, const QList<QPair<QByteArray, QByteArray>>& headers,
                             qint64 length)
{
    if (isFinished())
        return;
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, status);
    setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, reason);
    // Fields of the same name read as one, their values joined as Qt does.
    QList<QByteArray> seen;
    for (const auto& [name, value] : headers) {
        const QByteArray key = name.toLower();
        if (seen.contains(key)) {
            setRawHeader(name, rawHeader(name) + ", " + value);
        } else {
            seen.append(key);
            setRawHeader(name, value);
        }
    }
    m_length = length;
    Q_EMIT metaDataChanged();
    // The announced size, so that the reader can refuse it before the body.
    if (length > 0 && !isFinished())
        Q_EMIT downloadProgress(0, length);
}

void UploadReply::onReceived(const QByteArray& bytes)
{
    if (isFinished())
        return;
    m_body += bytes;
    m_received += bytes.size();
    Q_EMIT downloadProgress(m_received, m_length);
    // The access manager may have cut the answer off meanwhile.
    if (!isFinished())
        Q_EMIT readyRead();
}

void UploadReply::end(NetworkError error, const QString& message)
{
    if (isFinished())
        return;
    if (error != NoError) {
        setError(error, message);
        Q_EMIT errorOccurred(error);
    }
    setFinished(true);
    Q_EMIT finished();
}

#include "UploadTransfer.moc"
