#include "HttpTransfer.h"

#include "TransferJob.h"

#include <QThread>

#include <curl/curl.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

namespace {

// How long the thread sleeps when nothing happens; libcurl's own timers and
// the caller's wake-ups end the sleep earlier.
constexpr int kIdlePollMs = 1000;

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

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

    void add(std::unique_ptr<TransferJob> job)
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
        std::map<quint64, std::unique_ptr<TransferJob>> jobs; // the thread's own
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
    bool takeRequests(std::map<quint64, std::unique_ptr<TransferJob>>& jobs)
    {
        std::vector<std::unique_ptr<TransferJob>> incoming;
        std::vector<quint64> cancelled;
        {
            std::lock_guard<std::mutex> locker(m_lock);
            if (m_stopping)
                return false;
            incoming.swap(m_incoming);
            cancelled.swap(m_cancelled);
        }
        for (std::unique_ptr<TransferJob>& job : incoming) {
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
            found->second->abandon();
            jobs.erase(found);
        }
        return true;
    }

    // Without a multi handle nothing can run: each job ends at once.
    void failAll()
    {
        for (;;) {
            std::vector<std::unique_ptr<TransferJob>> incoming;
            {
                std::lock_guard<std::mutex> locker(m_lock);
                if (m_stopping)
                    return;
                incoming.swap(m_incoming);
            }
            for (std::unique_ptr<TransferJob>& job : incoming)
                job->finish(CURLE_FAILED_INIT);
            msleep(50);
        }
    }

    CURLM* m_multi = nullptr;
    // A standard mutex rather than Qt's, so that ThreadSanitizer sees the
    // hand-over. Guards the three below.
    std::mutex m_lock;
    std::vector<std::unique_ptr<TransferJob>> m_incoming;
    std::vector<quint64> m_cancelled;
    bool m_stopping = false;
};

TransferThread::TransferThread()
    : m_loop(std::make_unique<TransferLoop>())
{
    m_loop->start();
}

TransferThread::~TransferThread() = default;

quint64 TransferThread::start(TransferRequest request, QObject* context, const Progress& progressed, const Ended& ended)
{
    auto job = std::make_unique<TransferJob>(std::move(request));
    // Queued: the job reports from the transfer thread; nothing reaches a
    // context gone meanwhile.
    if (progressed)
        QObject::connect(job.get(), &TransferJob::progressed, context, progressed, Qt::QueuedConnection);
    QObject::connect(
        job.get(), &TransferJob::ended, context,
        [slot = job->answerSlot(), ended] {
            HttpAnswer answer;
            {
                std::lock_guard<std::mutex> locker(slot->lock);
                answer = slot->answer;
            }
            ended(answer);
        },
        Qt::QueuedConnection);
    const quint64 id = job->id();
    // The file is read there from now on, and goes with the job.
    if (QFile* file = job->file())
        file->moveToThread(m_loop.get());
    job->moveToThread(m_loop.get());
    m_loop->add(std::move(job));
    return id;
}

void TransferThread::cancel(quint64 id)
{
    m_loop->cancel(id);
}
