#include "Logger.h"
#include "Startup.h"
#include "TerminationSignals.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlComponent>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <memory>

namespace {

QStringList s_messages;

void captureHandler(QtMsgType, const QMessageLogContext&, const QString& text)
{
    s_messages.append(text);
}

// Keeps a handler that never ends the loop from hanging the test.
void startWatchdog(QTimer& watchdog)
{
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    watchdog.start(30000);
}

// Ends the loop with `code` right after the handler under test has seen the
// main view's creation: queued slots of one emission run in connection order.
void exitAfterHandlerWith(QQmlApplicationEngine& engine, const QUrl& mainUrl, int code, QTimer& watchdog)
{
    QObject::connect(
        &engine, &QQmlApplicationEngine::objectCreated, qApp,
        [mainUrl, code](QObject*, const QUrl& url) {
            if (url == mainUrl)
                QCoreApplication::exit(code);
        },
        Qt::QueuedConnection);
    startWatchdog(watchdog);
}

// A batch operation as a stop request sees it. With `endsOnceAsked` it ends,
// on the next turn of the event loop, after the first question whether it
// is busy: a request that came while it ran.
class BatchStandIn : public UninterruptibleWork
{
public:
    BatchStandIn(bool running, bool endsOnceAsked)
        : m_running(running)
        , m_endsOnceAsked(endsOnceAsked)
    {
    }

    bool busy() const override
    {
        if (m_running && m_endsOnceAsked && !m_ending) {
            m_ending = true;
            QTimer::singleShot(0, this, [this] {
                m_running = false;
                Q_EMIT const_cast<BatchStandIn*>(this)->busyChanged();
            });
        }
        return m_running;
    }

private:
    mutable bool m_running;
    const bool m_endsOnceAsked;
    mutable bool m_ending = false;
};

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // First: the choice only counts before any window has set up a scene
    // graph. The operator's row comes first, since the choice cannot be undone.
    void sceneGraphBackend_data()
    {
        QTest::addColumn<QByteArray>("environment");
        QTest::addColumn<QString>("backend");
        QTest::newRow("operator's choice") << QByteArray("opengl") << QString();
        QTest::newRow("not set: software") << QByteArray() << QStringLiteral("software");
    }

    void sceneGraphBackend()
    {
        QFETCH(QByteArray, environment);
        QFETCH(QString, backend);
        const QByteArray before = qgetenv("QT_QUICK_BACKEND");
        if (environment.isEmpty())
            qunsetenv("QT_QUICK_BACKEND");
        else
            qputenv("QT_QUICK_BACKEND", environment);
        Startup::chooseSceneGraphBackend();
        QCOMPARE(QQuickWindow::sceneGraphBackend(), backend);
        if (before.isEmpty())
            qunsetenv("QT_QUICK_BACKEND");
        else
            qputenv("QT_QUICK_BACKEND", before);
    }

    void viewConsoleOutputIsNotShown()
    {
        s_messages.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureHandler);
        QQmlEngine engine;
        QQmlComponent component(&engine);
        component.setData("import QtQml\nQtObject { Component.onCompleted: {"
                          " console.log('view-console-log'); console.info('view-console-info');"
                          " console.debug('view-console-debug') } }",
                          QUrl(QStringLiteral("inline.qml")));
        std::unique_ptr<QObject> object(component.create());
        Logger::writeLog("program-log");
        qInstallMessageHandler(previous);

