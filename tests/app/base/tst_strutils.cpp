#include "StrUtils.h"

#include <QTest>

using Pieces = std::vector<std::string>;
Q_DECLARE_METATYPE(Pieces)

class TestStrUtils : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void splitStr_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<char>("delimiter");
        QTest::addColumn<Pieces>("expected");
        QTest::newRow("empty") << QByteArray("") << '.' << Pieces{};
        QTest::newRow("no delimiter") << QByteArray("abc") << '.' << Pieces{"abc"};
        QTest::newRow("path") << QByteArray("a/b/c") << '/' << Pieces{"a", "b", "c"};
        QTest::newRow("adjacent") << QByteArray("a..b") << '.' << Pieces{"a", "", "b"};
        QTest::newRow("trailing") << QByteArray("a.b.") << '.' << Pieces{"a", "b"};
        QTest::newRow("leading") << QByteArray(".a") << '.' << Pieces{"", "a"};
        QTest::newRow("only delimiter") << QByteArray(".") << '.' << Pieces{""};
        QTest::newRow("two delimiters") << QByteArray("..") << '.' << Pieces{"", ""};
        QTest::newRow("trailing after empty") << QByteArray("a..") << '.' << Pieces{"a", ""};
        QTest::newRow("only delimiters") << QByteArray("...") << '.' << Pieces{"", "", ""};
        QTest::newRow("other delimiter untouched") << QByteArray("a.b:c") << ':' << Pieces{"a.b", "c"};
        QTest::newRow("address") << QByteArray("192.168.0.10") << '.' << Pieces{"192", "168", "0", "10"};
    }
    void splitStr()
    {
        QFETCH(QByteArray, text);
        QFETCH(char, delimiter);
        QFETCH(Pieces, expected);
        QCOMPARE(StrUtils::splitStr(text.toStdString(), delimiter), expected);
    }
};

QTEST_GUILESS_MAIN(TestStrUtils)
#include "tst_strutils.moc"
