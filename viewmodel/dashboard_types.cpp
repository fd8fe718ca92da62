#include "viewmodel/dashboard_types.h"

#include <QMetaMethod>
#include <QMetaProperty>
#include <QQmlContext>
#include <QQmlEngine>
#include <QStringList>

#include "mqtt/mqttclient.h"
#include "viewmodel/viewmodel.h"

DashboardClient::DashboardClient(ViewModel *manager, MqttClient *mqttClient, QObject *parent)
    : QObject(parent), managerObject(manager), mqttObject(mqttClient)
{
}

void registerDashboardTypes()
{
    static bool registered = false;
    if (registered)
        return;
    registered = true;
    const QString reason = QStringLiteral("Provided by the client as Client.manager and "
                                          "Client.mqttClient");
    qmlRegisterUncreatableType<ViewModel>(kDashboardModuleUri, 1, 0, "ViewModel", reason);
    qmlRegisterUncreatableType<MqttClient>(kDashboardModuleUri, 1, 0, "MqttClient", reason);
    qmlRegisterSingletonType<DashboardClient>(
        kDashboardModuleUri, 1, 0, "Client", [](QQmlEngine *engine, QJSEngine *) -> QObject * {
            const QQmlContext *context = engine->rootContext();
            return new DashboardClient(
                qobject_cast<ViewModel *>(
                    context->contextProperty(QStringLiteral("manager")).value<QObject *>()),
                qobject_cast<MqttClient *>(
                    context->contextProperty(QStringLiteral("mqttClient")).value<QObject *>()));
        });
}

namespace {

struct TypeName
{
    QString name;
    bool pointer = false;
};

// As QML tools spell a C++ type: builtins by their C++ name, objects by class without the '*'.
// Enumerations from other classes travel as numbers.
TypeName qmlType(const QMetaType &type)
{
    if (!type.isValid() || type.id() == QMetaType::Void)
        return {};
    if (type.flags() & QMetaType::PointerToQObject) {
        QString name = QString::fromLatin1(type.name());
        name.remove(QLatin1Char('*'));
        return {name, true};
    }
    if (type.flags() & QMetaType::IsEnumeration)
        return {QStringLiteral("int")};
    switch (type.id()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Double:
    case QMetaType::QString:
    case QMetaType::QStringList:
    case QMetaType::QVariantList:
    case QMetaType::QVariantMap:
    case QMetaType::QUrl:
    case QMetaType::QByteArray:
    case QMetaType::QVariant:
        return {QString::fromLatin1(type.name())};
    case QMetaType::LongLong:
        return {QStringLiteral("qlonglong")};
    default:
        return {QStringLiteral("QVariant")};
    }
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

void addComponent(QStringList &out, const QMetaObject &meta, const QString &exportName,
                  bool singleton)
{
    out << QStringLiteral("    Component {")
        << QStringLiteral("        name: ") + quoted(QString::fromLatin1(meta.className()))
        << QStringLiteral("        accessSemantics: \"reference\"")
        << QStringLiteral("        prototype: \"QObject\"")
        << QStringLiteral("        exports: [\"%1/%2 1.0\"]")
               .arg(QLatin1String(kDashboardModuleUri), exportName)
        << QStringLiteral("        isCreatable: false");
    if (singleton)
        out << QStringLiteral("        isSingleton: true");
    out << QStringLiteral("        exportMetaObjectRevisions: [256]");

    for (int i = meta.propertyOffset(); i < meta.propertyCount(); ++i) {
        const QMetaProperty property = meta.property(i);
        const TypeName type = qmlType(property.metaType());
        out << QStringLiteral("        Property {")
            << QStringLiteral("            name: ") + quoted(QString::fromLatin1(property.name()))
            << QStringLiteral("            type: ") + quoted(type.name);
        if (type.pointer)
            out << QStringLiteral("            isPointer: true");
        if (!property.isWritable())
            out << QStringLiteral("            isReadonly: true");
        // No "isConstant": Qt 6.4's tools refuse the whole file over a field they do not know.
        if (property.hasNotifySignal())
            out << QStringLiteral("            notify: ") +
                       quoted(QString::fromLatin1(property.notifySignal().name()));
        out << QStringLiteral("            index: %1").arg(i - meta.propertyOffset())
            << QStringLiteral("        }");
    }

    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        // What QML can reach: public signals, slots and invokable methods.
        if (method.access() != QMetaMethod::Public)
            continue;
        const bool signal = method.methodType() == QMetaMethod::Signal;
        out << QStringLiteral("        %1 {")
                   .arg(signal ? QStringLiteral("Signal") : QStringLiteral("Method"))
            << QStringLiteral("            name: ") + quoted(QString::fromLatin1(method.name()));
        const TypeName result = qmlType(method.returnMetaType());
        if (!result.name.isEmpty()) {
            out << QStringLiteral("            type: ") + quoted(result.name);
            if (result.pointer)
                out << QStringLiteral("            isPointer: true");
        }
        const QList<QByteArray> names = method.parameterNames();
        for (int p = 0; p < method.parameterCount(); ++p) {
            const TypeName type = qmlType(method.parameterMetaType(p));
            out << QStringLiteral("            Parameter { name: %1; type: %2%3 }")
                       .arg(quoted(QString::fromLatin1(names.value(p))), quoted(type.name),
                            type.pointer ? QStringLiteral("; isPointer: true") : QString());
        }
        out << QStringLiteral("        }");
    }
    out << QStringLiteral("    }");
}

} // namespace

QString dashboardQmlTypes()
{
    QStringList out{QStringLiteral("import QtQuick.tooling 1.2"), QString(),
                    QStringLiteral("// The objects the client gives every dashboard. Generated "
                                   "from the client's meta-objects."),
                    QString(), QStringLiteral("Module {")};
    addComponent(out, DashboardClient::staticMetaObject, QStringLiteral("Client"), true);
    addComponent(out, ViewModel::staticMetaObject, QStringLiteral("ViewModel"), false);
    addComponent(out, MqttClient::staticMetaObject, QStringLiteral("MqttClient"), false);
    out << QStringLiteral("}") << QString();
    return out.join(QLatin1Char('\n'));
}
