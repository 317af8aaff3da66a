#include "Logger.h"
#include "Startup.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlComponent>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

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
