#include "Credentials.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

// The password file's form, and what is refused or warned of before any
// device is tried.
class TestCredentials : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private Q_SLOTS:
    void passwordFile_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("othersRead"); // the file's mode lets other users read it
        // "<id>=<password>" per device asked, "*" for one without a line;
        // or "error:<text>" on the error stream, the load refused.
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("warning"); // on the error stream, the load going on; empty: nothing
        const QString warned = QStringLiteral("other users can read the password file");

        QTest::newRow("one password, CRLF") << "corvane\r\n" << false << QStringList{"*=corvane"} << QString();
        QTest::newRow("per device, the rest shared") << "# comment\n10.0.0.5 p 5\n\n* shared\n"
                                                     << false << QStringList{"10.0.0.5=p 5", "*=shared"} << QString();
        QTest::newRow("a one-line password with a space, quoted") << "\"pass word\"\n"
                                                                  << false << QStringList{"*=pass word"} << QString();
        QTest::newRow("a password starting with # and a quote inside")
            << "* \"#se\\\"cret\\\\\"\n"
            << false << QStringList{"*=#se\"cret\\"} << QString();
        QTest::newRow("a host name with spaces") << "\"Meeting Room 2\" \" lead\"\n* x\n"
                                                 << false << QStringList{"meeting room 2= lead", "*=x"} << QString();
        QTest::newRow("a quote not closed") << "* \"abc\n"
                                            << false << QStringList{"error:line 1: a quote is not closed"} << QString();
        QTest::newRow("text after a quote")
            << "\"a\"b c\n"
            << false << QStringList{"error:line 1: a quote is not closed, or text follows"} << QString();
        QTest::newRow("an empty password") << "# x\n10.0.0.5 \"\"\n"
                                           << false << QStringList{"error:line 2: an empty password"} << QString();
        QTest::newRow("comments only") << "# nothing\n" << false << QStringList{"error:holds no password"} << QString();
        QTest::newRow("readable by others") << "corvane\n" << true << QStringList{"*=corvane"} << warned;
        QTest::newRow("a one-line password with a space, unquoted") << "w@tch pw\n"
                                                                    << false << QStringList{"*=w@tch pw"} << QString();
        QTest::newRow("one line for a device found by its host name")
            << "reception p w\n"
            << false << QStringList{"reception=p w", "*="} << QString();
        QTest::newRow("an id no device found answers to")
            << "Lobby x\n10.0.0.6 y\n"
            << false << QStringList{"lobby=x", "10.0.0.6=y"} << "names 1 id no device found answers to: \"Lobby\"";
    }

    void passwordFile()
    {
        QFETCH(QString, text);
        QFETCH(bool, othersRead);
        QFETCH(QStringList, expected);
        QFETCH(QString, warning);
        const QString path = m_dir.filePath(QStringLiteral("passwords"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.toUtf8());
        file.close();
        QVERIFY(file.setPermissions(othersRead
                                        ? QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther
                                        : QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        QString said;
        QTextStream err(&said);
        std::optional<Credentials> credentials = Credentials::load(path, err);
        err.flush();
        if (expected.first().startsWith(QLatin1String("error:"))) {
            QVERIFY(!credentials);
            QVERIFY2(said.contains(expected.first().mid(6)), qPrintable(said));
            return;
        }
        QVERIFY2(credentials, qPrintable(said));
        // The devices found: two, one of them named "Reception".
        credentials->settle(
            {"02:00:00:00:00:05", "10.0.0.5", "Meeting Room 2", "02:00:00:00:00:06", "10.0.0.6", "Reception"}, err);
        err.flush();
        QCOMPARE(said.contains(QLatin1String("warning")), !warning.isEmpty());
        QVERIFY(said.contains(warning));
        for (const QString& pair : std::as_const(expected)) {
            const QString id = pair.section(QLatin1Char('='), 0, 0);
            const QString ids = id == QLatin1String("*") ? QStringLiteral("10.9.9.9") : id;
            QCOMPARE(credentials->passwordFor({ids}), pair.section(QLatin1Char('='), 1));
            QCOMPARE(credentials->hasOwnPassword({ids.toUpper()}), id != QLatin1String("*"));
        }
    }

    // No file: the variable, which may not be empty.
    void emptyVariableRefused()
    {
        qputenv(Credentials::kEnvironmentVariable, QByteArray());
        QString said;
        QTextStream err(&said);
        QVERIFY(!Credentials::load(QString(), err));
        err.flush();
        QVERIFY2(said.contains(QLatin1String("CORVANE_PASSWORD is set but empty")), qPrintable(said));
        qputenv(Credentials::kEnvironmentVariable, QByteArrayLiteral("s3cret"));
        const std::optional<Credentials> set = Credentials::load(QString(), err);
        QVERIFY(set && set->passwordFor({QStringLiteral("x")}) == QLatin1String("s3cret"));
    }
};

QTEST_GUILESS_MAIN(TestCredentials)
#include "tst_credentials.moc"
