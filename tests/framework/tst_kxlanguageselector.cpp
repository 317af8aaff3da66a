// The language selectors and their process-wide service: nothing happens
// without a language table and default, an unknown code falls back to the
// default, a translation file that loads and one that does not, every
// selector told of a change, and each QML engine holding selectors asked to
// re-translate exactly once per change. The cases build on one another's
// process-wide state, in order.

#include "KxFramework.h"
#include "KxLanguageSelector.h"
#include "MessageCapture.h"

#include <QFile>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <memory>

namespace {

// The 16 bytes every compiled translation file starts with; a file of just
// these is a valid translation without messages.
const QByteArray kTranslationMagic = QByteArray::fromHex("3cb86418caef9c95cd211cbf60a1bddd");

const QByteArray kDocument = R"(
import QtQml
import com.halvorn.kxframework
QtObject {
    property list<QtObject> selectors: [KxLanguageSelector {}, KxLanguageSelector {}]
    property string title: qsTr("Devices") + probe.evaluated()
}
)";

const QByteArray kOneSelector = R"(
import QtQml
import com.halvorn.kxframework
QtObject {
    property KxLanguageSelector selector: KxLanguageSelector {}
    property string title: qsTr("Devices") + probe.evaluated()
}
)";

} // namespace

// Counts how often the translated binding of a document is evaluated.
class Probe : public QObject
{
    Q_OBJECT

public:
    int count = 0;
    Q_INVOKABLE QString evaluated()
    {
        ++count;
        return QString();
    }
};

class TestKxLanguageSelector : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_translations;

    bool languageLogged(const QStringList& lines, const char* text)
    {
        return !lines.filter(QLatin1String(text)).isEmpty();
    }

private Q_SLOTS:
    void initTestCase()
    {
        KxFramework::initialize(QCoreApplication::instance(), nullptr, QUrl());
        QVERIFY(m_translations.isValid());
        QFile de(m_translations.filePath(QStringLiteral("lang_de.qm")));
        QVERIFY(de.open(QIODevice::WriteOnly));
        QCOMPARE(de.write(kTranslationMagic), qint64(kTranslationMagic.size()));
    }

    void nothingWithoutLanguages()
    {
        KxLanguageSelector selector;
        QSignalSpy changed(&selector, &KxLanguageSelector::currentLanguageChanged);
        MessageCapture capture;
        selector.setCurrentLanguage(QStringLiteral("de"));
        QCOMPARE(selector.currentLanguage(), QString());
        QVERIFY(changed.isEmpty());
        QVERIFY(selector.languages().isEmpty());
        QVERIFY(!languageLogged(capture.takeTexts(), "language resource file"));
        QVERIFY(!KxLanguageSelectorService::getInstance().isInstalled());
    }

    void installSwitchesToTheDefault()
    {
        KxLanguageSelector selector;
        QSignalSpy changed(&selector, &KxLanguageSelector::currentLanguageChanged);
        const QVariantMap languages{{"en", "English"}, {"de", "Deutsch"}, {"ja", "Japanese"}};
        KxFramework::installLanguages(QStringLiteral("en"), m_translations.path(), languages);
        QVERIFY(KxLanguageSelectorService::getInstance().isInstalled());
        QCOMPARE(selector.currentLanguage(), QStringLiteral("en"));
        QCOMPARE(selector.languages(), languages);
        QCOMPARE(changed.size(), 1);
    }

    void resolution_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("requested");
        QTest::addColumn<QString>("resolved");
        QTest::addColumn<int>("signalled");
        QTest::addColumn<QString>("logged");

        // clang-format off
        QTest::newRow("listed") << "en" << "de" << "de" << 1 << "language resource file load successed.";
        QTest::newRow("listed without a file") << "de" << "ja" << "ja" << 1 << "language resource file load error.";
        QTest::newRow("unknown falls back") << "de" << "fr" << "en" << 1 << "language resource file load error.";
        QTest::newRow("unknown while default") << "en" << "fr" << "en" << 0 << "";
        QTest::newRow("empty while default") << "en" << "" << "en" << 0 << "";
        QTest::newRow("same again") << "de" << "de" << "de" << 0 << "";
        QTest::newRow("case matters") << "de" << "DE" << "en" << 1 << "language resource file load error.";
        // clang-format on
    }

    void resolution()
    {
        QFETCH(QString, from);
        QFETCH(QString, requested);
        QFETCH(QString, resolved);
        QFETCH(int, signalled);
        QFETCH(QString, logged);

        KxLanguageSelector first;
        KxLanguageSelector second;
        first.setCurrentLanguage(from);
        QCOMPARE(first.currentLanguage(), from);
        QSignalSpy firstChanged(&first, &KxLanguageSelector::currentLanguageChanged);
        QSignalSpy secondChanged(&second, &KxLanguageSelector::currentLanguageChanged);
        MessageCapture capture;

        second.setCurrentLanguage(requested);
        QCOMPARE(first.currentLanguage(), resolved);
        QCOMPARE(second.currentLanguage(), resolved);
        QCOMPARE(firstChanged.size(), signalled);
        QCOMPARE(secondChanged.size(), signalled);
        const QStringList lines = capture.takeTexts().filter(QStringLiteral("language resource file"));
        QCOMPARE(lines.size(), logged.isEmpty() ? 0 : 1);
        if (!logged.isEmpty())
            QVERIFY2(lines.first().endsWith(logged), qPrintable(lines.first()));
    }

    void oneRetranslationPerEngine()
    {
        KxLanguageSelector(nullptr).setCurrentLanguage(QStringLiteral("en"));
        QQmlEngine twoSelectors;
        QQmlEngine oneSelector;
        Probe twoProbe;
        Probe oneProbe;
        twoSelectors.rootContext()->setContextProperty(QStringLiteral("probe"), &twoProbe);
        oneSelector.rootContext()->setContextProperty(QStringLiteral("probe"), &oneProbe);
        QQmlComponent twoDocument(&twoSelectors);
        twoDocument.setData(kDocument, QUrl(QStringLiteral("qrc:/two.qml")));
        QQmlComponent oneDocument(&oneSelector);
        oneDocument.setData(kOneSelector, QUrl(QStringLiteral("qrc:/one.qml")));
        std::unique_ptr<QObject> two(twoDocument.create());
        std::unique_ptr<QObject> one(oneDocument.create());
        QVERIFY2(two && one, qPrintable(twoDocument.errorString() + oneDocument.errorString()));
        // A selector outside any engine takes part without one.
        KxLanguageSelector outside;
        QCOMPARE(twoProbe.count, 1);
        QCOMPARE(oneProbe.count, 1);

        outside.setCurrentLanguage(QStringLiteral("de"));
        QCOMPARE(twoProbe.count, 2);
        QCOMPARE(oneProbe.count, 2);
        outside.setCurrentLanguage(QStringLiteral("de"));
        QCOMPARE(twoProbe.count, 2);

        one.reset();
        outside.setCurrentLanguage(QStringLiteral("en"));
        QCOMPARE(twoProbe.count, 3);
        QCOMPARE(oneProbe.count, 2);
    }
};

QTEST_MAIN(TestKxLanguageSelector)
#include "tst_kxlanguageselector.moc"
