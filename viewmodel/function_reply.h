#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// What the body of a dashboard function reply carries: the bundle, either raw or as base64 in a
// JSON object, and an error text meant for the user.
struct DashboardFunctionBody
{
    QByteArray payload;   // the bundle bytes, or the body itself when nothing better is found
    QString errorText;    // trimmed "error" member; empty when absent or not a string
    QByteArray signature; // trimmed "signature" member (base64); empty when absent or not a string
    bool isJsonObject = false;
    QByteArray compactJson;      // the body when it is a JSON object, as QJsonDocument writes it
    qsizetype encodedBytes = -1; // characters of a used "payload_base64", else -1
};

// Decodes as QByteArray::fromBase64 does (standard alphabet, anything else skipped), faster.
QByteArray decodeBase64(QByteArrayView text);

DashboardFunctionBody parseDashboardFunctionBody(const QByteArray &body);
// The same through the full JSON parser only: what the above must answer for every body.
DashboardFunctionBody parseDashboardFunctionBodyFully(const QByteArray &body);
