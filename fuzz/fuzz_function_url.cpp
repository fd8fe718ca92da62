// The dashboard function URL as configured: normalised, it is empty or names the endpoint.
#include <QUrl>

#include "viewmodel/viewmodel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size)).trimmed();
    const QUrl configured(text, QUrl::TolerantMode);
    const QString normalised = ViewModel::normalizedDashboardFunctionUrl(configured);
    // A value that no longer forms a URL once the path is set comes back empty too, which the
    // resolution reports as a missing URL.
    if (!configured.isValid() && !normalised.isEmpty())
        __builtin_trap();
    if (!normalised.isEmpty() && !QUrl(normalised, QUrl::TolerantMode)
                                      .path(QUrl::FullyDecoded)
                                      .endsWith(QLatin1String("/get_dashboard_rcc")))
        __builtin_trap();
    return 0;
}
