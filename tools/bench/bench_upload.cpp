// Figures for scripts/bench-upload.sh, one measurement per run:
//   bench_upload hash <file>                      MD5 of the file by HashGenerator
//   bench_upload upload <host> <file> <code>      firmware upload through FileUploader
// Prints one line of key=value pairs; exit status 0 when the step worked.

#include "DeviceEndpoints.h"
#include "FileUploader.h"
#include "HashGenerator.h"
#include "MultiPartBody.h"
#include "ResultCode.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

#include <sys/resource.h>

namespace {

qint64 statusKiB(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Lets VmHWM start again from the present resident size.
bool resetPeak()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
}

int hash(const QString& path)
{
    QElapsedTimer clock;
    clock.start();
    const QByteArray digest = HashGenerator::generate(path, QCryptographicHash::Md5);
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    std::printf("md5=%s seconds=%.3f bytes=%lld\n", digest.toHex().constData(), seconds,
                static_cast<long long>(QFileInfo(path).size()));
    return digest.isEmpty() ? 1 : 0;
}

// CPU time of the whole process (every thread), user and system, in seconds.
double processCpuSeconds()
{
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return 0.0;
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

int upload(const QString& host, const QString& path, const QString& code)
{
    MultiPartBody body(path);
    const int32_t built = body.generate();
    if (built != 0) {
        std::fprintf(stderr, "building the body failed: %s\n", qPrintable(ResultCode::toHex(built)));
        return 1;
    }
    FileUploader uploader(host, DeviceEndpoints::kFirmwarePath, &body);
    qint64 total = 0;
    QObject::connect(&uploader, &FileUploader::uploadProgress,
                     [&total](const QString&, qint64, qint64 bytesTotal) { total = bytesTotal; });
    const bool peakReset = resetPeak();
    const qint64 before = statusKiB("VmRSS");
    const double cpuBefore = processCpuSeconds();
    QElapsedTimer clock;
    clock.start();
    const int32_t result = uploader.upload(code, 3600000);
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    const double cpu = processCpuSeconds() - cpuBefore;
    const qint64 peak = statusKiB("VmHWM");
    int status = 0;
    uploader.getResponseStatusCode(status);
    std::printf("result=%s status=%d seconds=%.3f cpu_seconds=%.3f bytes=%lld rss_before_kib=%lld peak_kib=%lld "
                "peak_reset=%d\n",
                qPrintable(ResultCode::toHex(result)), status, seconds, cpu, static_cast<long long>(total),
                static_cast<long long>(before), static_cast<long long>(peak), peakReset ? 1 : 0);
    return result == 0 && status == 200 ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() == 3 && arguments.at(1) == QLatin1String("hash"))
        return hash(arguments.at(2));
    if (arguments.size() == 5 && arguments.at(1) == QLatin1String("upload"))
        return upload(arguments.at(2), arguments.at(3), arguments.at(4));
    std::fprintf(stderr, "usage: bench_upload hash <file> | upload <host> <file> <authentication code>\n");
    return 2;
}
