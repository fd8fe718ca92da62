#include "support/client_ui.h"

#include "app/window_images.h"

#include <QQmlContext>
#include <QTest>

const QByteArray kSignedInU1 =
    R"({"session":{"accessToken":"a","refreshToken":"r","accessTokenExpiresIn":900,)"
    R"("user":{"id":"u1","email":"e"}}})";

ClientUi::ClientUi()
{
    viewModel.setMqttClient(&mqtt);
    addWindowImages(&engine);
    viewModel.setQmlEngine(&engine);
    engine.rootContext()->setContextProperty("manager", &viewModel);
    engine.rootContext()->setContextProperty("mqttClient", &mqtt);
}

bool ClientUi::load(const QVariantMap &initialProperties)
{
    engine.setInitialProperties(initialProperties);
    engine.load(QUrl("qrc:/user_interface/qml_files/main.qml"));
    window = qobject_cast<QQuickWindow *>(engine.rootObjects().value(0));
    return window && QTest::qWaitForWindowExposed(window);
}
