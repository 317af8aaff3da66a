// The upload body: the extension table, its failure codes, and the exact bytes
// that go on the wire, captured by a plain HTTP listener on loopback.

#include "MultiPartBody.h"
#include "RecordingHttpServer.h"
#include "TestTools.h"

#include <QCryptographicHash>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <unistd.h>

namespace {

struct Part
{
    QList<QByteArray> headers; // header lines as sent
    QByteArray body;
};

// Splits a multipart body by its boundary; empty on any deviation from the
// envelope (preamble, missing close delimiter, part without a header end).
QList<Part> splitMultipart(const QByteArray& body, const QByteArray& boundary, QString& error)
{
    QList<Part> parts;
    const QByteArray delimiter = "--" + boundary;
    if (!body.startsWith(delimiter + "\r\n")) {
        error = QStringLiteral("no opening delimiter");
        return {};
    }
    qsizetype position = delimiter.size() + 2;
    for (;;) {
        const qsizetype next = body.indexOf("\r\n" + delimiter, position);
        if (next < 0) {
            error = QStringLiteral("unterminated part");
            return {};
        }
        const QByteArray whole = body.mid(position, next - position);
        const qsizetype headEnd = whole.indexOf("\r\n\r\n");
        if (headEnd < 0) {
            error = QStringLiteral("part without a header end");
            return {};
        }
        Part part;
        part.headers = whole.left(headEnd).split('\n');
        for (QByteArray& line : part.headers)
            line = line.trimmed();
        part.body = whole.mid(headEnd + 4);
        parts.append(part);
        position = next + 2 + delimiter.size();
        if (body.mid(position, 2) == "--") {
            if (body.mid(position + 2) != "\r\n" && !body.mid(position + 2).isEmpty()) {
                error = QStringLiteral("bytes after the close delimiter");
                return {};
            }
            return parts;
        }
        if (body.mid(position, 2) != "\r\n") {
            error = QStringLiteral("delimiter not followed by a line end");
            return {};
        }
        position += 2;
    }
}

} // namespace

