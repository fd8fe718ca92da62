#pragma once

#include <QString>

#include <functional>

class QCommandLineParser;

// How this run differs from an ordinary one. Both off by default.
struct Modes
{
    // Author mode: the dashboard is loaded from this folder's dashboard.qml and reloaded on
    // every change; no bundle is fetched. Absolute, or empty when off.
    QString dashboardDir;
    // Wall-panel mode: resumes a stored session without the login page, full-screen, and shows
    // the cached dashboard while the backend cannot be reached.
    bool kiosk = false;
};

// Answers a configuration key; configValue() in the program.
using ConfigLookup = std::function<QString(const QString &key)>;

void addModeOptions(QCommandLineParser &parser);
// The command line wins over the configuration keys CORVALEN_DASHBOARD_DIR and CORVALEN_KIOSK.
Modes readModes(const QCommandLineParser &parser, const ConfigLookup &config);
