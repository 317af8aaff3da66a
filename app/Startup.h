#pragma once

class QCoreApplication;
class QQmlApplicationEngine;
class QUrl;

namespace Startup {

// Switches off the QML runtime's own logging (views' console output) before
// any Qt object reads the logging rules.
void configureLogging();

// Ends the event loop with -1 when the main view cannot be created, so the
// program never runs on without a window. Other objectCreated emissions are
// ignored, apart from a log line when the main view has come up.
void exitOnMainViewFailure(QQmlApplicationEngine& engine, QCoreApplication& app, const QUrl& mainUrl);

} // namespace Startup
