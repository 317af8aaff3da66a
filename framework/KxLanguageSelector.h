#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTranslator>
#include <QVariantMap>

// The views' handle on the user-interface language. Every selector shows the
// process-wide current language; writing one changes it for all.
// User-interface thread only.
class KxLanguageSelector : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString currentLanguage READ currentLanguage WRITE setCurrentLanguage NOTIFY currentLanguageChanged)
    Q_PROPERTY(QVariantMap languages READ languages CONSTANT)

public:
    explicit KxLanguageSelector(QObject* parent = nullptr);
    ~KxLanguageSelector() override;

    QString currentLanguage() const;
    void setCurrentLanguage(const QString& language);
    QVariantMap languages() const;

Q_SIGNALS:
    void currentLanguageChanged();
};

// The process-wide language state behind the selectors: the language table
// (codes as keys), the default language, the folder of "lang_<code>.qm"
// files and the one translator installed in the application. Created on
// first use, lives until process exit. User-interface thread only.
class KxLanguageSelectorService
{
public:
    static KxLanguageSelectorService& getInstance();

    // Stores the three and switches to the default language.
    void installLanguages(const QString& defaultLanguage, const QString& directory, const QVariantMap& languages);
    bool isInstalled() const { return m_installed; }

    QString currentLanguage() const { return m_currentLanguage; }
    QVariantMap languages() const { return m_languages; }

    // A code missing from the table means the default language. On a real
    // change: swaps the application's translator (a file that does not load
    // leaves none, and is only logged), has every engine that holds a
    // selector re-translate once, and signals every selector.
    void setCurrentLanguage(const QString& language);

    void registerSelector(KxLanguageSelector* selector);
    void unregisterSelector(KxLanguageSelector* selector);

private:
    KxLanguageSelectorService() = default;

    void retranslateEngines();

    bool m_installed = false;
    QString m_currentLanguage;
    QList<QPointer<KxLanguageSelector>> m_selectors;
    QTranslator m_translator;
    bool m_translatorInstalled = false;
    QString m_defaultLanguage;
    QString m_directory;
    QVariantMap m_languages;
};
