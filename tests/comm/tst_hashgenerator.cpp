// Digests of byte arrays and of files read as a stream, beside md5sum's.

#include "HashGenerator.h"
#include "TestTools.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

class TestHashGenerator : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString writeFile(const QString& name, const QByteArray& content) { return writeTestFile(m_dir, name, content); }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void bytes_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("algorithm");
        QTest::addColumn<QByteArray>("hex");
        const int md5 = QCryptographicHash::Md5;
        // RFC 1321's test suite, and the authentication code of a password.
        QTest::newRow("empty") << QByteArray("") << md5 << QByteArray("d41d8cd98f00b204e9800998ecf8427e");
        QTest::newRow("a") << QByteArray("a") << md5 << QByteArray("0cc175b9c0f1b6a831c399e269772661");
        QTest::newRow("abc") << QByteArray("abc") << md5 << QByteArray("900150983cd24fb0d6963f7d28e17f72");
        QTest::newRow("digits") << QByteArray(
            "12345678901234567890123456789012345678901234567890123456789012345678901234567890")
                                << md5 << QByteArray("57edf4a22be3c955ac49da2e2107b67a");
        QTest::newRow("utf-8 password") << QString::fromUtf8("pässwörd").toUtf8() << md5
                                        << md5Hex(QString::fromUtf8("pässwörd").toUtf8()).toLatin1();
        QTest::newRow("sha256 abc") << QByteArray("abc") << int(QCryptographicHash::Sha256)
                                    << QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    }

    void bytes()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, algorithm);
        QFETCH(QByteArray, hex);
        QCOMPARE(HashGenerator::generate(data, QCryptographicHash::Algorithm(algorithm)).toHex(), hex);
    }

    void files_data()
    {
        QTest::addColumn<qsizetype>("size");
        QTest::newRow("empty") << qsizetype(0);
        QTest::newRow("one byte") << qsizetype(1);
        QTest::newRow("one block less one") << qsizetype(1023);
        // Files are read 1 MiB at a time.
        QTest::newRow("one read") << qsizetype(1024 * 1024);
        QTest::newRow("one read and one byte") << qsizetype(1024 * 1024 + 1);
        QTest::newRow("odd size over many blocks") << qsizetype(3 * 1024 * 1024 + 17);
    }

    // The file through its path and through a QFile, against md5sum.
    void files()
    {
        QFETCH(qsizetype, size);
        const QString path = writeFile(QStringLiteral("file-%1.bin").arg(size), randomBytes(size, quint32(size)));
        QVERIFY(!path.isEmpty());
        const QByteArray expected = md5Of(path);
        QCOMPARE(expected.size(), 32);
        QCOMPARE(HashGenerator::generate(path, QCryptographicHash::Md5).toHex(), expected);
        QFile file(path);
        QCOMPARE(HashGenerator::generate(&file, QCryptographicHash::Md5).toHex(), expected);
        QVERIFY(!file.isOpen()); // closed again
        // Digesting again gives the same: nothing is left of the first pass.
        QCOMPARE(HashGenerator::generate(&file, QCryptographicHash::Md5).toHex(), expected);
    }

    void unreadable_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("missing") << m_dir.filePath(QStringLiteral("missing.bundle"));
        QTest::newRow("directory") << m_dir.path();
        QTest::newRow("empty path") << QString();
        // Opens, but its content ends before the 4096 bytes its size claims.
        QTest::newRow("shorter than its size") << QStringLiteral("/sys/devices/system/cpu/online");
    }

    void unreadable()
    {
        QFETCH(QString, path);
        QVERIFY(HashGenerator::generate(path, QCryptographicHash::Md5).isEmpty());
        QFile file(path);
        QVERIFY(HashGenerator::generate(&file, QCryptographicHash::Md5).isEmpty());
    }

    void nullFile()
    {
        QVERIFY(HashGenerator::generate(static_cast<QFile*>(nullptr), QCryptographicHash::Md5).isEmpty());
    }

    // An open file is someone else's stream: it is neither digested from its
    // current position nor closed under its owner.
    void alreadyOpenFile()
    {
        const QString path = writeFile(QStringLiteral("open.bin"), QByteArray("0123456789"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.seek(4));
        QVERIFY(HashGenerator::generate(&file, QCryptographicHash::Md5).isEmpty());
        QVERIFY(file.isOpen());
        QCOMPARE(file.pos(), qint64(4));
    }
};

QTEST_GUILESS_MAIN(TestHashGenerator)
#include "tst_hashgenerator.moc"
