#include "KxFramework.h"

#include "KxCompGraphCalc.h"
#include "KxDevice.h"
#include "KxDeviceEventID.h"
#include "KxDeviceList.h"
#include "KxEQGraphCalc.h"
#include "KxFirmwareUpdater.h"
#include "KxLanguageSelector.h"
#include "KxMeterDataAccessor.h"
#include "KxMeterID.h"
#include "KxParameterAccessor.h"
#include "KxParamID.h"
#include "KxScreen.h"
#include "KxSystem.h"
#include "KxSystemEventID.h"
#include "KxSystemStatus.h"

#include <QQmlApplicationEngine>
#include <QtQml>
#include <QUrl>

#include <new>

namespace {

constexpr char kUri[] = "com.halvorn.kxframework";
constexpr int kMajor = 1;
constexpr int kMinor = 0;

const QString kEnumerationOnly = QStringLiteral("only holds an enumeration");

// The shared enumerations' holders: QML reads their names (KxSystemStatus.Active)
// but never makes one.
template <typename Holder> void registerEnumerationHolder(const char* name)
{
    qmlRegisterUncreatableType<Holder>(kUri, kMajor, kMinor, name, kEnumerationOnly);
}

} // namespace

void KxFramework::initialize(QCoreApplication* application, QQmlApplicationEngine* engine, const QUrl& url)
{
    Q_UNUSED(application)

    qmlRegisterType<KxDeviceList>(kUri, kMajor, kMinor, "KxDeviceList");
    qmlRegisterType<KxDevice>(kUri, kMajor, kMinor, "KxDevice");
    registerEnumerationHolder<KxDeviceEventID>("KxDeviceEventID");
    qmlRegisterType<KxFirmwareUpdater>(kUri, kMajor, kMinor, "KxFirmwareUpdater");
    qmlRegisterType<KxCompGraphCalc>(kUri, kMajor, kMinor, "KxCompGraphCalc");
    qmlRegisterType<KxEQGraphCalc>(kUri, kMajor, kMinor, "KxEQGraphCalc");
    qmlRegisterType<KxMeterDataAccessor>(kUri, kMajor, kMinor, "KxMeterDataAccessor");
    registerEnumerationHolder<KxMeterID>("KxMeterID");
    qmlRegisterType<KxParameterAccessor>(kUri, kMajor, kMinor, "KxParameterAccessor");
    registerEnumerationHolder<KxParamID>("KxParamID");
    qmlRegisterType<KxSystem>(kUri, kMajor, kMinor, "KxSystem");
    registerEnumerationHolder<KxSystemStatus>("KxSystemStatus");
    registerEnumerationHolder<KxSystemEventID>("KxSystemEventID");
    qmlRegisterType<KxLanguageSelector>(kUri, kMajor, kMinor, "KxLanguageSelector");

    if (engine == nullptr)
        return;

    g_pKxScreen = new (std::nothrow) KxScreen(engine);
    if (g_pKxScreen != nullptr) {
        // The engine must not take the screen for its own: its parent does.
        QQmlEngine::setObjectOwnership(g_pKxScreen, QQmlEngine::CppOwnership);
        qmlRegisterSingletonType<KxScreen>(kUri, kMajor, kMinor, "KxScreen",
                                           [](QQmlEngine*, QJSEngine*) -> QObject* { return g_pKxScreen; });
    }

    // A newly created window may come with other margins; a main document
    // that failed to load has nothing to lay out.
    QObject::connect(
        engine, &QQmlApplicationEngine::objectCreated, engine,
        [url](QObject* object, const QUrl& objectUrl) {
            if (object == nullptr && objectUrl == url)
                return;
            if (g_pKxScreen != nullptr)
                g_pKxScreen->updateSafeAreaMargins();
        },
        Qt::QueuedConnection);
}

void KxFramework::installLanguages(const QString& defaultLanguage, const QString& directory,
                                   const QVariantMap& languages)
{
    KxLanguageSelectorService::getInstance().installLanguages(defaultLanguage, directory, languages);
}
