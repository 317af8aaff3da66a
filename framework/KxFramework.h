#pragma once

#include <QString>
#include <QVariantMap>

class QCoreApplication;
class QQmlApplicationEngine;
class QUrl;

// The object framework's entry point: makes its types known to QML under
// "com.halvorn.kxframework" 1.0 and, given an engine, the screen singleton.
// User-interface thread, once per process, before the main document loads.
class KxFramework
{
public:
    KxFramework() = delete;

    // Registers the types; with an engine also creates the screen object as
    // the engine's child (g_pKxScreen) and refreshes its safe-area margins
    // after every object the engine creates, unless loading `url` itself
    // failed.
    static void initialize(QCoreApplication* application, QQmlApplicationEngine* engine, const QUrl& url);

    // Gives the language selectors a table of language codes, a default
    // language and the folder of their "lang_<code>.qm" files, and switches
    // to the default language.
    static void installLanguages(const QString& defaultLanguage, const QString& directory,
                                 const QVariantMap& languages);
};
