#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QLocale>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QTranslator>
#include <QUrl>
#include <QWindow>

#include <optional>

#include "app/command_line.h"
#include "app/config.h"
#include "app/dotenv.h"
#include "app/modes.h"
#include "app/qml_disk_cache.h"
#include "app/single_instance.h"
#include "app/window_geometry.h"
#include "app/window_images.h"
#include "mqtt/mqttclient.h"
#include "viewmodel/author_mode.h"
#include "viewmodel/kiosk_mode.h"
#include "viewmodel/viewmodel.h"

namespace {

void nameApplication()
{
    QCoreApplication::setApplicationName(QStringLiteral("corvalen_dashboard"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/logo.png")));
    // The Wayland app id, and the name of the installed desktop entry.
    QGuiApplication::setDesktopFileName(QStringLiteral("example.corvalen.Dashboard"));
}

void installTranslator(QApplication &app, QTranslator &translator)
{
    const QStringList uiLanguages = QLocale::system().uiLanguages();
    for (const QString &language : uiLanguages) {
        const QString baseName = QStringLiteral("corvalen_dashboard_") + QLocale(language).name();
        if (translator.load(QStringLiteral(":/i18n/") + baseName)) {
            app.installTranslator(&translator);
            return;
        }
    }
}

// The modes' objects are handed to the window only: dashboards see no more than in an
// ordinary run.
QVariantMap startModes(const Modes &modes, ViewModel &viewModel, QQmlApplicationEngine *engine)
{
    QVariantMap windowProperties;
    if (!modes.dashboardDir.isEmpty()) {
        auto *authorMode = new AuthorMode(modes.dashboardDir, engine, engine);
        viewModel.setAuthorMode(authorMode);
        windowProperties.insert(QStringLiteral("authorMode"), QVariant::fromValue(authorMode));
        qInfo().noquote() << "Author mode: dashboards come from" << modes.dashboardDir;
    }
    if (modes.kiosk) {
        auto *kioskMode = new KioskMode(viewModel, engine);
        windowProperties.insert(QStringLiteral("kioskMode"), QVariant::fromValue(kioskMode));
    }
    return windowProperties;
}

QWindow *loadMainWindow(QQmlApplicationEngine *engine)
{
    const QUrl url(QStringLiteral("qrc:/user_interface/qml_files/main.qml"));
    QObject::connect(
        engine, &QQmlApplicationEngine::objectCreated, QCoreApplication::instance(),
        [url](QObject *obj, const QUrl &objUrl) {
            if (!obj && url == objUrl)
                QCoreApplication::exit(-1);
        },
        Qt::QueuedConnection);
    engine->load(url);
    return qobject_cast<QWindow *>(engine->rootObjects().value(0));
}

} // namespace

int main(int argc, char *argv[])
{
    CommandLine commandLine;
    addModeOptions(commandLine.parser());
    if (const std::optional<int> answered = commandLine.answerEarly(argc, argv))
        return *answered;

    QApplication app(argc, argv);

    // After the application object, so that everything read from here on sees the .env values.
    loadDotenvForStartup(QCoreApplication::applicationDirPath());

    nameApplication();
    if (const std::optional<int> wrong = commandLine.check(QCoreApplication::arguments()))
        return *wrong;

    const Modes modes = readModes(commandLine.parser(), configValue);
    QTranslator translator;
    installTranslator(app, translator);

    // Before anything opens the session file, which one client at a time may use.
    const QString profile = SingleInstance::profileDirectory();
    SingleInstance instance(profile);
    if (!instance.claim())
        return 0;

    auto *viewModel = new ViewModel();
    auto *mqttClient = new MqttClient();
    viewModel->setMqttClient(mqttClient);

    // Every user's bundle is served at the same qrc URL, and the on-disk QML cache tells files
    // apart only by timestamp, which reproducible bundle builds share: a cached compilation of
    // the previous bundle would be shown. It would also write files we do not own.
    std::optional<ScopedQmlDiskCacheOff> cacheOff(std::in_place);
    auto *engine = new QQmlApplicationEngine();
    // Qt 6.5 put the module resource root on the default import path; older versions need it
    // added so that "import corvalen_dashboard" resolves. Adding it again later is a no-op.
    engine->addImportPath(QStringLiteral("qrc:/qt/qml"));
    addWindowImages(engine);
    viewModel->setQmlEngine(engine);
    engine->rootContext()->setContextProperty(QStringLiteral("manager"), viewModel);
    engine->rootContext()->setContextProperty(QStringLiteral("mqttClient"), mqttClient);
    engine->setInitialProperties(startModes(modes, *viewModel, engine));

    QWindow *window = loadMainWindow(engine);
    cacheOff.reset(); // Qt has read the switch by now and keeps its answer
    const WindowGeometry geometry(profile + QStringLiteral("/corvalen_dashboard-window.ini"));
    if (!modes.kiosk) // a wall panel is full-screen, wherever the window was last time
        geometry.restore(window);
    QObject::connect(&instance, &SingleInstance::activationRequested, window,
                     [window] { SingleInstance::bringForward(window); });

    const int result = app.exec();
    geometry.save(window);

    // QML objects refer to the two published objects, so the engine has to go first.
    delete engine;
    delete mqttClient;
    delete viewModel;
    return result;
}
