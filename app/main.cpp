#include "AlertNotifier.h"
#include "DeviceParameter.h"
#include "DeviceTableModel.h"
#include "MultipleLaunchChecker.h"
#include "Startup.h"
#include "TerminationSignals.h"

#include <QGuiApplication>
#include <QIcon>
#include <QQmlEngine>
#include <QQmlApplicationEngine>
#include <QUrl>

namespace {

// Start-up failures unwind the services brought up so far, newest first.
// Each finalize accepts a service whose initialize failed.
int refuseStart(int servicesUp)
{
    if (servicesUp >= 2)
        AlertNotifier::finalize();
    MultipleLaunchChecker::finalize();
    return -1;
}

} // namespace

int main(int argc, char* argv[])
{
    Startup::configureLogging();
    registerDeviceMetaTypes();

    QGuiApplication app(argc, argv);
    QQmlApplicationEngine engine;
    const QUrl mainUrl(QStringLiteral("qrc:/main.qml"));

    if (MultipleLaunchChecker::initialize() != 0)
        return refuseStart(1);
    if (MultipleLaunchChecker::m_instance->alreadyLaunched())
        return refuseStart(1);

    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/view/resource/icon_app.png")));

    qmlRegisterType<DeviceTableModel>("DeviceTableModel", 1, 0, "DeviceTableModel");

    if (AlertNotifier::initialize() != 0)
        return refuseStart(2);

    quitOnTerminationSignals(app);
    Startup::exitOnMainViewFailure(engine, app, mainUrl);
    engine.load(mainUrl);

    return QGuiApplication::exec();
}
