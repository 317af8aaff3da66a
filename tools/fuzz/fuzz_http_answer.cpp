// libFuzzer target: arbitrary bytes as a device's HTTP answer, head and body,
// read by the transport's own exchange (TransferJob, its libcurl handle and
// its bounded callbacks) over plain HTTP on loopback: libcurl connects to the
// fuzzer's listening socket, the fuzzer writes the answer into the accepted
// connection and then closes its side. The first byte chooses the request (GET or a small POST)
// and the answer body's limit. Checks after each answer, beside ASan/UBSan
// and libFuzzer's own leak and hang checks:
//   - a head (any interim one or the final one) past 64 KiB or 100 fields,
//     or more than 8 interim answers, ends Broken;
//   - a Complete end has a status of 100..599, a body within the limit and
//     at most 100 fields;
//   - a body past the limit never ends Complete.
// The heads' lines are counted on their way from libcurl to the exchange's
// header callback.
#include "TransferJob.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr qint64 kLimits[] = {0, 16, 4096, 1024 * 1024};

// Names the invariant that broke, with the end and status the exchange told.
void require(bool ok, const char* what = "set-up", const HttpAnswer* answer = nullptr)
{
    if (ok)
        return;
    std::fprintf(stderr, "fuzz_http_answer: %s (end %d, status %d: %s)\n", what, answer ? int(answer->end) : -1,
                 answer ? answer->status : -1, answer ? qPrintable(answer->error) : "");
    abort();
}

// The heads as libcurl read them: per head its bytes and fields, and whether
// one passed the transport's bounds.
struct Heads
{
    qint64 bytes = 0;
    int fields = -1; // the status line is not one
    int interim = 0;
    bool beyond = false;
    bool finalSeen = false;
};

// Stands in front of the exchange's header callback: the same lines, counted
// here by their bounds, then handed on unchanged.
struct Watch
{
    Heads heads;
    CURL* easy = nullptr;
    TransferJob* job = nullptr;
};

size_t watch(char* data, size_t size, size_t count, void* self)
{
    Watch& watch = *static_cast<Watch*>(self);
    Heads& heads = watch.heads;
    const size_t length = size * count;
    if (!heads.finalSeen) {
        const bool blank = (length == 2 && data[0] == '\r') || (length == 1 && data[0] == '\n');
        heads.bytes += qint64(length);
        if (!blank)
            ++heads.fields;
        if (heads.bytes > TransferJob::kMaxHeadBytes || heads.fields > TransferJob::kMaxHeaderFields)
            heads.beyond = true;
        if (blank) {
            long status = 0;
            curl_easy_getinfo(watch.easy, CURLINFO_RESPONSE_CODE, &status);
            if (status >= 100 && status < 200) {
                if (++heads.interim > TransferJob::kMaxInterimAnswers)
                    heads.beyond = true;
            } else {
                heads.finalSeen = true;
            }
            heads.bytes = 0;
            heads.fields = -1;
        }
    }
    return TransferJob::onHeader(data, size, count, watch.job);
}

CURLM* s_multi = nullptr;
int s_listener = -1;
QUrl s_url;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    s_multi = curl_multi_init();
    s_listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    require(s_multi && s_listener >= 0 && bind(s_listener, reinterpret_cast<sockaddr*>(&address), length) == 0
            && listen(s_listener, 16) == 0
            && getsockname(s_listener, reinterpret_cast<sockaddr*>(&address), &length) == 0);
    s_url = QUrl(QStringLiteral("http://127.0.0.1:%1/api/v1/files/firmware").arg(ntohs(address.sin_port)));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t choice = data[0];
    const char* answer = reinterpret_cast<const char*>(data + 1);
    size_t left = size - 1;

    TransferRequest request;
    request.url = s_url;
    request.headerLines = {QByteArrayLiteral("Authorization: Basic YWRtaW46YzBkZQ==")};
    request.post = (choice & 1) != 0;
    if (request.post)
        request.body = QByteArrayLiteral("{\"name\":\"fuzz\"}");
    request.maxBodyBytes = kLimits[(choice >> 1) & 3];
    request.stallSeconds = 1;
    const qint64 limit = request.maxBodyBytes;

    Watch watched;
    const Heads& heads = watched.heads;
    {
        TransferJob job(std::move(request));
        require(job.prepare());
        CURL* easy = job.easy();
        watched.easy = easy;
        watched.job = &job;
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &watch);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &watched);
        require(curl_multi_add_handle(s_multi, easy) == CURLM_OK);

        int device = -1;
        bool closed = false;
        for (;;) {
            int running = 0;
            curl_multi_perform(s_multi, &running);
            int queued = 0;
            CURLMsg* message = curl_multi_info_read(s_multi, &queued);
            if (message && message->msg == CURLMSG_DONE) {
                const CURLcode code = message->data.result;
                curl_multi_remove_handle(s_multi, easy);
                job.finish(code);
                break;
            }
            // The request is read and dropped; the answer goes out as far as
            // the pair takes it, then the device's side closes.
            if (device < 0)
                device = accept4(s_listener, nullptr, nullptr, SOCK_NONBLOCK);
            if (device < 0) {
                curl_waitfd listening{s_listener, CURL_WAIT_POLLIN, 0};
                curl_multi_wait(s_multi, &listening, 1, 100, nullptr);
                continue;
            }
            char sink[16384];
            while (read(device, sink, sizeof sink) > 0) { }
            while (left > 0) {
                const ssize_t wrote = write(device, answer, left);
                if (wrote <= 0)
                    break;
                answer += wrote;
                left -= size_t(wrote);
            }
            if (left == 0 && !closed) {
                shutdown(device, SHUT_WR);
                closed = true;
            }
            curl_waitfd waited{device, short(CURL_WAIT_POLLIN | (left > 0 ? CURL_WAIT_POLLOUT : 0)), 0};
            curl_multi_wait(s_multi, &waited, 1, 100, nullptr);
        }
        if (device >= 0) {
            // Closed at once, without TIME_WAIT: millions of connections
            // would otherwise use up the loopback's ports.
            const linger reset{1, 0};
            setsockopt(device, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            close(device);
        }

        const HttpAnswer got = job.answerSlot()->answer;
        if (heads.beyond)
            require(got.end == HttpAnswer::End::Broken, "a head past its bounds did not end Broken", &got);
        if (got.end == HttpAnswer::End::Complete) {
            require(got.status >= 100 && got.status <= 599, "a complete answer with no HTTP status", &got);
            require(got.headers.size() <= TransferJob::kMaxHeaderFields, "a complete answer past 100 fields", &got);
        }
        require(got.body.size() <= limit, "a body past its limit was kept", &got);
    }
    return 0;
}