class TestMultiPartBody : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString writeFile(const QString& name, const QByteArray& content) { return writeTestFile(m_dir, name, content); }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void contentTypes_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("contentType");
        QTest::addColumn<QString>("disposition");
        QTest::newRow("bundle") << 1 << "application/octet-stream"
                                << "form-data; name=\"firmware_file\"; filename=\"f.x\"";
        QTest::newRow("xml") << 2 << "text/xml"
                             << "form-data; name=\"configuration_file\"; filename=\"f.x\"";
        QTest::newRow("jpeg") << 3 << "image/jpeg"
                              << "form-data; name=\"standby_screen_image_file\"; filename=\"f.x\"";
        QTest::newRow("png") << 4 << "image/png"
                             << "form-data; name=\"standby_screen_image_file\"; filename=\"f.x\"";
        QTest::newRow("zero") << 0 << ""
                              << "";
        QTest::newRow("five") << 5 << ""
                              << "";
    }

    void contentTypes()
    {
        QFETCH(int, type);
        QFETCH(QString, contentType);
        QFETCH(QString, disposition);
        const MultiPartBody body(QStringLiteral("unused"));
        const auto fileType = MultiPartBody::FileType(type);
        QCOMPARE(body.getDataContentTypeFromFileType(fileType), contentType);
        QCOMPARE(body.getDataContentDispositionFromFile(fileType, QStringLiteral("f.x")), disposition);
    }

    void failures_data()
    {
        QTest::addColumn<QString>("name"); // written unless it starts with '-'
        QTest::addColumn<quint32>("code");
        QTest::newRow("missing file") << "-missing.bundle" << 0x80090002u;
        QTest::newRow("directory") << "-" << 0x80090002u;
        QTest::newRow("text file") << "notes.txt" << 0x80090003u;
        QTest::newRow("no extension") << "bundle" << 0x80090003u;
        QTest::newRow("extension not last") << "image.png.txt" << 0x80090003u;
        QTest::newRow("trailing dot") << "firmware.bundle." << 0x80090003u;
        QTest::newRow("gif") << "picture.gif" << 0x80090003u;
        QTest::newRow("quote in the name") << "fw\"; name=\"x.bundle" << 0x80090003u;
        QTest::newRow("line break in the name") << "fw\r\nX-Injected: 1\r\n.bundle" << 0x80090003u;
        QTest::newRow("backslash in the name") << "fw\\x.bundle" << 0x80090003u;
        QTest::newRow("control character in the name") << "fw\x1b[2J.bundle" << 0x80090003u;
    }

    void failures()
    {
        QFETCH(QString, name);
        QFETCH(quint32, code);
        QString path;
        if (name.startsWith(QLatin1Char('-')))
            path = m_dir.filePath(name.mid(1));
        else
            path = writeFile(name, "content");
        QVERIFY(!path.isEmpty() || name.startsWith(QLatin1Char('-')));
        MultiPartBody body(path);
        QCOMPARE(quint32(body.generate()), code);
        QVERIFY(body.multiPart() == nullptr);
    }

    // Built with a digest computed beforehand: none at all fails as an
    // undigestible file does, a file gone since then as a missing file part.
    void givenDigest_data()
    {
        QTest::addColumn<bool>("digestGiven");
        QTest::addColumn<bool>("fileKept");
        QTest::addColumn<quint32>("code");
        QTest::newRow("digest and file") << true << true << 0u;
        QTest::newRow("no digest") << false << true << 0x80090002u;
        QTest::newRow("file gone since") << true << false << 0x80090003u;
    }

    void givenDigest()
    {
        QFETCH(bool, digestGiven);
        QFETCH(bool, fileKept);
        QFETCH(quint32, code);
        const QString path = writeFile(QStringLiteral("given.bundle"), "content");
        QVERIFY(!path.isEmpty());
        const QByteArray digest
            = digestGiven ? QCryptographicHash::hash("content", QCryptographicHash::Md5) : QByteArray();
        if (!fileKept)
            QVERIFY(QFile::remove(path));
        MultiPartBody body(path);
        QCOMPARE(quint32(body.generate(digest)), code);
        QCOMPARE(body.multiPart() != nullptr, code == 0);
    }

    void unreadableFile()
    {
        if (::geteuid() == 0)
            QSKIP("root reads files without read permission");
        const QString path = writeFile(QStringLiteral("locked.bundle"), "content");
        QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));
        MultiPartBody body(path);
        QCOMPARE(quint32(body.generate()), 0x80090002u);
    }

    // The whole body as a client sends it: envelope, both parts' headers, the
    // digest and the file's bytes unchanged.
    void wire_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qsizetype>("size");
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<QByteArray>("contentType");
        QTest::newRow("bundle") << "tq-2.7.1.bundle" << qsizetype(200000) << QByteArray("firmware_file")
                                << QByteArray("application/octet-stream");
        QTest::newRow("BUNDLE") << "TQ-2.7.1.BUNDLE" << qsizetype(5000) << QByteArray("firmware_file")
                                << QByteArray("application/octet-stream");
        QTest::newRow("Bundle mixed case")
            << "Tq.Bundle" << qsizetype(10) << QByteArray("firmware_file") << QByteArray("application/octet-stream");
        QTest::newRow("xml") << "settings.xml" << qsizetype(3000) << QByteArray("configuration_file")
                             << QByteArray("text/xml");
        QTest::newRow("XML") << "SETTINGS.XML" << qsizetype(3000) << QByteArray("configuration_file")
                             << QByteArray("text/xml");
        QTest::newRow("jpg") << "screen.jpg" << qsizetype(4096) << QByteArray("standby_screen_image_file")
                             << QByteArray("image/jpeg");
        QTest::newRow("jpeg") << "screen.jpeg" << qsizetype(4097) << QByteArray("standby_screen_image_file")
                              << QByteArray("image/jpeg");
        QTest::newRow("JPEG") << "SCREEN.JPEG" << qsizetype(1) << QByteArray("standby_screen_image_file")
                              << QByteArray("image/jpeg");
        QTest::newRow("png") << "screen.png" << qsizetype(777) << QByteArray("standby_screen_image_file")
                             << QByteArray("image/png");
        QTest::newRow("PNG") << "SCREEN.PNG" << qsizetype(777) << QByteArray("standby_screen_image_file")
                             << QByteArray("image/png");
        QTest::newRow("empty file") << "empty.bundle" << qsizetype(0) << QByteArray("firmware_file")
                                    << QByteArray("application/octet-stream");
        QTest::newRow("hidden file") << ".bundle" << qsizetype(3) << QByteArray("firmware_file")
                                     << QByteArray("application/octet-stream");
        QTest::newRow("non-ascii name") << QString::fromUtf8("bild-ä.png") << qsizetype(20)
                                        << QByteArray("standby_screen_image_file") << QByteArray("image/png");
    }

    void wire()
    {
        QFETCH(QString, name);
        QFETCH(qsizetype, size);
        QFETCH(QByteArray, field);
        QFETCH(QByteArray, contentType);
        const QByteArray content = randomBytes(size);
        const QString path = writeFile(name, content);
        QVERIFY(!path.isEmpty());

        MultiPartBody body(path);
        QCOMPARE(body.generate(), 0);
        QVERIFY(body.multiPart() != nullptr);

        RecordingHttpServer capture;
        QVERIFY(capture.listen());
        QNetworkAccessManager manager;
        manager.setProxy(QNetworkProxy::NoProxy);
        const QUrl url(QStringLiteral("http://127.0.0.1:%1/api/v1/files/x").arg(capture.port()));
        std::unique_ptr<QNetworkReply> reply(manager.post(QNetworkRequest(url), body.multiPart()));
        QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 20000);
        QVERIFY(!capture.requests().isEmpty());
        QCOMPARE(reply->error(), QNetworkReply::NoError);

        QByteArray outerType;
        for (const QByteArray& line : capture.head().split('\n')) {
            if (line.toLower().startsWith("content-type:"))
                outerType = line.mid(13).trimmed();
        }
        QVERIFY2(outerType.startsWith("multipart/mixed; boundary="), outerType.constData());
        QByteArray boundary = outerType.mid(26);
        if (boundary.startsWith('"') && boundary.endsWith('"'))
            boundary = boundary.mid(1, boundary.size() - 2);
        QVERIFY(!boundary.isEmpty());

        QString error;
        const QList<Part> parts = splitMultipart(capture.body(), boundary, error);
        QVERIFY2(parts.size() == 2, qPrintable(error));

        QCOMPARE(parts.at(0).headers, QList<QByteArray>{"Content-Disposition: form-data; name=\"hash_value\""});
        QCOMPARE(parts.at(0).body, md5Of(path));

        QList<QByteArray> dataHeaders = parts.at(1).headers;
        std::sort(dataHeaders.begin(), dataHeaders.end());
        const QList<QByteArray> expected{
            "Content-Disposition: form-data; name=\"" + field + "\"; filename=\"" + name.toUtf8() + "\"",
            "Content-Type: " + contentType,
        };
        QCOMPARE(dataHeaders, expected);
        QCOMPARE(parts.at(1).body.size(), content.size());
        QVERIFY(parts.at(1).body == content);
    }

    // The file goes on the wire from disk: building the body of a large file
    // does not pull the file into memory.
    void largeFileStaysOnDisk()
    {
        const qint64 size = 256LL * 1024 * 1024;
        const QString path = m_dir.filePath(QStringLiteral("large.bundle"));
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(size)); // sparse: no disk used
        }
        const qint64 before = residentKiB();
        QVERIFY(before > 0);
        MultiPartBody body(path);
        QCOMPARE(body.generate(), 0);
        const qint64 growth = residentKiB() - before;
        QVERIFY2(growth < 32 * 1024, qPrintable(QStringLiteral("resident memory grew by %1 KiB").arg(growth)));
    }
};

QTEST_GUILESS_MAIN(TestMultiPartBody)
#include "tst_multipartbody.moc"
