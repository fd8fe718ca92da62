#include "viewmodel/rcc_validation.h"

bool isStructurallyValidRcc(const QByteArray &, QString *)
{
    return false;
}
bool isSafeCacheUserId(const QString &)
{
    return false;
}
