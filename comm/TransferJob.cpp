#include "TransferJob.h"

#include "KnownDevices.h"
#include "PeerTrust.h"

#include <QFile>

#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <mutex>

namespace {

// Read from the file, and handed to TLS, at a time (libcurl's own default).
// Between two of them the transfer looks for an answer, so that a device
// that refuses early and closes at once is mostly heard before a write fails
// on the closed connection: a larger buffer writes on blindly for longer
// (512 KiB: 4 of 20 refusals heard), a smaller one costs throughput (16 KiB:
// 0.83 of curl's).
constexpr long kUploadBufferBytes = 64 * 1024;

// From this size on a body asks for the device's leave before it goes: the
// device's wait costs one round trip, at most kExpectWaitMs (and half the
// stall limit, so that the wait is never taken for a stall) when it never
// answers, against seconds of sending.
constexpr qint64 kExpectFromBytes = 1024 * 1024;
constexpr long kExpectWaitMs = 1000;

std::atomic<quint64> s_lastJobId{0};

} // namespace

TransferJob::TransferJob(TransferRequest request)
    : m_id(++s_lastJobId)
    , m_request(std::move(request))
    , m_fileLeft(m_request.streamed ? m_request.streamed->fileSize : 0)
{
}

TransferJob::~TransferJob()
{
    if (m_easy)
        curl_easy_cleanup(m_easy);
    curl_slist_free_all(m_headers);
}

QFile* TransferJob::file() const
{
    return m_request.streamed ? m_request.streamed->file.get() : nullptr;
}

// Builds the easy handle; false (and the end told) when libcurl cannot.
bool TransferJob::prepare()
{
    m_easy = curl_easy_init();
    if (!m_easy) {
        m_answer.end = HttpAnswer::End::Failed;
        m_answer.error = QStringLiteral("libcurl could not start a transfer");
        deliver();
        return false;
    }
    const QByteArray url = m_request.url.toEncoded();
    // The request's own fields (the authorisation), then the body's; and
    // none of the ones libcurl would add on its own.
    for (const QByteArray& line : std::as_const(m_request.headerLines))
        m_headers = curl_slist_append(m_headers, line.constData());
    if (m_request.streamed) {
        for (const auto& [name, value] : m_request.streamed->headers)
            m_headers = curl_slist_append(m_headers, (name + ": " + value).constData());
    }
    for (const char* line : {"Accept:", "Connection: Keep-Alive", "User-Agent: Mozilla/5.0"})
        m_headers = curl_slist_append(m_headers, line);
    // A body of a file waits for the device's leave (Expect: 100-continue,
    // as libcurl and the curl program send for a body past 1 MiB): a device
    // that refuses on the head then answers before any of the body goes, and
    // its refusal is read whole instead of racing the reset of its close.
    // Others are sent at once.
    if (!m_request.streamed || m_request.streamed->size() < kExpectFromBytes)
        m_headers = curl_slist_append(m_headers, "Expect:");

    CURL* e = m_easy;
    curl_easy_setopt(e, CURLOPT_URL, url.constData());
    curl_easy_setopt(e, CURLOPT_PROXY, "");
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    // HTTP/1.1 alone: the devices speak nothing else, and HTTP/2's
    // floods (CONTINUATION, PING) have no place here.
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(e, CURLOPT_SSL_ENABLE_ALPN, 0L);
    // A 3xx is the device's answer: following it would send the
    // credential wherever it points.
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    // A connection of its own: its key is judged for this device alone.
    curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, m_headers);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, m_errorText);
    // Devices sign their own certificates: the trust judges the key
    // instead; TLS 1.2 or later.
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(e, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2));
    // Nothing is verified against them: the system's authorities are
    // not loaded for each exchange.
    curl_easy_setopt(e, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(e, CURLOPT_CAPATH, nullptr);
    // The key the device shows is judged after the handshake, before
    // any byte of the request goes.
    if (m_request.trust) {
        curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &TransferJob::onConnected);
        curl_easy_setopt(e, CURLOPT_PREREQDATA, this);
    }

    if (m_request.post) {
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        if (m_request.streamed) {
            curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(m_request.streamed->size()));
            curl_easy_setopt(e, CURLOPT_READFUNCTION, &TransferJob::onRead);
            curl_easy_setopt(e, CURLOPT_READDATA, this);
            curl_easy_setopt(e, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferBytes);
            curl_easy_setopt(e, CURLOPT_EXPECT_100_TIMEOUT_MS,
                             std::min(kExpectWaitMs, long(std::max(1u, m_request.stallSeconds)) * 500));
        } else {
            curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(m_request.body.size()));
            curl_easy_setopt(e, CURLOPT_POSTFIELDS, m_request.body.constData());
        }
    }
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &TransferJob::onHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &TransferJob::onWrite);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &TransferJob::onProgress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, this);

    // The stall limit: no byte either way for that long ends the
    // exchange, and so does a connection or handshake that takes as long.
    const unsigned stall = std::max(1u, m_request.stallSeconds);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, long(stall));
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, long(stall));
    return true;
}

