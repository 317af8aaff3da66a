#include "Startup.h"

#include "Accessibility.h"
#include "AlertNotifier.h"
#include "BatchJournal.h"
#include "DeviceFacade.h"
#include "DeviceNotificationObserver.h"
#include "DeviceNotificationSubscriber.h"
#include "DeviceParameter.h"
#include "DeviceTableModel.h"
#include "DeviceTrust.h"
#include "HttpAccessManager.h"
#include "KxFramework.h"
#include "KxSystem.h"
#include "Logger.h"
#include "Look.h"
#include "MultipleLaunchChecker.h"
#include "NetworkInterfaceTableModel.h"
#include "PeerTrust.h"
#include "ResultCode.h"
#include "Services.h"
#include "TerminationSignals.h"
#include "UserInterface.h"
#include "WebSocketClient.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QUrl>

#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

namespace {

// The process-wide services brought up so far. A failed step takes down the
// failed service and every one before it, newest first; each finalize accepts
// a partly initialised service. A normal exit takes down nothing: the
// operating system releases what the services hold when the process ends.
class ServiceStack
{
public:
    // True when the service came up; otherwise everything is taken down.
    bool bringUp(const char* name, const std::function<bool()>& initialize, std::function<void()> finalize)
    {
        m_finalizers.push_back(std::move(finalize));
        if (initialize())
            return true;
        CORVANE_LOG(QStringLiteral("start-up stopped at: %1").arg(QLatin1String(name)));
        takeDown();
        return false;
    }

private:
    void takeDown()
    {
        for (auto it = m_finalizers.rbegin(); it != m_finalizers.rend(); ++it)
            (*it)();
        m_finalizers.clear();
    }

    std::vector<std::function<void()>> m_finalizers;
};

// The batch operations as a stop request sees them: busy whenever the system
// is not Active, and while the last batch's devices still install (their
// results are still to be shown and said), the same rule by which the window
// defers its close.
class BatchOperations : public UninterruptibleWork
{
public:
    BatchOperations()
    {
        connect(&m_system, &KxSystem::statusChanged, this, &UninterruptibleWork::busyChanged);
        m_journal = qobject_cast<BatchJournal*>(m_system.journal());
        if (m_journal != nullptr)
            connect(m_journal, &BatchJournal::busyChanged, this, &UninterruptibleWork::busyChanged);
    }

    bool busy() const override
    {
        return m_system.status() != KxSystemStatus::Active || (m_journal != nullptr && m_journal->busy());
    }

private:
    KxSystem m_system;
    QPointer<BatchJournal> m_journal;
};

bool launchGuardLetsUsRun()
{
    if (MultipleLaunchChecker::initialize() != 0)
        return false;
    return !MultipleLaunchChecker::m_instance->alreadyLaunched();
}

// The first option that asks only for the help or the version, or null. "-?"
// is Windows' spelling of help, which Qt's parser knows only there.
const char* helpOrVersionOption(int argc, char* argv[])
{
    static const char* const options[] = {"-h", "--help", "-?", "--help-all", "-v", "--version"};
    for (int i = 1; i < argc; ++i) {
        for (const char* option : options) {
            if (std::strcmp(argv[i], option) == 0)
                return option;
        }
    }
    return nullptr;
}

// Prints the help or the version and ends; nothing of the program starts. The
// application is still made, so that the help lists the options Qt takes, but
// on the offscreen platform (the last -platform wins): packagers and operators
// ask for these where no display is reachable.
int printHelpOrVersion(int argc, char* argv[], const char* option)
{
    std::vector<char*> arguments(argv, argv + argc);
    char platformOption[] = "-platform";
    char offscreen[] = "offscreen";
    arguments.push_back(platformOption);
    arguments.push_back(offscreen);
    int count = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);
    QGuiApplication app(count, arguments.data());
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVANE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Finds the networked devices of the family on a local network, shows their state live and "
                       "updates their firmware, configuration and standby-screen image, many at once."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({QStringLiteral("max-devices"),
                      QStringLiteral("How many devices the window can list (%1 unless given, at most %2).")
                          .arg(DeviceFacade::kOperatorDefaultMaxDevices)
                          .arg(DeviceFacade::kOperatorMostDevices),
                      QStringLiteral("n")});
    // Only the asked-for option: other arguments are ignored as at a normal
    // start. Every help spelling lists Qt's options too.
    const bool version = std::strcmp(option, "-v") == 0 || std::strcmp(option, "--version") == 0;
    parser.process(
        {QCoreApplication::arguments().value(0), version ? QStringLiteral("--version") : QStringLiteral("--help-all")});
    return 0; // not reached: the parser exits after printing
}

