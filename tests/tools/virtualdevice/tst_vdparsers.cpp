// The virtual device's parsers on their own: HTTP requests, multipart bodies,
// upload judgement, discovery datagrams, device configuration and control
// commands, each fed good and bad input.

#include "ControlChannel.h"
#include "DeviceConfig.h"
#include "HttpRequestParser.h"
#include "LndpMessage.h"
#include "MultipartParser.h"
#include "TestTools.h"
#include "UploadReceiver.h"
#include "VirtualDevice.h"

#include <QRandomGenerator>
#include <QTest>

namespace {

struct RecordingHandler : HttpRequestParser::Handler
{
    QList<HttpRequestHead> heads;
    QByteArray body;
    int ends = 0;
    void onHead(const HttpRequestHead& head) override { heads.append(head); }
    void onBodyData(const char* data, qsizetype size) override { body.append(data, size); }
    void onMessageEnd() override { ++ends; }
};

struct PartRecorder : MultipartParser::Handler
{
    QList<MultipartParser::PartHead> heads;
    QList<QByteArray> bodies;
    int ends = 0;
    void onPartBegin(const MultipartParser::PartHead& head) override
    {
        heads.append(head);
        bodies.append(QByteArray());
    }
    void onPartData(const char* data, qsizetype size) override { bodies.last().append(data, size); }
    void onPartEnd() override { ++ends; }
};

// Feeds in pieces of random size, as a network would deliver them.
template <typename Feed> void feedInPieces(const QByteArray& bytes, Feed feed, quint32 seed)
{
    QRandomGenerator random(seed);
    qsizetype pos = 0;
    while (pos < bytes.size()) {
        const qsizetype n = qMin<qsizetype>(bytes.size() - pos, 1 + random.bounded(40));
        feed(bytes.constData() + pos, n);
        pos += n;
    }
}

QByteArray multipartBody(const QByteArray& boundary, const QList<QPair<QByteArray, QByteArray>>& parts)
{
    QByteArray out;
    for (const auto& part : parts)
        out += "--" + boundary + "\r\n" + part.first + "\r\n\r\n" + part.second + "\r\n";
    out += "--" + boundary + "--\r\n";
    return out;
}

QByteArray md5(const QByteArray& data)
{
    return md5Hex(data).toLatin1();
}

UploadReceiver::Outcome receive(UploadReceiver::Kind kind, const QByteArray& body, const QByteArray& boundary = "b0uNd")
{
    UploadReceiver receiver(kind);
    MultipartParser parser(boundary, receiver);
    feedInPieces(
        body, [&](const char* d, qsizetype n) { parser.feed(d, n); }, 7);
    parser.finish();
    return receiver.finish(parser);
}

QByteArray filePart(const QByteArray& field, const QByteArray& type, const QByteArray& name = "file.bin")
{
    return "Content-Type: " + type + "\r\nContent-Disposition: form-data; name=\"" + field + "\"; filename=\"" + name
           + "\"";
}

const QByteArray kHashHead = "Content-Disposition: form-data; name=\"hash_value\"";

QByteArray tinyPng()
{
    return QByteArray::fromHex("89504e470d0a1a0a0000000d49484452000000010000000108060000001f15c489"
                               "0000000d4944415478da6364f8ffbf1e000502027f3f1d4a4b0000000049454e44ae426082");
}

} // namespace