// libcurl is done with the exchange: the verdict and what came.
void TransferJob::finish(CURLcode code)
{
    long status = 0;
    curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status);
    curl_off_t sent = 0;
    curl_easy_getinfo(m_easy, CURLINFO_SIZE_UPLOAD_T, &sent);
    m_answer.bytesSent = qint64(sent);
    if (status >= 100 && m_headComplete) {
        m_answer.status = int(status);
        // The final answer's fields, as libcurl read them.
        for (curl_header* field = nullptr; (field = curl_easy_nextheader(m_easy, CURLH_HEADER, -1, field)) != nullptr;)
            m_answer.headers.append({QByteArray(field->name), QByteArray(field->value)});
    }
    if (m_end) {
        m_answer.end = *m_end;
    } else if (code == CURLE_OPERATION_TIMEDOUT) {
        m_answer.end = HttpAnswer::End::Stalled;
    } else if ((code == CURLE_SEND_ERROR || code == CURLE_RECV_ERROR) && m_headComplete && m_answer.status >= 300) {
        // A refusal whose head came whole stands, whatever broke after it:
        // a device that refuses and closes with the request's body unread
        // resets the connection, and its status is the answer.
        m_answer.end = HttpAnswer::End::Complete;
    } else if (code != CURLE_OK) {
        // Some of an answer came (a line of its head at least, or what
        // libcurl could not read as one): it broke off; none: the connection
        // failed.
        const bool answered
            = m_answer.status > 0 || m_headBytes > 0 || m_interim > 0 || code == CURLE_WEIRD_SERVER_REPLY;
        m_answer.end = answered ? HttpAnswer::End::Broken : HttpAnswer::End::Failed;
        m_answer.error = m_errorText[0] != '\0' ? QString::fromLocal8Bit(m_errorText)
                                                : QString::fromLatin1(curl_easy_strerror(code));
    } else if (!m_headComplete) {
        m_answer.end = HttpAnswer::End::Broken;
        m_answer.error = QStringLiteral("the device sent no answer");
    } else if (m_answer.status >= 200 && m_answer.status < 300 && m_request.post && m_answer.bytesSent < bodySize()) {
        // A success for a body that did not arrive is no success.
        m_answer.end = HttpAnswer::End::Broken;
        m_answer.error = QStringLiteral("the device answered %1 after %2 of %3 bytes")
                             .arg(m_answer.status)
                             .arg(m_answer.bytesSent)
                             .arg(bodySize());
    } else {
        m_answer.end = HttpAnswer::End::Complete;
        report(m_answer.bytesSent, true);
    }
    deliver();
}

// Ended by the caller: what came so far.
void TransferJob::abandon()
{
    long status = 0;
    if (m_easy && m_headComplete && curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK
        && status >= 100)
        m_answer.status = int(status);
    m_answer.end = HttpAnswer::End::Aborted;
    deliver();
}

void TransferJob::deliver()
{
    {
        std::lock_guard<std::mutex> locker(m_slot->lock);
        m_slot->answer = m_answer;
    }
    Q_EMIT ended();
}

qint64 TransferJob::bodySize() const
{
    return m_request.streamed ? m_request.streamed->size() : m_request.body.size();
}

// Ends the exchange for what the device sent: the first reason sticks,
// and libcurl ends the transfer when the callback returns what this
// returns.
size_t TransferJob::refuse(HttpAnswer::End end, const QString& text)
{
    if (!m_end) {
        m_end = end;
        m_answer.error = text;
    }
    return 0;
}

// The connection stands, its TLS handshake done, and nothing of the
// request went yet: the trust judges the key the device showed.
int TransferJob::onConnected(void* self, char*, char*, int, int)
{
    return static_cast<TransferJob*>(self)->judgeKey() ? CURL_PREREQFUNC_OK : CURL_PREREQFUNC_ABORT;
}

bool TransferJob::judgeKey()
{
    // The certificate the handshake decoded, as libcurl's OpenSSL holds it.
    const curl_tlssessioninfo* tls = nullptr;
    if (curl_easy_getinfo(m_easy, CURLINFO_TLS_SSL_PTR, &tls) == CURLE_OK && tls
        && tls->backend == CURLSSLBACKEND_OPENSSL && tls->internals)
        m_answer.shownKey = KnownDevices::digestOfX509(SSL_get0_peer_certificate(static_cast<SSL*>(tls->internals)));
    const PeerTrust::Verdict verdict
        = m_request.trust->judge(m_request.deviceId, m_request.url.host(), m_answer.shownKey);
    if (verdict == PeerTrust::Verdict::Allowed)
        return true;
    m_answer.refusal = int(verdict);
    refuse(HttpAnswer::End::Refused, QStringLiteral("the device's key was refused"));
    return false;
}

