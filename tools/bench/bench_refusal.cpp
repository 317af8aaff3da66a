// Figures for scripts/bench-refusal.sh: how often an upload hears a device's
// early refusal. A TLS server on loopback reads a multipart upload's head,
// answers 403 or 413 at once and closes with the body unread (a reset), or
// does so after 256 KiB of the body (`after-body`); each try
// uploads the file once through the transport (HttpAccessManager) and once
// with the curl program, alternating, and counts the tries whose refusal was
// read.
//   bench_refusal <file> <tries> head|after-body <status>...
// Prints per status one line: status=N tries=N ours=N curl=N; exit status 0
// when every try could be made.

#include "HostileTlsServer.h"
#include "HttpAccessManager.h"
#include "MultiPartBody.h"
#include "StreamedBody.h"

#include <QCoreApplication>
#include <QProcess>

#include <cstdio>

namespace {

// The transport: the status read, or -1.
int ours(quint16 port, const QString& file)
{
    HttpAccessManager http;
    int id = -1;
    if (http.createSyncRequest("https", "127.0.0.1", "/api/v1/files/firmware", nullptr, port, id, "c0de") != 0
        || http.setTimeout(id, 60000) != 0)
        return -1;
    MultiPartBody body(file);
    if (body.generate() != 0)
        return -1;
    http.sendPostRequest(id, body.takeStreamedBody());
    int status = -1;
    return http.getResponseStatusCode(id, status) == 0 ? status : -1;
}

// The curl program as a person runs it: the status it read, or -1.
int curl(quint16 port, const QString& file)
{
    QProcess process;
    process.start(QStringLiteral("curl"),
                  {QStringLiteral("-sk"), QStringLiteral("--noproxy"), QStringLiteral("*"), QStringLiteral("-o"),
                   QStringLiteral("/dev/null"), QStringLiteral("-w"), QStringLiteral("%{http_code}"),
                   QStringLiteral("-F"), QStringLiteral("file=@") + file,
                   QStringLiteral("https://127.0.0.1:%1/api/v1/files/firmware").arg(port)});
    if (!process.waitForFinished(60000))
        return -1;
    bool ok = false;
    const int status = process.readAllStandardOutput().trimmed().toInt(&ok);
    return ok && status > 0 ? status : -1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 5) {
        std::fprintf(stderr, "usage: bench_refusal <file> <tries> head|after-body <status>...\n");
        return 2;
    }
    const QString file = args.at(1);
    const int tries = args.at(2).toInt();
    const HostileTlsServer::Play play = args.at(3) == QLatin1String("after-body")
                                            ? HostileTlsServer::Play::EarlyRefusal
                                            : HostileTlsServer::Play::RefusalOnHead;
    for (int index = 4; index < args.size(); ++index) {
        const int status = args.at(index).toInt();
        HostileTlsServer server(play, 0, status);
        if (server.port() == 0)
            return 1;
        int heardOurs = 0;
        int heardCurl = 0;
        for (int attempt = 0; attempt < tries; ++attempt) {
            heardOurs += ours(server.port(), file) == status ? 1 : 0;
            heardCurl += curl(server.port(), file) == status ? 1 : 0;
        }
        std::printf("status=%d tries=%d ours=%d curl=%d\n", status, tries, heardOurs, heardCurl);
        std::fflush(stdout);
    }
    return 0;
}