class TestParsers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void httpRequestWithLengthArrivesInPieces()
    {
        RecordingHandler handler;
        HttpRequestParser parser(handler);
        const QByteArray request
            = "POST /api/v1/auth/authenticate?x=1 HTTP/1.1\r\nHost: a\r\nAuthorization: Basic QQ==\r\n"
              "Content-Length: 11\r\n\r\nhello world";
        qsizetype used = 0;
        feedInPieces(
            request, [&](const char* d, qsizetype n) { used += parser.feed(d, n); }, 1);
        QCOMPARE(used, request.size());
        QVERIFY(parser.isDone());
        QCOMPARE(handler.heads.size(), 1);
        QCOMPARE(handler.heads.first().method, QByteArray("POST"));
        QCOMPARE(handler.heads.first().path(), QByteArray("/api/v1/auth/authenticate"));
        QCOMPARE(handler.heads.first().header("authorization"), QByteArray("Basic QQ=="));
        QCOMPARE(handler.body, QByteArray("hello world"));
        QCOMPARE(handler.ends, 1);
        QVERIFY(handler.heads.first().keepAlive());
    }

    void httpChunkedBodyAndPipelinedRequest()
    {
        RecordingHandler handler;
        HttpRequestParser parser(handler);
        const QByteArray first = "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                                 "5;ext=1\r\nhello\r\n6\r\n world\r\n0\r\nTrailer: t\r\n\r\n";
        const QByteArray second = "GET /y HTTP/1.0\r\n\r\n";
        const QByteArray both = first + second;
        const qsizetype used = parser.feed(both.constData(), both.size());
        QCOMPARE(used, first.size()); // the second request is left for the next message
        QCOMPARE(handler.body, QByteArray("hello world"));
        parser.reset();
        QVERIFY(parser.atMessageStart());
        QCOMPARE(parser.feed(second.constData(), second.size()), second.size());
        QVERIFY(parser.isDone());
        QCOMPARE(handler.heads.size(), 2);
        QVERIFY(!handler.heads.at(1).keepAlive()); // HTTP/1.0 without keep-alive
    }

    void httpMalformedRequests_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::newRow("request line") << QByteArray("GARBAGE\r\n\r\n") << 400;
        QTest::newRow("target") << QByteArray("GET nopath HTTP/1.1\r\n\r\n") << 400;
        QTest::newRow("version") << QByteArray("GET / HTTP/2.0\r\n\r\n") << 505;
        QTest::newRow("header") << QByteArray("GET / HTTP/1.1\r\nno colon here\r\n\r\n") << 400;
        QTest::newRow("length") << QByteArray("POST / HTTP/1.1\r\nContent-Length: -3\r\n\r\n") << 400;
        QTest::newRow("two lengths") << QByteArray("POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n")
                                     << 400;
        QTest::newRow("length and chunked")
            << QByteArray("POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n") << 400;
        QTest::newRow("coding") << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n") << 501;
        QTest::newRow("chunk size") << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n") << 400;
        QTest::newRow("chunk end") << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabcd\r\n")
                                   << 400;
        QTest::newRow("head too long") << ("GET / HTTP/1.1\r\nX: " + QByteArray(70000, 'a') + "\r\n\r\n") << 431;
    }

    void httpMalformedRequests()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        RecordingHandler handler;
        HttpRequestParser parser(handler);
        feedInPieces(
            request, [&](const char* d, qsizetype n) { parser.feed(d, n); }, 3);
        QVERIFY(parser.hasFailed());
        QCOMPARE(parser.errorStatus(), status);
        QVERIFY(!parser.errorText().isEmpty());
        QCOMPARE(handler.ends, 0);
        // A failed parser takes nothing more.
        QCOMPARE(parser.feed("GET / HTTP/1.1\r\n\r\n", 18), qsizetype(0));
    }

    void multipartContentTypes()
    {
        QByteArray type, boundary;
        QString error;
        QVERIFY(MultipartParser::parseContentType("multipart/mixed; boundary=\"boundary_.oOo._AbC=\"", type, boundary,
                                                  error));
        QCOMPARE(type, QByteArray("multipart/mixed"));
        QCOMPARE(boundary, QByteArray("boundary_.oOo._AbC="));
        QVERIFY(MultipartParser::parseContentType("Multipart/Form-Data; boundary=----abc", type, boundary, error));
        QCOMPARE(boundary, QByteArray("----abc"));
        QVERIFY(!MultipartParser::parseContentType("application/json", type, boundary, error));
        QVERIFY(!MultipartParser::parseContentType("multipart/mixed", type, boundary, error));
        QVERIFY(!MultipartParser::parseContentType("multipart/mixed; boundary=" + QByteArray(71, 'x'), type, boundary,
                                                   error));
    }

    void multipartPartsArriveInPieces()
    {
        // Content that looks like the start of a delimiter must pass through.
        const QByteArray tricky = "line\r\n--b0uN\r\n--b0uNx and more";
        const QByteArray body
            = "preamble to ignore\r\n"
              + multipartBody("b0uNd", {{kHashHead, "abc"},
                                        {filePart("firmware_file", "application/octet-stream", "fw.bundle"), tricky},
                                        {"Content-Disposition: form-data; name=\"empty\"", ""}})
              + "epilogue";
        for (quint32 seed = 1; seed <= 20; ++seed) {
            PartRecorder recorder;
            MultipartParser parser("b0uNd", recorder);
            feedInPieces(
                body, [&](const char* d, qsizetype n) { parser.feed(d, n); }, seed);
            parser.finish();
            QVERIFY2(!parser.hasFailed(), qPrintable(parser.errorText()));
            QVERIFY(parser.isComplete());
            QCOMPARE(recorder.heads.size(), 3);
            QCOMPARE(recorder.ends, 3);
            QCOMPARE(recorder.heads.at(0).name, QByteArray("hash_value"));
            QVERIFY(!recorder.heads.at(0).hasFileName);
            QCOMPARE(recorder.heads.at(1).name, QByteArray("firmware_file"));
            QCOMPARE(recorder.heads.at(1).fileName, QByteArray("fw.bundle"));
            QCOMPARE(recorder.heads.at(1).contentType, QByteArray("application/octet-stream"));
            QCOMPARE(recorder.bodies.at(0), QByteArray("abc"));
            QCOMPARE(recorder.bodies.at(1), tricky);
            QCOMPARE(recorder.bodies.at(2), QByteArray());
        }
    }

    void multipartMalformedBodies_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("no delimiter") << QByteArray("just some bytes");
        QTest::newRow("no closing delimiter") << QByteArray("--b0uNd\r\n" + kHashHead + "\r\n\r\nabc");
        QTest::newRow("bad delimiter line") << QByteArray("--b0uNdXYZ\r\n\r\nabc\r\n--b0uNd--");
        QTest::newRow("bad part header") << QByteArray("--b0uNd\r\nno colon\r\n\r\nabc\r\n--b0uNd--");
        QTest::newRow("endless part head") << QByteArray("--b0uNd\r\nX: " + QByteArray(20000, 'y'));
    }

    void multipartMalformedBodies()
    {
        QFETCH(QByteArray, body);
        PartRecorder recorder;
        MultipartParser parser("b0uNd", recorder);
        parser.feed(body.constData(), body.size());
        parser.finish();
        QVERIFY(parser.hasFailed());
        QVERIFY(!parser.errorText().isEmpty());
    }

    void uploadAcceptsMatchingDigest()
    {
        const QByteArray file = QByteArray(100000, 'z') + "end";
        const UploadReceiver::Outcome outcome = receive(
            UploadReceiver::Kind::Firmware,
            multipartBody("b0uNd", {{kHashHead, md5(file)},
                                    {filePart("firmware_file", "application/octet-stream", "fw-2.0.bundle"), file}}));
        QCOMPARE(outcome.status, 200);
        QCOMPARE(outcome.size, qint64(file.size()));
        QCOMPARE(outcome.md5, md5(file));
        QCOMPARE(outcome.fileName, QStringLiteral("fw-2.0.bundle"));
    }

    void uploadRefusesBadBodies_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        const QByteArray f = "firmware";
        const auto fw = int(UploadReceiver::Kind::Firmware);
        const auto xml = int(UploadReceiver::Kind::Import);
        const auto img = int(UploadReceiver::Kind::StandbyImage);
        QTest::newRow("digest mismatch") << fw
                                         << multipartBody("b0uNd",
                                                          {{kHashHead, md5("other")},
                                                           {filePart("firmware_file", "application/octet-stream"), f}})
                                         << 400;
        QTest::newRow("digest not hex") << fw
                                        << multipartBody("b0uNd",
                                                         {{kHashHead, "xyz"},
                                                          {filePart("firmware_file", "application/octet-stream"), f}})
                                        << 400;
        QTest::newRow("no digest") << fw
                                   << multipartBody("b0uNd",
                                                    {{filePart("firmware_file", "application/octet-stream"), f}})
                                   << 400;
        QTest::newRow("no file") << fw << multipartBody("b0uNd", {{kHashHead, md5(f)}}) << 400;
        QTest::newRow("two digests") << fw
                                     << multipartBody("b0uNd",
                                                      {{kHashHead, md5(f)},
                                                       {kHashHead, md5(f)},
                                                       {filePart("firmware_file", "application/octet-stream"), f}})
                                     << 400;
        QTest::newRow("field of another endpoint")
            << fw << multipartBody("b0uNd", {{kHashHead, md5(f)}, {filePart("configuration_file", "text/xml"), f}})
            << 400;
        QTest::newRow("wrong content type")
            << fw << multipartBody("b0uNd", {{kHashHead, md5(f)}, {filePart("firmware_file", "text/plain"), f}}) << 415;
        QTest::newRow("xml as octets")
            << xml
            << multipartBody("b0uNd",
                             {{kHashHead, md5(f)}, {filePart("configuration_file", "application/octet-stream"), f}})
            << 415;
        QTest::newRow("image as bmp") << img
                                      << multipartBody("b0uNd",
                                                       {{kHashHead, md5(f)},
                                                        {filePart("standby_screen_image_file", "image/bmp"), f}})
                                      << 415;
        QTest::newRow("digest too long") << fw
                                         << multipartBody("b0uNd",
                                                          {{kHashHead, QByteArray(500, 'a')},
                                                           {filePart("firmware_file", "application/octet-stream"), f}})
                                         << 400;
        QTest::newRow("cut short") << fw
                                   << multipartBody("b0uNd",
                                                    {{kHashHead, md5(f)},
                                                     {filePart("firmware_file", "application/octet-stream"), f}})
                                          .chopped(12)
                                   << 400;
    }

    void uploadRefusesBadBodies()
    {
        QFETCH(int, kind);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        const UploadReceiver::Outcome outcome = receive(UploadReceiver::Kind(kind), body);
        QCOMPARE(outcome.status, status);
        QVERIFY(!outcome.error.isEmpty());
    }

    void uploadJudgesImagesAndConfigurations()
    {
        const QByteArray png = tinyPng();
        const QByteArray jpeg
            = QByteArray::fromHex("ffd8ffe000104a464946") + QByteArray(50, 'j') + QByteArray::fromHex("ffd9");
        const QByteArray text = "this is not an image at all";
        const auto image = [](const QByteArray& data, const QByteArray& type) {
            return receive(
                UploadReceiver::Kind::StandbyImage,
                multipartBody("b0uNd", {{kHashHead, md5(data)}, {filePart("standby_screen_image_file", type), data}}));
        };
        QVERIFY(image(png, "image/png").imageValid);
        QVERIFY(image(jpeg, "image/jpeg").imageValid);
        QVERIFY(!image(text, "image/png").imageValid);
        QVERIFY(!image(png.chopped(4), "image/png").imageValid); // cut short: no end chunk
        QCOMPARE(image(text, "image/png").status, 200); // accepted, reported invalid

        const auto config = [](const QByteArray& data) {
            return receive(
                UploadReceiver::Kind::Import,
                multipartBody("b0uNd", {{kHashHead, md5(data)}, {filePart("configuration_file", "text/xml"), data}}));
        };
        QVERIFY(config("<?xml version=\"1.0\"?>\n<settings><a x=\"1\">t</a><b/></settings>\n").xmlWellFormed);
        QVERIFY(!config("<settings><a></settings>").xmlWellFormed);
        QVERIFY(!config("<settings>").xmlWellFormed);
        QVERIFY(!config("not xml").xmlWellFormed);
        QVERIFY(!config("<a/><b/>").xmlWellFormed);
    }

    void lndpResponseBytes()
    {
        QByteArray mac;
        QVERIFY(DeviceConfigParser::parseMac(QStringLiteral("00:11:22:33:44:55"), mac));
        const QByteArray bytes = LndpMessage::buildResponse(QHostAddress(QStringLiteral("192.168.0.10")), mac,
                                                            QStringLiteral("TQ-730"), QStringLiteral("Desk"));
        const QByteArray expected = QByteArray::fromHex("4c4e4450"
                                                        "0030"
                                                        "80"
                                                        "04"
                                                        "c0a8000a"
                                                        "000000000000000000000000"
                                                        "001122334455"
                                                        "08")
                                    + "_zel-scp"
                                    + QByteArray::fromHex("000d"
                                                          "00"
                                                          "06")
                                    + "TQ-730" + QByteArray::fromHex("04") + "Desk";
        QCOMPARE(bytes.toHex(), expected.toHex());
        LndpMessage::Datagram datagram;
        QCOMPARE(LndpMessage::parse(bytes, datagram), LndpMessage::ParseError::None);
        QCOMPARE(LndpMessage::readExInfo(datagram.exInfo),
                 (QStringList{QString(), QStringLiteral("TQ-730"), QStringLiteral("Desk")}));
        QVERIFY(!LndpMessage::isAnnouncement(datagram)); // a responder's datagram
        // A name of 300 bytes is cut to 254: a length byte of 255 would end the list for readers.
        const QByteArray longName = LndpMessage::buildResponse(
            QHostAddress(QStringLiteral("10.0.0.1")), mac, QStringLiteral("TQ-360"), QString(300, QLatin1Char('n')));
        QCOMPARE(LndpMessage::parse(longName, datagram), LndpMessage::ParseError::None);
        QCOMPARE(LndpMessage::readExInfo(datagram.exInfo).value(2).size(), 254);
    }

    void lndpNamesAreCutAtCharacterBoundaries_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("sent");
        const QString e = QStringLiteral("\u00e9"); // 2 bytes in UTF-8
        const QString euro = QStringLiteral("\u20ac"); // 3 bytes
        const QString face = QString::fromUcs4(U"\U0001F600"); // 4 bytes, a surrogate pair in UTF-16
        QTest::newRow("empty") << QString() << QString();
        QTest::newRow("254 bytes, whole") << QString(254, QLatin1Char('n')) << QString(254, QLatin1Char('n'));
        QTest::newRow("255 bytes of ASCII") << QString(255, QLatin1Char('n')) << QString(254, QLatin1Char('n'));
        QTest::newRow("2-byte character across 254")
            << QStringLiteral("a") + e.repeated(127) << QStringLiteral("a") + e.repeated(126);
        QTest::newRow("2-byte characters ending at 254") << e.repeated(127) << e.repeated(127);
        QTest::newRow("3-byte character across 254") << euro.repeated(85) << euro.repeated(84);
        QTest::newRow("4-byte character across 254") << face.repeated(64) << face.repeated(63);
        QTest::newRow("4-byte character starting at 254")
            << QStringLiteral("ab") + face.repeated(64) << QStringLiteral("ab") + face.repeated(63);
    }

    void lndpNamesAreCutAtCharacterBoundaries()
    {
        QFETCH(QString, name);
        QFETCH(QString, sent);
        const QByteArray exInfo = LndpMessage::buildExInfo({QString(), QStringLiteral("TQ-730"), name});
        const QByteArray expectedBytes = sent.toUtf8();
        QVERIFY(expectedBytes.size() <= 254);
        QCOMPARE(exInfo.right(expectedBytes.size() + 1), QByteArray(1, char(expectedBytes.size())) + expectedBytes);
        const QStringList strings = LndpMessage::readExInfo(exInfo);
        QCOMPARE(strings.size(), 3);
        QCOMPARE(strings.at(2), sent);
        QVERIFY(!strings.at(2).contains(QChar::ReplacementCharacter));
    }

    void lndpValidation()
    {
        QByteArray mac(6, '\x01');
        const QByteArray announcement
            = LndpMessage::buildAnnouncement(QHostAddress(QStringLiteral("192.168.0.10")), mac);
        QCOMPARE(announcement.size(), 41);
        LndpMessage::Datagram d;
        QCOMPARE(LndpMessage::parse(announcement, d), LndpMessage::ParseError::None);
        QVERIFY(LndpMessage::isAnnouncement(d));
        QCOMPARE(LndpMessage::parse(announcement + "trailing", d), LndpMessage::ParseError::None);

        // The shortest valid datagram: 1-byte name, no exInfo, length 28.
        QByteArray shortest = QByteArray("LNDP") + QByteArray::fromHex("001c0004") + QByteArray(22, '\0')
                              + QByteArray::fromHex("01") + "x" + QByteArray(2, '\0');
        QCOMPARE(shortest.size(), 34);
        QCOMPARE(LndpMessage::parse(shortest, d), LndpMessage::ParseError::None);
        QCOMPARE(LndpMessage::parse(shortest.left(33), d), LndpMessage::ParseError::TooShort);

        QByteArray magic = announcement;
        magic[0] = 'X';
        QCOMPARE(LndpMessage::parse(magic, d), LndpMessage::ParseError::BadMagic);
        QByteArray length = announcement;
        length[5] = 27;
        QCOMPARE(LndpMessage::parse(length, d), LndpMessage::ParseError::BadLength);
        length[4] = char(0x05);
        length[5] = char(0x1b); // 1307
        QCOMPARE(LndpMessage::parse(length, d), LndpMessage::ParseError::BadLength);
        QCOMPARE(LndpMessage::parse(announcement.left(40) + QByteArray(), d), LndpMessage::ParseError::Truncated);
        QByteArray noName = shortest;
        noName[30] = 0;
        QCOMPARE(LndpMessage::parse(noName, d), LndpMessage::ParseError::EmptyServiceName);
        QByteArray inconsistent = announcement;
        inconsistent[40] = 1; // exInfoLen 1 without the byte
        QCOMPARE(LndpMessage::parse(inconsistent + "x" + "y", d), LndpMessage::ParseError::InconsistentLength);
        QByteArray huge = QByteArray("LNDP") + QByteArray::fromHex("041d") + QByteArray(24, '\0')
                          + QByteArray::fromHex("01") + "x" + QByteArray::fromHex("0401") + QByteArray(1025, 'e');
        QCOMPARE(LndpMessage::parse(huge, d), LndpMessage::ParseError::ExInfoTooLong);
    }

    void deviceConfiguration()
    {
        DeviceConfig device;
        QString error;
        QVERIFY(DeviceConfigParser::fromKeyValues(
            QStringLiteral("address=10.0.0.7,model=TQ-360,name=Hall,password=pw,status=in-call"), 0, device, error));
        QCOMPARE(device.id, QStringLiteral("d1"));
        QCOMPARE(DeviceConfigParser::macText(device.mac), QStringLiteral("02:00:0A:00:00:07"));
        QCOMPARE(device.model, QStringLiteral("TQ-360"));
        QCOMPARE(device.deviceStatus, 2);
        QCOMPARE(device.subnet, QStringLiteral("255.255.255.0"));
        QVERIFY(!DeviceConfigParser::fromKeyValues(QStringLiteral("address=10.0.0.300"), 0, device, error));
        QVERIFY(error.contains(QStringLiteral("address")));
        QVERIFY(!DeviceConfigParser::fromKeyValues(QStringLiteral("address=10.0.0.1,mac=00:11"), 0, device, error));
        QVERIFY(!DeviceConfigParser::fromKeyValues(QStringLiteral("address=10.0.0.1,colour=red"), 0, device, error));
        QVERIFY(!DeviceConfigParser::fromKeyValues(QStringLiteral("name=x"), 0, device, error));
        // A name left out gets the default; an empty one asked for stays empty.
        QVERIFY(DeviceConfigParser::fromKeyValues(QStringLiteral("address=10.0.0.1"), 2, device, error));
        QCOMPARE(device.name, QStringLiteral("Virtual 3"));
        QVERIFY(DeviceConfigParser::fromKeyValues(QStringLiteral("address=10.0.0.1,name="), 2, device, error));
        QCOMPARE(device.name, QString());
        QVERIFY(DeviceConfigParser::fromJson(
            QJsonObject{{QStringLiteral("address"), QStringLiteral("10.0.0.1")}, {QStringLiteral("name"), QString()}},
            0, device, error));
        QCOMPARE(device.name, QString());
        QVERIFY(
            !DeviceConfigParser::fromKeyValues(QStringLiteral("address=10.0.0.1,gateway=nowhere"), 0, device, error));
        QVERIFY(!device.broadcastDeaf);
        QCOMPARE(device.throttleBytesPerSecond, qint64(0));
        QVERIFY(DeviceConfigParser::fromKeyValues(QStringLiteral("address=10.0.0.1,broadcast=deaf,throttle=4m"), 0,
                                                  device, error));
        QVERIFY(device.broadcastDeaf);
        QCOMPARE(device.throttleBytesPerSecond, qint64(4 * 1024 * 1024));
        QVERIFY(DeviceConfigParser::fromKeyValues(QStringLiteral("address=10.0.0.1,broadcast=normal,throttle=off"), 0,
                                                  device, error));
        QVERIFY(!device.broadcastDeaf);
        QCOMPARE(device.throttleBytesPerSecond, qint64(0));
        QVERIFY(
            !DeviceConfigParser::fromKeyValues(QStringLiteral("address=10.0.0.1,broadcast=quiet"), 0, device, error));
        QVERIFY(!DeviceConfigParser::fromKeyValues(QStringLiteral("address=10.0.0.1,throttle=0"), 0, device, error));
        QVERIFY(!DeviceConfigParser::fromKeyValues(QStringLiteral("address=10.0.0.1,throttle=fast"), 0, device, error));

        QList<DeviceConfig> devices;
        QVERIFY(DeviceConfigParser::generate(4, QStringLiteral("10.213.0.10"), QStringLiteral("pw"), devices, error));
        QCOMPARE(devices.size(), 4);
        QCOMPARE(devices.at(0).model, QStringLiteral("TQ-730"));
        QCOMPARE(devices.at(1).model, QStringLiteral("TQ-360"));
        QCOMPARE(devices.at(3).address.toString(), QStringLiteral("10.213.0.13"));
        QVERIFY(devices.at(0).name != devices.at(1).name);
        QVERIFY(DeviceConfigParser::validate(devices, error));
        devices.append(devices.first());
        QVERIFY(!DeviceConfigParser::validate(devices, error));
    }

    void controlCommands()
    {
        DeviceConfig config;
        QString error;
        QVERIFY(DeviceConfigParser::fromKeyValues(QStringLiteral("address=127.0.0.9,id=alpha,password=pw,throttle=8k"),
                                                  0, config, error));
        VirtualDevice device(config, QSslConfiguration(), 10, 10);
        ControlChannel control({&device});
        QCOMPARE(device.faults().throttleBytesPerSecond, qint64(8 * 1024));
        QVERIFY(!device.faults().broadcastDeaf);

        QVERIFY(control.execute(QString()).last().startsWith(QLatin1String("error")));
        QVERIFY(control.execute(QStringLiteral("frobnicate alpha")).last().startsWith(QLatin1String("error")));
        QVERIFY(control.execute(QStringLiteral("state nosuch busy")).last().startsWith(QLatin1String("error")));
        QVERIFY(control.execute(QStringLiteral("state alpha sleepy")).last().startsWith(QLatin1String("error")));
        QVERIFY(control.execute(QStringLiteral("fault alpha pings maybe")).last().startsWith(QLatin1String("error")));
        QVERIFY(control.execute(QStringLiteral("fault alpha throttle -5")).last().startsWith(QLatin1String("error")));
        QVERIFY(control.execute(QStringLiteral("fault alpha upload 404")).last().startsWith(QLatin1String("error")));
        QVERIFY(
            control.execute(QStringLiteral("fault alpha broadcast quiet")).last().startsWith(QLatin1String("error")));
        QVERIFY(control.execute(QStringLiteral("set alpha throttle 1m")).last().startsWith(QLatin1String("error")));
        QVERIFY(control.execute(QStringLiteral("set alpha broadcast deaf")).last().startsWith(QLatin1String("error")));
        QVERIFY(
            control.execute(QStringLiteral("set alpha address 10.0.0.1")).last().startsWith(QLatin1String("error")));
        QVERIFY(
            control.execute(QStringLiteral("push alpha malformed nonsense")).last().startsWith(QLatin1String("error")));
        QVERIFY(control.execute(QStringLiteral("push alpha notify [1,2]")).last().startsWith(QLatin1String("error")));

        QCOMPARE(control.execute(QStringLiteral("state alpha busy")).last(), QStringLiteral("ok"));
        QCOMPARE(device.deviceStatus(), 1);
        QCOMPARE(control.execute(QStringLiteral("state 127.0.0.9 in-call")).last(), QStringLiteral("ok"));
        QCOMPARE(device.deviceStatus(), 2);
        QCOMPARE(control.execute(QStringLiteral("fault alpha throttle 64k")).last(), QStringLiteral("ok"));
        QCOMPARE(device.faults().throttleBytesPerSecond, qint64(64 * 1024));
        QCOMPARE(control.execute(QStringLiteral("fault alpha lndp off")).last(), QStringLiteral("ok"));
        QVERIFY(device.faults().lndpSilent);
        QCOMPARE(control.execute(QStringLiteral("fault alpha broadcast deaf")).last(), QStringLiteral("ok"));
        QVERIFY(device.faults().broadcastDeaf);
        QCOMPARE(control.execute(QStringLiteral("fault alpha upload 500")).last(), QStringLiteral("ok"));
        QCOMPARE(device.faults().uploadStatus, 500);
        QCOMPARE(control.execute(QStringLiteral("set alpha name Front Desk")).last(), QStringLiteral("ok"));
        QCOMPARE(device.config().name, QStringLiteral("Front Desk"));
        QCOMPARE(control.execute(QStringLiteral("set alpha name")).last(), QStringLiteral("ok"));
        QCOMPARE(device.config().name, QString());
        QVERIFY(control.execute(QStringLiteral("set alpha model")).last().startsWith(QLatin1String("error")));
        QCOMPARE(control.execute(QStringLiteral("fault all clear")).last(), QStringLiteral("ok"));
        QVERIFY(!device.faults().lndpSilent);
        QCOMPARE(device.faults().uploadStatus, 0);
        QVERIFY(!device.faults().broadcastDeaf);
        // Back to the rate it started with, not to full speed.
        QCOMPARE(device.faults().throttleBytesPerSecond, qint64(8 * 1024));
    }

    void authorisation()
    {
        DeviceConfig config;
        QString error;
        QVERIFY(
            DeviceConfigParser::fromKeyValues(QStringLiteral("address=127.0.0.9,password=s3cret"), 0, config, error));
        VirtualDevice device(config, QSslConfiguration(), 10, 10);
        const QByteArray code = md5("s3cret");
        QVERIFY(device.isAuthorised("Basic " + ("admin:" + code).toBase64()));
        QVERIFY(device.isAuthorised("Basic " + ("admin:" + code.toUpper()).toBase64()));
        QVERIFY(!device.isAuthorised("Basic " + ("root:" + code).toBase64()));
        QVERIFY(!device.isAuthorised("Basic " + QByteArray("admin:s3cret").toBase64()));
        QVERIFY(!device.isAuthorised("Basic " + QByteArray("admin:").toBase64()));
        QVERIFY(!device.isAuthorised("Bearer " + code));
        QVERIFY(!device.isAuthorised("Basic !!!notbase64"));
        QVERIFY(!device.isAuthorised(QByteArray()));
    }
};

QTEST_GUILESS_MAIN(TestParsers)
#include "tst_vdparsers.moc"