size_t TransferJob::onRead(char* buffer, size_t size, size_t count, void* self)
{
    return static_cast<TransferJob*>(self)->read(buffer, size * count);
}

size_t TransferJob::read(char* buffer, size_t room)
{
    StreamedBody& body = *m_request.streamed;
    if (!m_started) {
        // At once, so that the caller hears of the upload before the
        // device can report on the file.
        m_started = true;
        Q_EMIT progressed(0, body.size());
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
            const qint64 got = body.file->read(buffer + filled, want);
            if (got <= 0) {
                // Shorter than when the body was built: the announced
                // length can no longer be kept.
                refuse(HttpAnswer::End::Failed, QStringLiteral("the file to upload could not be read to its end: %1")
                                                    .arg(body.file->errorString()));
                return CURL_READFUNC_ABORT;
            }
            m_fileLeft -= got;
            filled += size_t(got);
            continue;
        }
        const QByteArray& bytes = m_part == Part::Head ? body.head : body.tail;
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
        report(body.size(), true);
    return filled;
}

// The answer's head, line by line: counted against its bounds, not
// parsed (libcurl parses it).
size_t TransferJob::onHeader(char* data, size_t size, size_t count, void* self)
{
    return static_cast<TransferJob*>(self)->header(data, size * count);
}

size_t TransferJob::header(const char* data, size_t length)
{
    if (m_headComplete)
        return length; // trailers of a chunked answer: not read
    m_headBytes += qint64(length);
    if (m_headBytes > kMaxHeadBytes)
        return refuse(HttpAnswer::End::Broken, QStringLiteral("the answer's head is larger than 64 KiB"));
    const bool blank = (length == 2 && data[0] == '\r') || (length == 1 && data[0] == '\n');
    if (!blank) {
        // The status line starts each head; the fields follow it.
        if (m_fields++ > kMaxHeaderFields)
            return refuse(HttpAnswer::End::Broken,
                          QStringLiteral("the answer has more than %1 header fields").arg(kMaxHeaderFields));
        return length;
    }
    m_fields = 0;
    long status = 0;
    curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status);
    // libcurl takes any three digits; HTTP's statuses end at 599.
    if (status < 100 || status > 599)
        return refuse(HttpAnswer::End::Broken, QStringLiteral("the answer's status %1 is not one of HTTP").arg(status));
    if (status < 200) {
        // An interim answer: the final one follows.
        if (++m_interim > kMaxInterimAnswers)
            return refuse(HttpAnswer::End::Broken,
                          QStringLiteral("more than %1 interim answers").arg(kMaxInterimAnswers));
        m_headBytes = 0;
        return length;
    }
    m_headComplete = true;
    // An announced body past the limit ends the exchange here.
    curl_off_t announced = -1;
    curl_easy_getinfo(m_easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    if (announced > m_request.maxBodyBytes)
        return refuse(HttpAnswer::End::TooLarge,
                      QStringLiteral("an answer of %1 bytes is larger than its limit").arg(qint64(announced)));
    return length;
}

size_t TransferJob::onWrite(char* data, size_t size, size_t count, void* self)
{
    return static_cast<TransferJob*>(self)->write(data, size * count);
}

size_t TransferJob::write(const char* data, size_t length)
{
    if (m_answer.body.size() + qint64(length) > m_request.maxBodyBytes)
        return refuse(HttpAnswer::End::TooLarge,
                      QStringLiteral("the answer is larger than its limit of %1 bytes").arg(m_request.maxBodyBytes));
    m_answer.body.append(data, qsizetype(length));
    return length;
}

int TransferJob::onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t sent)
{
    static_cast<TransferJob*>(self)->report(qint64(sent), false);
    return 0;
}

// A POST body's progress in steps of 1/256 of it (at least 64 KiB), and
// its end; nothing for an empty one.
void TransferJob::report(qint64 sent, bool last)
{
    const qint64 total = bodySize();
    if (!m_request.post || total <= 0)
        return;
    sent = std::clamp<qint64>(sent, 0, total);
    const qint64 step = std::max<qint64>(64 * 1024, total / 256);
    // A streamed body's first report is its start (see read()).
    if ((m_request.streamed && !m_started) || sent == m_reported || (sent < total && sent - m_reported < step && !last))
        return;
    m_reported = sent;
    Q_EMIT progressed(sent, total);
}
