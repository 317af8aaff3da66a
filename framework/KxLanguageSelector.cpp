#include "KxLanguageSelector.h"

#include "Logger.h"

#include <QCoreApplication>
#include <QQmlEngine>

#include <algorithm>
#include <vector>

KxLanguageSelector::KxLanguageSelector(QObject* parent)
    : QObject(parent)
{
    KxLanguageSelectorService::getInstance().registerSelector(this);
}

KxLanguageSelector::~KxLanguageSelector()
{
    KxLanguageSelectorService::getInstance().unregisterSelector(this);
}

QString KxLanguageSelector::currentLanguage() const
{
    return KxLanguageSelectorService::getInstance().currentLanguage();
}

void KxLanguageSelector::setCurrentLanguage(const QString& language)
{
    KxLanguageSelectorService::getInstance().setCurrentLanguage(language);
}

QVariantMap KxLanguageSelector::languages() const
{
    return KxLanguageSelectorService::getInstance().languages();
}

KxLanguageSelectorService& KxLanguageSelectorService::getInstance()
{
    static KxLanguageSelectorService instance;
    return instance;
}

void KxLanguageSelectorService::installLanguages(const QString& defaultLanguage, const QString& directory,
                                                 const QVariantMap& languages)
{
    m_defaultLanguage = defaultLanguage;
    m_directory = directory;
    m_languages = languages;
    setCurrentLanguage(defaultLanguage);
    m_installed = true;
}

void KxLanguageSelectorService::registerSelector(KxLanguageSelector* selector)
{
    m_selectors.append(selector);
}

void KxLanguageSelectorService::unregisterSelector(KxLanguageSelector* selector)
{
    // A QPointer is already null here when the selector goes as a QObject
    // child; drop those along with it.
    m_selectors.removeIf(
        [selector](const QPointer<KxLanguageSelector>& entry) { return entry.isNull() || entry.data() == selector; });
}

void KxLanguageSelectorService::setCurrentLanguage(const QString& language)
{
    const QString resolved = m_languages.contains(language) ? language : m_defaultLanguage;
    if (resolved == m_currentLanguage)
        return;

    if (m_translatorInstalled) {
        QCoreApplication::removeTranslator(&m_translator);
        m_translatorInstalled = false;
    }
    if (m_translator.load(QStringLiteral("lang_") + resolved, m_directory)) {
        CORVANE_LOG("language resource file load successed.");
        m_translatorInstalled = QCoreApplication::installTranslator(&m_translator);
    } else {
        CORVANE_LOG("language resource file load error.");
    }

    retranslateEngines();
    m_currentLanguage = resolved;

    // A copy: a handler may create or destroy selectors.
    const QList<QPointer<KxLanguageSelector>> selectors = m_selectors;
    for (const QPointer<KxLanguageSelector>& selector : selectors) {
        if (selector)
            Q_EMIT selector->currentLanguageChanged();
    }
}

void KxLanguageSelectorService::retranslateEngines()
{
    std::vector<QQmlEngine*> done;
    const QList<QPointer<KxLanguageSelector>> selectors = m_selectors;
    for (const QPointer<KxLanguageSelector>& selector : selectors) {
        QQmlEngine* engine = selector ? qmlEngine(selector.data()) : nullptr;
        if (engine == nullptr || std::find(done.begin(), done.end(), engine) != done.end())
            continue;
        done.push_back(engine);
        engine->retranslate();
    }
}