// --max-devices n (or =n), the last one given; the default without it. Null,
// with the reason on stderr, for a value that is no count the list can hold.
std::optional<int> maxDevicesOption(int argc, char* argv[])
{
    static const char option[] = "--max-devices";
    std::optional<QByteArray> value;
    for (int i = 1; i < argc; ++i) {
        const QByteArray argument(argv[i]);
        if (argument == option)
            value = i + 1 < argc ? QByteArray(argv[++i]) : QByteArray();
        else if (argument.startsWith(QByteArray(option) + '='))
            value = argument.mid(int(sizeof option));
    }
    if (!value)
        return DeviceFacade::kOperatorDefaultMaxDevices;
    bool ok = false;
    const int count = value->toInt(&ok);
    if (ok && count >= 1 && count <= DeviceFacade::kOperatorMostDevices)
        return count;
    fprintf(stderr, "corvane: --max-devices takes a whole number from 1 to %d, not \"%s\"\n",
            DeviceFacade::kOperatorMostDevices, value->left(64).constData());
    return std::nullopt;
}

} // namespace

namespace Startup {

int run(int argc, char* argv[])
{
    if (const char* option = helpOrVersionOption(argc, argv))
        return printHelpOrVersion(argc, argv, option);
    // The window lists as many devices as corvanectl; the room is fixed
    // when discovery starts, with the facade's first use below.
    const std::optional<int> maxDevices = maxDevicesOption(argc, argv);
    if (!maxDevices)
        return 2;
    DeviceFacade::setInstanceCapacity(*maxDevices);

    configureLogging();
    chooseSceneGraphBackend();
    Views::chooseStyle();
    registerDeviceMetaTypes();

    QGuiApplication app(argc, argv);
    QQmlApplicationEngine engine;
    const QUrl mainUrl(QStringLiteral("qrc:/main.qml"));
    // Before the launch guard, but it reaches nothing process-wide until its
    // initialize: a refused second start touches no device.
    DeviceNotificationSubscriber subscriber;
    ServiceStack services;

    if (!services.bringUp("launch guard", launchGuardLetsUsRun, &MultipleLaunchChecker::finalize))
        return -1;

    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/view/resource/icon_app.png")));
    registerQmlTypes();

    if (!services.bringUp(
            "alert notifier", [] { return AlertNotifier::initialize() == 0; }, &AlertNotifier::finalize))
        return -1;

    if (!services.bringUp(
            "push-session observer", [] { return ResultCode::isSuccess(DeviceNotificationObserver::initialize()); },
            &DeviceNotificationObserver::finalize))
        return -1;
    // A device's key is checked before its credential goes, by every
    // transport (off with CORVANE_KEY_PINNING=off, which is said every time).
    std::shared_ptr<PinnedPeerTrust> trust;
    if (PeerTrust::pinningWanted())
        trust = DeviceTrust::pinnedFor(DeviceFacade::getInstance());
    else
        CORVANE_LOG(PeerTrust::pinningOffWarning());
    HttpAccessManager::getInstance().setPeerTrust(trust);
    // What the objects QML makes work on; filled once, here.
    Services::install({&DeviceFacade::getInstance(), DeviceNotificationObserver::m_instance,
                       &HttpAccessManager::getInstance(), trust.get()});

    if (!services.bringUp(
            "notification subscriber", [&subscriber] { return subscriber.initialize() == 0; },
            [&subscriber] { subscriber.finalize(); }))
        return -1;

    KxFramework::initialize(&app, &engine, mainUrl);

    // Shares the system with the window's KxSystem; after the alert notifier,
    // which the system connects to when it is made.
    BatchOperations batchOperations;
    // A signal that waits for the batch is said in the window, as a close
    // request that waits is.
    quitOnTerminationSignals(app, &batchOperations, [&engine] {
        if (!engine.rootObjects().isEmpty())
            QMetaObject::invokeMethod(engine.rootObjects().first(), "deferClose");
    });
    exitOnMainViewFailure(engine, app, mainUrl);
    engine.load(mainUrl);

    const int code = QGuiApplication::exec();
    // The window is gone: the views' teardown is not told to screen readers.
    Views::endAccessibility();
    // Every channel ends with its closing handshake, not cut off with the
    // process, whichever way the quit came.
    DeviceNotificationObserver::finalize();
    WebSocketClient::finishClosing();
    HttpAccessManager::getInstance().setPeerTrust(nullptr);
    return code;
}

void registerQmlTypes()
{
    qmlRegisterType<DeviceTableModel>("DeviceTableModel", 1, 0, "DeviceTableModel");
    qmlRegisterType<NetworkInterfaceTableModel>("NetworkInterface", 1, 0, "NetworkInterface");
    qmlRegisterType<DeviceTrust>("DeviceTrust", 1, 0, "DeviceTrust");
    qmlRegisterType<UserInterface::MessageGenerator>("MessageGenerator", 1, 0, "MessageGenerator");
    Views::registerTypes();
}

void chooseSceneGraphBackend()
{
    // The window is a flat table with popups. Qt Quick's software renderer
    // repaints only the cells that change, where OpenGL redraws the whole
    // window for every pushed change; without a graphics card (virtual
    // machines, remote desktops) that OpenGL is itself emulated on the CPU.
    // An operator's QT_QUICK_BACKEND still decides.
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
}

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
