#include "Startup.h"

#include "Logger.h"

#include <QCoreApplication>
#include <QQmlApplicationEngine>
#include <QUrl>

namespace Startup {

void configureLogging()
{
    qputenv("QT_LOGGING_RULES", "qml=false");
}

void exitOnMainViewFailure(QQmlApplicationEngine& engine, QCoreApplication& app, const QUrl& mainUrl)
{
    QObject::connect(
        &engine, &QQmlApplicationEngine::objectCreated, &app,
        [mainUrl](QObject* object, const QUrl& url) {
            if (url != mainUrl)
                return;
            if (object == nullptr) {
                CORVANE_LOG(QStringLiteral("cannot create the main view from %1").arg(url.toString()));
                QCoreApplication::exit(-1);
                return;
            }
            CORVANE_LOG("main view created");
        },
        Qt::QueuedConnection);
}

} // namespace Startup
