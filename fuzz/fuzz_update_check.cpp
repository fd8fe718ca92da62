// The body of the update check's answer: the user record, or whatever a server
// sends instead.
#include <QJsonDocument>
#include <QJsonObject>

#include "auth/authhandler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    if (!readRccUpdateFlag(body))
        return 0;
    // A set flag must come from a real JSON true in the record's metadata,
    // nothing looser.
    const QJsonValue flag = QJsonDocument::fromJson(body)
                                .object()
                                .value(QStringLiteral("metadata"))
                                .toObject()
                                .value(QStringLiteral("rcc_update_available"));
    if (!flag.isBool() || !flag.toBool())
        __builtin_trap();
    return 0;
}
