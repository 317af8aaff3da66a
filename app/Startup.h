#pragma once

class QCoreApplication;
class QQmlApplicationEngine;
class QUrl;

// The program's start-up order, from the logging rules to the event loop.
// Every process-wide service is brought up here, each with the failure path
// that takes down what came up before it.
namespace Startup {

// Runs the program: returns the event loop's exit code, or -1 when start-up
// is refused (another instance runs) or a service cannot be brought up.
// -h, --help, -?, --help-all, -v and --version print the help (with Qt's own
// options) or the version and end with 0 before anything starts, also
// without a display.
// --max-devices n (1 to 1024, 256 unless given) is the device list's room;
// another value ends with 2 before anything starts.
int run(int argc, char* argv[]);

// The views' own types, each in a module of its name, version 1.0:
// DeviceTableModel, NetworkInterface, MessageGenerator.
void registerQmlTypes();

// The scene graph's software renderer unless QT_QUICK_BACKEND names
// another; before the application object.
void chooseSceneGraphBackend();

// Switches off the QML runtime's own logging (views' console output) before
// any Qt object reads the logging rules.
void configureLogging();

// Ends the event loop with -1 when the main view cannot be created, so the
// program never runs on without a window. Other objectCreated emissions are
// ignored, apart from a log line when the main view has come up.
void exitOnMainViewFailure(QQmlApplicationEngine& engine, QCoreApplication& app, const QUrl& mainUrl);

} // namespace Startup