        QVERIFY2(object != nullptr, qPrintable(component.errorString()));
        QCOMPARE(s_messages, QStringList{QStringLiteral("program-log")});
    }

    void mainViewThatFailsToLoadEndsTheProgram()
    {
        QQmlApplicationEngine engine;
        const QUrl mainUrl(QStringLiteral("qrc:/no-such-main.qml"));
        Startup::exitOnMainViewFailure(engine, *qApp, mainUrl);
        QTimer watchdog;
        startWatchdog(watchdog);
        engine.load(mainUrl);
        QCOMPARE(QCoreApplication::exec(), -1);
    }

    void otherViewsAndSuccessAreIgnored()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString mainPath = dir.filePath(QStringLiteral("main.qml"));
        QFile file(mainPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("import QtQml\nQtObject {}\n");
        file.close();

        QQmlApplicationEngine engine;
        const QUrl mainUrl = QUrl::fromLocalFile(mainPath);
        Startup::exitOnMainViewFailure(engine, *qApp, mainUrl);
        QTimer watchdog;
        exitAfterHandlerWith(engine, mainUrl, 7, watchdog);
        engine.load(QUrl::fromLocalFile(dir.filePath(QStringLiteral("missing.qml"))));
        engine.load(mainUrl);
        QCOMPARE(QCoreApplication::exec(), 7);
        QCOMPARE(engine.rootObjects().size(), 1);
    }

    // The views import each type from a module of its own name.
    void viewTypesAreRegistered()
    {
        Startup::registerQmlTypes();
        for (const char* name : {"DeviceTableModel", "NetworkInterface", "MessageGenerator"})
            QVERIFY2(qmlTypeId(name, 1, 0, name) >= 0, name);

        QQmlEngine engine;
        QQmlComponent component(&engine);
        component.setData("import QtQml 2.15\n"
                          "import NetworkInterface 1.0\n"
                          "import MessageGenerator 1.0\n"
                          "QtObject {\n"
                          "    property NetworkInterface interfaces: NetworkInterface {}\n"
                          "    property MessageGenerator generator: MessageGenerator {}\n"
                          "    property string text: generator.generate({\"errorCode\": 0x80110001})\n"
                          "    property string title: interfaces.headerData(0, Qt.Horizontal)\n"
                          "}\n",
                          QUrl());
        std::unique_ptr<QObject> object(component.create());
        QVERIFY2(object, qPrintable(component.errorString()));
        QCOMPARE(object->property("text").toString(), QStringLiteral("Invalid password, please retry."));
        QCOMPARE(object->property("title").toString(), QStringLiteral("Network Interface Name"));
    }

    // SIGTERM while a batch runs waits for its end (the operator is told
    // once), a second one ends the program at once; without a batch the
    // first one does. Each is logged.
    void terminationRequests_data()
    {
        QTest::addColumn<bool>("running");
        QTest::addColumn<int>("requests");
        QTest::addColumn<bool>("runningAtEnd");
        QTest::addColumn<QStringList>("logged");
        const QString deferred = QStringLiteral("termination requested while an operation runs: deferred until it "
                                                "ends (a second request ends the program at once)");
        QTest::newRow("no batch: at once") << false << 1 << false << QStringList{"termination requested"};
        QTest::newRow("during a batch: after it")
            << true << 1 << false
            << QStringList{deferred, QStringLiteral("the operation has ended: terminating as requested")};
        QTest::newRow("during a batch, twice: at once")
            << true << 2 << true
            << QStringList{deferred,
                           QStringLiteral("termination requested again: ending now, the running operation is cut off")};
    }

    void terminationRequests()
    {
        QFETCH(bool, running);
        QFETCH(int, requests);
        QFETCH(bool, runningAtEnd);
        QFETCH(QStringList, logged);

        BatchStandIn batch(running, requests == 1);
        int told = 0; // the operator told that the request waits
        quitOnTerminationSignals(*qApp, &batch, [&told] { ++told; });
        s_messages.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureHandler);
        QTimer::singleShot(0, qApp, [requests] {
            for (int i = 0; i < requests; ++i)
                ::raise(SIGTERM);
        });
        QTimer watchdog;
        startWatchdog(watchdog);
        const int code = QCoreApplication::exec();
        qInstallMessageHandler(previous);

        QCOMPARE(code, 0);
        QCOMPARE(batch.busy(), runningAtEnd);
        QCOMPARE(told, running ? 1 : 0);
        QStringList seen;
        for (const QString& message : std::as_const(s_messages)) {
            const qsizetype at = message.indexOf(QLatin1String("Log:"));
            if (at >= 0)
                seen.append(message.mid(at + 4));
        }
        QCOMPARE(seen, logged);
    }
};

int main(int argc, char* argv[])
{
    // As the program does: before the application object reads the rules.
    Startup::configureLogging();
    QGuiApplication app(argc, argv);
    TestStartup test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"
