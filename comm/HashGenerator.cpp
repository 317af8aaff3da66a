#include "HashGenerator.h"

#include "Logger.h"

#include <QFile>

#include <openssl/evp.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// A running digest. MD5 goes through libcrypto, whose assembly is faster than
// Qt's portable C (and than md5sum); the other algorithms through Qt.
class Digest
{
public:
    explicit Digest(QCryptographicHash::Algorithm algorithm)
        : m_hash(algorithm)
    {
        if (algorithm != QCryptographicHash::Md5)
            return;
        m_context.reset(EVP_MD_CTX_new());
        // Where libcrypto refuses MD5 (a FIPS-only configuration), Qt's gives
        // the same digest.
        if (m_context && EVP_DigestInit_ex(m_context.get(), EVP_md5(), nullptr) != 1)
            m_context.reset();
    }

    bool add(const char* data, qint64 size)
    {
        if (!m_context) {
            m_hash.addData(QByteArrayView(data, size));
            return true;
        }
        return EVP_DigestUpdate(m_context.get(), data, static_cast<size_t>(size)) == 1;
    }

    QByteArray result()
    {
        if (!m_context)
            return m_hash.result();
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        if (EVP_DigestFinal_ex(m_context.get(), digest, &size) != 1)
            return QByteArray();
        return QByteArray(reinterpret_cast<const char*>(digest), static_cast<qsizetype>(size));
    }

private:
    struct ContextFree
    {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };

    QCryptographicHash m_hash;
    std::unique_ptr<EVP_MD_CTX, ContextFree> m_context;
};

// One read-ahead buffer kept from one digest to the next. A digest runs on
// a thread made for it, and a buffer freed there stays resident in that
// thread's allocator arena; a process that digests a file per batch would
// otherwise keep a copy in every arena its digest threads ever used.
class BufferShelf
{
public:
    static std::vector<char> take(size_t size)
    {
        BufferShelf& shelf = instance();
        const std::lock_guard<std::mutex> lock(shelf.m_mutex);
        std::vector<char> buffer = std::move(shelf.m_kept);
        shelf.m_kept = std::vector<char>();
        if (buffer.size() != size)
            buffer = std::vector<char>(size);
        return buffer;
    }

    // Keeps the buffer unless one is kept already (two digests at once).
    static void put(std::vector<char>&& buffer)
    {
        BufferShelf& shelf = instance();
        const std::lock_guard<std::mutex> lock(shelf.m_mutex);
        if (shelf.m_kept.empty())
            shelf.m_kept = std::move(buffer);
    }

private:
    static BufferShelf& instance()
    {
        static BufferShelf shelf;
        return shelf;
    }

    std::mutex m_mutex;
    std::vector<char> m_kept;
};

// Reads an open file on a thread of its own, in large unbuffered chunks, into
// a few rotating buffers while the caller digests the ones already filled: on
// two cores the reading's copying then costs the digest no time. The file is
// the reader's alone until the object is gone.
class ReadAhead
{
public:
    static constexpr qint64 ChunkSize = 1024 * 1024;
    static constexpr int Chunks = 3;

    explicit ReadAhead(QFile* file)
        : m_buffer(BufferShelf::take(static_cast<size_t>(ChunkSize * Chunks)))
        , m_thread([this, file] { read(file); })
    {
    }

    ~ReadAhead()
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_stopped = true;
        }
        m_changed.notify_all();
        m_thread.join();
        BufferShelf::put(std::move(m_buffer));
    }

    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The next chunk of the file, valid until the next call; null at its end
    // or when reading failed. Hands the previous chunk back to the reader.
    const char* next(qint64& size)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_holding) {
            m_holding = false;
            ++m_digested;
            m_changed.notify_all();
        }
        m_changed.wait(lock, [this] { return m_filled > m_digested || m_finished; });
        if (m_filled == m_digested)
            return nullptr;
        m_holding = true;
        const int chunk = static_cast<int>(m_digested % Chunks);
        size = m_sizes[chunk];
        return m_buffer.data() + chunk * ChunkSize;
    }

private:
    void read(QFile* file)
    {
        for (qint64 chunk = 0;; ++chunk) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_changed.wait(lock, [this] { return m_filled - m_digested < Chunks || m_stopped; });
                if (m_stopped)
                    break;
            }
            const int slot = static_cast<int>(chunk % Chunks);
            const qint64 length = file->read(m_buffer.data() + slot * ChunkSize, ChunkSize);
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (length <= 0)
                break;
            m_sizes[slot] = length;
            ++m_filled;
            m_changed.notify_all();
        }
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_finished = true;
        m_changed.notify_all();
    }

    std::vector<char> m_buffer;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    qint64 m_sizes[Chunks] = {};
    qint64 m_filled = 0; // chunks read so far
    qint64 m_digested = 0; // chunks handed back by the caller
    bool m_holding = false; // the caller has a chunk
    bool m_finished = false; // the reader reads no more
    bool m_stopped = false; // the caller wants no more
    std::thread m_thread; // last: starts when the rest is ready
};

} // namespace

QByteArray HashGenerator::generate(const QByteArray& data, QCryptographicHash::Algorithm algorithm)
{
    return QCryptographicHash::hash(data, algorithm);
}

QByteArray HashGenerator::generate(QFile* file, QCryptographicHash::Algorithm algorithm)
{
    if (file == nullptr)
        return QByteArray();
    // A file that is already open belongs to someone else's reading position.
    if (file->isOpen() || !file->open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        CORVANE_LOG(QStringLiteral("cannot open %1 for its digest: %2").arg(file->fileName(), file->errorString()));
        return QByteArray();
    }
    Digest digest(algorithm);
    bool added = true;
    {
        ReadAhead reader(file);
        qint64 size = 0;
        while (const char* chunk = reader.next(size)) {
            if (!digest.add(chunk, size)) {
                added = false;
                break;
            }
        }
    }
    // The end of the file, not merely the end of what could be read.
    const bool complete = added && file->atEnd();
    const QString error = file->errorString();
    file->close();
    if (!complete) {
        CORVANE_LOG(QStringLiteral("reading %1 for its digest failed: %2").arg(file->fileName(), error));
        return QByteArray();
    }
    return digest.result();
}

QByteArray HashGenerator::generate(const QString& path, QCryptographicHash::Algorithm algorithm)
{
    QFile file(path);
    return generate(&file, algorithm);
}
