// The QML views against stand-ins for the framework objects and the interface
// list, with the real enumerations, message generator and device table model;
// the table reads the process-wide device facade, which a fixture fills.
#include "Accessibility.h"
#include "DeviceFacade.h"
#include "DeviceParameter.h"
#include "DeviceRecord.h"
#include "DeviceTableModel.h"
#include "KxDeviceEventID.h"
#include "KxSystemEventID.h"
#include "KxSystemStatus.h"
#include "Look.h"
#include "TestTools.h"
#include "UserInterface.h"
#include "WindowMemory.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QJSValue>
#include <QQmlEngine>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtQuickTest>

namespace {

const char* const kFrameworkUri = "com.halvorn.kxframework";

// What a test needs of the device facade, reachable from QML.
class FacadeFixture : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QStringList deviceIDs READ deviceIDs NOTIFY deviceIDsChanged)

public:
    FacadeFixture()
    {
        connect(&facade(), &DeviceFacade::deviceIDsChanged, this, [this] { Q_EMIT deviceIDsChanged(); });
    }

    QStringList deviceIDs() const { return facade().deviceIDs(); }

    Q_INVOKABLE void add(const QString& deviceId, const QString& ipAddress, const QString& model,
                         const QString& hostName)
    {
        facade().activateDevice(ipAddress, model, hostName, deviceId);
    }

    Q_INVOKABLE void removeAll() { facade().removeAllDevices(); }

    // Nothing remembered from the windows before.
    Q_INVOKABLE void forgetWindow()
    {
        QSettings(QSettings::NativeFormat, QSettings::UserScope, QLatin1String(WindowMemory::kOrganisation),
                  QLatin1String(WindowMemory::kApplication))
            .clear();
    }

    Q_INVOKABLE QVariant value(const QString& deviceId, int parameter) const
    {
        return recordValue(facade(), deviceId, static_cast<DeviceParameter>(parameter));
    }

    Q_INVOKABLE bool setValue(const QString& deviceId, int parameter, const QVariant& value)
    {
        return facade().setDeviceParameter(deviceId, static_cast<DeviceParameter>(parameter), value,
                                           DeviceFindPolicy::ById);
    }

    // A file for the file dialogs to pick, in this fixture's own folder.
    Q_INVOKABLE QUrl makeFile(const QString& name)
    {
        return QUrl::fromLocalFile(writeTestFile(m_files, name, "content"));
    }

    Q_INVOKABLE QUrl folderOf(const QUrl& file) const
    {
        return QUrl::fromLocalFile(QFileInfo(file.toLocalFile()).absolutePath());
    }

    // A wait as the program's synchronous device calls make one: a nested
    // event loop, inside which `during` runs as the operator's input would.
    Q_INVOKABLE void waitNested(const QJSValue& during)
    {
        QEventLoop loop;
        QTimer::singleShot(0, &loop, [&loop, during]() mutable {
            during.call();
            loop.quit();
        });
        loop.exec();
    }

    // The user's download folder, made to exist for the dialogs to start in.
    Q_INVOKABLE QUrl downloadFolder() const
    {
        return QUrl::fromLocalFile(QStandardPaths::writableLocation(QStandardPaths::DownloadLocation));
    }

Q_SIGNALS:
    void deviceIDsChanged();

private:
    QTemporaryDir m_files;

    // The instance the window's table model reads.
    static DeviceFacade& facade() { return DeviceFacade::getInstance(); }
};

QUrl standIn(const char* file)
{
    return QUrl::fromLocalFile(QStringLiteral(QUICK_TEST_SOURCE_DIR "/standins/") + QLatin1String(file));
}

} // namespace

class Setup : public QObject
{
    Q_OBJECT

public:
    // A home of the test's own, so that the download folder exists and no
    // user setting decides it.
    Setup()
    {
        qputenv("HOME", m_home.path().toLocal8Bit());
        qunsetenv("XDG_CONFIG_HOME");
        QDir(m_home.path()).mkpath(QStringLiteral("Downloads"));
        // Room for five devices, so that a sixth fills the list.
        DeviceFacade::setInstanceCapacity(5);
        // The program's own style, as it chooses it, over the desktop's
        // (CTest asks for Material's dark theme).
        Views::chooseStyle();
    }

public Q_SLOTS:
    void qmlEngineAvailable(QQmlEngine*)
    {
        qmlRegisterType<DeviceTableModel>("DeviceTableModel", 1, 0, "DeviceTableModel");

        qmlRegisterUncreatableType<KxSystemStatus>(kFrameworkUri, 1, 0, "KxSystemStatus", "enumeration only");
        qmlRegisterUncreatableType<KxSystemEventID>(kFrameworkUri, 1, 0, "KxSystemEventID", "enumeration only");
        qmlRegisterUncreatableType<KxDeviceEventID>(kFrameworkUri, 1, 0, "KxDeviceEventID", "enumeration only");
        qmlRegisterType(standIn("KxSystem.qml"), kFrameworkUri, 1, 0, "KxSystem");
        qmlRegisterType(standIn("KxDeviceList.qml"), kFrameworkUri, 1, 0, "KxDeviceList");
        qmlRegisterType(standIn("KxDevice.qml"), kFrameworkUri, 1, 0, "KxDevice");
        qmlRegisterType<UserInterface::MessageGenerator>("MessageGenerator", 1, 0, "MessageGenerator");
        qmlRegisterType(standIn("DeviceTrust.qml"), "DeviceTrust", 1, 0, "DeviceTrust");
        qmlRegisterType(standIn("NetworkInterface.qml"), "NetworkInterface", 1, 0, "NetworkInterface");
        Views::registerTypes();

        // One per test file's engine; the devices live in the facade.
        qmlRegisterSingletonType<FacadeFixture>("ViewsFacade", 1, 0, "Facade",
                                                [](QQmlEngine*, QJSEngine*) -> QObject* { return new FacadeFixture; });
        qmlRegisterSingletonType(standIn("Backend.qml"), "ViewsTest", 1, 0, "Backend");
    }

private:
    QTemporaryDir m_home;
};

QUICK_TEST_MAIN_WITH_SETUP(tst_views, Setup)

#include "tst_views.moc"
