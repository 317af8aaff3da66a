#include "Logger.h"
#include "MessageCapture.h"
#include "ThreadId.h"

#include <QRegularExpression>
#include <QTest>
#include <QThread>

#include <memory>

class TestLogger : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { m_capture = std::make_unique<MessageCapture>(); }
    void cleanup() { m_capture.reset(); }

    void lineFormat_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("full path") << QByteArray("src/app/loader")
                                   << QByteArray("[09:05:07.123] File:loader, Func:load(), Line:42, tid:5012, Log:ok");
        QTest::newRow("nested path") << QByteArray("a/b/c")
                                     << QByteArray("[09:05:07.123] File:c, Func:load(), Line:42, tid:5012, Log:ok");
        QTest::newRow("bare name") << QByteArray("c")
                                   << QByteArray("[09:05:07.123] File:c, Func:load(), Line:42, tid:5012, Log:ok");
        QTest::newRow("trailing slash") << QByteArray("a/b/")
                                        << QByteArray("[09:05:07.123] File:b, Func:load(), Line:42, tid:5012, Log:ok");
        QTest::newRow("absolute") << QByteArray("/x/y.cpp")
                                  << QByteArray("[09:05:07.123] File:y.cpp, Func:load(), Line:42, tid:5012, Log:ok");
        QTest::newRow("empty") << QByteArray("")
                               << QByteArray("[09:05:07.123] File:, Func:load(), Line:42, tid:5012, Log:ok");
        QTest::newRow("only slashes") << QByteArray("//")
                                      << QByteArray("[09:05:07.123] File:, Func:load(), Line:42, tid:5012, Log:ok");
    }
    void lineFormat()
    {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, expected);
        QCOMPARE(
            QByteArray::fromStdString(Logger::formatLine("09:05:07.123", file.constData(), "load", 42, 5012, "ok")),
            expected);
    }

    void nullPiecesEndTheLine()
    {
        QCOMPARE(Logger::formatLine("00:00:00.000", "f", nullptr, 1, 2, "text"),
                 std::string("[00:00:00.000] File:f, Func:"));
        QCOMPARE(Logger::formatLine("00:00:00.000", "f", "g", -3, 2, nullptr),
                 std::string("[00:00:00.000] File:f, Func:g(), Line:-3, tid:2, Log:"));
        // A null file is a caller's mistake, but must not bring the program down.
        QCOMPARE(Logger::formatLine("00:00:00.000", nullptr, "g", 1, 2, "x"),
                 std::string("[00:00:00.000] File:, Func:g(), Line:1, tid:2, Log:x"));
    }

    void writesOneDebugMessageInTheDefaultCategory()
    {
        Logger::writeLog(__FILE__, "someFunction", 77, std::string("hello \xC3\xA9t\xC3\xA9"));
        const QList<MessageCapture::Message> messages = m_capture->take();
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages.first().type, QtDebugMsg);
        QCOMPARE(messages.first().category, QStringLiteral("default"));

        static const QRegularExpression shape(QStringLiteral(
            R"(^\[(\d\d):(\d\d):(\d\d)\.(\d\d\d)\] File:tst_logger\.cpp, Func:someFunction\(\), Line:77, tid:(\d+), Log:hello été$)"));
        const QRegularExpressionMatch match = shape.match(messages.first().text);
        QVERIFY2(match.hasMatch(), qPrintable(messages.first().text));
        QVERIFY(match.captured(1).toInt() < 24);
        QVERIFY(match.captured(2).toInt() < 60);
        QVERIFY(match.captured(3).toInt() < 61);
        QCOMPARE(match.captured(5).toULongLong(), currentOsThreadId());
    }

    void overloadsCarryTheirText()
    {
        Logger::writeLog("plain \xE2\x9C\x93");
        Logger::writeLog(std::string("std"));
        Logger::writeLog(QStringLiteral("q\u00e9"));
        Logger::writeLog(static_cast<const char*>(nullptr));
        Logger::writeLog("f.cpp", "fn", 1, QStringLiteral("\u00fc"));
        const QList<MessageCapture::Message> messages = m_capture->take();
        QCOMPARE(messages.size(), 5);
        QCOMPARE(messages[0].text, QStringLiteral("plain \u2713"));
        QCOMPARE(messages[1].text, QStringLiteral("std"));
        QCOMPARE(messages[2].text, QStringLiteral("q\u00e9"));
        QCOMPARE(messages[3].text, QString());
        QVERIFY(messages[4].text.endsWith(QStringLiteral(", Log:\u00fc")));
    }

    void threadFieldIsTheCallingThread()
    {
        unsigned long long workerId = 0;
        QThread* worker = QThread::create([&workerId] {
            workerId = currentOsThreadId();
            CORVANE_LOG("from worker");
        });
        worker->start();
        QVERIFY(worker->wait(10000));
        delete worker;

        const QList<MessageCapture::Message> messages = m_capture->take();
        QCOMPARE(messages.size(), 1);
        QVERIFY(workerId != currentOsThreadId());
        QVERIFY2(messages.first().text.contains(QStringLiteral(", tid:%1, Log:from worker").arg(workerId)),
                 qPrintable(messages.first().text));
    }

private:
    std::unique_ptr<MessageCapture> m_capture;
};

QTEST_GUILESS_MAIN(TestLogger)
#include "tst_logger.moc"
