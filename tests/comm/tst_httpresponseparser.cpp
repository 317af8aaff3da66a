#include "HttpResponseParser.h"

#include <QtTest>

using State = HttpResponseParser::State;

// Answers as devices and their web servers send them, fed in pieces of
// every size, and what the parser makes of them.
class TestHttpResponseParser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void answers_data()
    {
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<bool>("closed"); // the peer closes after the bytes
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("field"); // "name=value" of one header field, or ""

        const auto row = [](const char* name, const QByteArray& wire, bool closed, State state, int status,
                            const QByteArray& body, const QByteArray& field = QByteArray()) {
            QTest::newRow(name) << wire << closed << int(state) << status << body << field;
        };
        row("length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-A: b\r\n\r\nhello", false, State::Complete, 200,
            "hello", "X-A=b");
        row("later bytes ignored", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokEXTRA", false, State::Complete, 200,
            "ok");
        row("length not reached", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nhello", false, State::Body, 200,
            "hello");
        row("length cut by close", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nhello", true, State::Malformed, 200,
            "hello");
        row("empty by length", "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n", false, State::Complete, 403, "");
        row("no content", "HTTP/1.1 204 No Content\r\n\r\n", false, State::Complete, 204, "");
        row("framed by close", "HTTP/1.0 500 Oops\r\nContent-Type: text/plain\r\n\r\nbroken", true, State::Complete,
            500, "broken", "Content-Type=text/plain");
        row("close awaited", "HTTP/1.0 200 OK\r\n\r\npart", false, State::Body, 200, "part");
        row("chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;ext=1\r\nhello\r\n1\r\n!\r\n0\r\n\r\n",
            false, State::Complete, 200, "hello!");
        row("chunked with trailer",
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\nX-T: 1\r\n\r\n", false,
            State::Complete, 200, "ok");
        row("chunked wins over length",
            "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", false,
            State::Complete, 200, "ok");
        row("chunk size not hex", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nhello", false,
            State::Malformed, 200, "");
        row("chunk without its line end", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nokX\r\n0\r\n\r\n",
            false, State::Malformed, 200, "ok");
        row("chunked cut by close", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel", true,
            State::Malformed, 200, "hel");
        row("interim answer skipped", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\nContent-Length: 1\r\n\r\nx",
            false, State::Complete, 201, "x");
        row("bare line feeds", "HTTP/1.1 200 OK\nContent-Length: 2\nX-A:  spaced \n\nok", false, State::Complete, 200,
            "ok", "X-A=spaced");
        row("folded field", "HTTP/1.1 200 OK\r\nX-A: one\r\n two\r\nContent-Length: 0\r\n\r\n", false, State::Complete,
            200, "", "X-A=one two");
        row("no reason", "HTTP/1.1 200\r\nContent-Length: 0\r\n\r\n", false, State::Complete, 200, "");
        row("head incomplete", "HTTP/1.1 200 OK\r\nContent-Le", false, State::Head, 0, "");
        row("head cut by close", "HTTP/1.1 200 OK\r\n", true, State::Malformed, 0, "");
        row("nothing, then close", "", true, State::Malformed, 0, "");
        row("not HTTP", "SSH-2.0-OpenSSH\r\n", false, State::Malformed, 0, "");
        row("status not three digits", "HTTP/1.1 20 OK\r\n\r\n", false, State::Malformed, 0, "");
        row("field without colon", "HTTP/1.1 200 OK\r\nbroken line\r\n\r\n", false, State::Malformed, 200, "");
        row("length not a number", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n", false, State::Malformed, 200, "");
        row("two lengths", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nxx", false,
            State::Malformed, 200, "");
        row("head past its limit",
            "HTTP/1.1 200 OK\r\nX-Big: " + QByteArray(HttpResponseParser::kMaxHeadBytes, 'a') + "\r\n\r\n", false,
            State::Malformed, 0, "");
    }

    void answers()
    {
        QFETCH(QByteArray, wire);
        QFETCH(bool, closed);
        QFETCH(int, state);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, field);
        // Whole, byte by byte, and in pieces of seven: the same answer.
        for (const qsizetype piece : {wire.size() + 1, qsizetype(1), qsizetype(7)}) {
            HttpResponseParser parser;
            QByteArray decoded;
            for (qsizetype at = 0; at < wire.size(); at += piece)
                parser.feed(wire.mid(at, piece), decoded);
            if (closed)
                parser.finish();
            QCOMPARE(int(parser.state()), state);
            QCOMPARE(parser.status(), status);
            QCOMPARE(decoded, body);
            if (!field.isEmpty()) {
                const QList<QByteArray> nameValue = field.split('=');
                const auto& headers = parser.headers();
                const auto found = std::find_if(headers.cbegin(), headers.cend(),
                                                [&](const auto& header) { return header.first == nameValue.at(0); });
                QVERIFY(found != headers.cend());
                QCOMPARE(found->second, nameValue.at(1));
            }
        }
    }
};

QTEST_APPLESS_MAIN(TestHttpResponseParser)
#include "tst_httpresponseparser.moc"
