#include "app/qml_disk_cache.h"

#include <QByteArray>
#include <QtGlobal>

namespace {
const char kVariable[] = "QML_DISABLE_DISK_CACHE";
}

ScopedQmlDiskCacheOff::ScopedQmlDiskCacheOff() : ours(!qEnvironmentVariableIsSet(kVariable))
{
    if (ours)
        qputenv(kVariable, QByteArrayLiteral("1"));
}

ScopedQmlDiskCacheOff::~ScopedQmlDiskCacheOff()
{
    if (ours)
        qunsetenv(kVariable);
}
