#include "viewmodel/function_reply.h"

#include <QJsonDocument>

DashboardFunctionBody parseDashboardFunctionBody(const QByteArray &body)
{
    DashboardFunctionBody parsed;
    parsed.payload = body;
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        return parsed;
    parsed.isJsonObject = true;
    parsed.object = document.object();
    parsed.errorText = parsed.object.value(QLatin1String("error")).toString().trimmed();
    parsed.signature =
        parsed.object.value(QLatin1String("signature")).toString().trimmed().toLatin1();
    const QString base64 =
        parsed.object.value(QLatin1String("payload_base64")).toString().trimmed();
    if (!base64.isEmpty()) {
        parsed.payload = QByteArray::fromBase64(base64.toUtf8());
        parsed.encodedBytes = base64.size();
    }
    return parsed;
}
