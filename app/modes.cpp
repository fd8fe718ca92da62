#include "app/modes.h"

#include <QCommandLineParser>
#include <QDir>

namespace {

const QString kDashboardDirOption = QStringLiteral("dashboard-dir");
const QString kKioskOption = QStringLiteral("kiosk");

bool isTrue(const QString &value)
{
    const QString v = value.trimmed().toLower();
    return v == QLatin1String("1") || v == QLatin1String("true") || v == QLatin1String("yes") ||
           v == QLatin1String("on");
}

} // namespace

void addModeOptions(QCommandLineParser &parser)
{
    parser.addOption(QCommandLineOption(
        kDashboardDirOption,
        QStringLiteral("Author mode: show DIR/dashboard.qml instead of the published dashboard "
                       "and reload it whenever a file in DIR changes."),
        QStringLiteral("DIR")));
    parser.addOption(QCommandLineOption(
        kKioskOption, QStringLiteral("Wall-panel mode: resume the stored session full-screen, "
                                     "and show the cached dashboard while offline.")));
}

Modes readModes(const QCommandLineParser &parser, const ConfigLookup &config)
{
    Modes modes;
    QString dir = parser.isSet(kDashboardDirOption)
                      ? parser.value(kDashboardDirOption)
                      : config(QStringLiteral("CORVALEN_DASHBOARD_DIR"));
    dir = dir.trimmed();
    // File URLs of the dashboard are made from it; a relative one would follow the working
    // directory.
    if (!dir.isEmpty())
        modes.dashboardDir = QDir::cleanPath(QDir::current().absoluteFilePath(dir));
    modes.kiosk = parser.isSet(kKioskOption) || isTrue(config(QStringLiteral("CORVALEN_KIOSK")));
    return modes;
}
