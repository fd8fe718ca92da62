#include "viewmodel/author_mode.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QQmlComponent>
#include <QQmlEngine>

AuthorMode::AuthorMode(const QString &folder, QQmlEngine *qmlEngine, QObject *parent)
    : QObject(parent), root(QDir::cleanPath(folder)), engine(qmlEngine)
{
    settle.setSingleShot(true);
    settle.setInterval(kSettleMs);
    connect(&settle, &QTimer::timeout, this, [this] {
        watchTree();
        emit folderChanged();
    });
    connect(&watcher, &QFileSystemWatcher::directoryChanged, this, &AuthorMode::somethingChanged);
    connect(&watcher, &QFileSystemWatcher::fileChanged, this, &AuthorMode::somethingChanged);
    if (engine) {
        // Warnings of the dashboard's own files only: the client's are not the author's to fix.
        connect(engine, &QQmlEngine::warnings, this, [this](const QList<QQmlError> &warnings) {
            QList<QQmlError> own;
            for (const QQmlError &warning : warnings)
                if (warning.url().isLocalFile() &&
                    warning.url().toLocalFile().startsWith(root + QLatin1Char('/')))
                    own.append(warning);
            report(own, false); // the engine has logged them already
        });
    }
    watchTree();
}

QUrl AuthorMode::dashboardUrl() const
{
    return QUrl::fromLocalFile(QDir(root).filePath(QStringLiteral("dashboard.qml")));
}

void AuthorMode::somethingChanged()
{
    if (!sinceChange.isValid())
        sinceChange.start();
    settle.start();
}

// Saving by writing a new file and renaming it over the old one drops the old file from the
// watch list, and new subfolders are not watched yet; so the whole tree is watched again after
// every change. Paths already watched are skipped by the watcher.
void AuthorMode::watchTree()
{
    QStringList paths{root};
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths.append(it.next());
    const QStringList watched = watcher.files() + watcher.directories();
    QStringList added;
    for (const QString &path : std::as_const(paths))
        if (!watched.contains(path))
            added.append(path);
    if (!added.isEmpty())
        watcher.addPaths(added);
}

bool AuthorMode::prepareLoad()
{
    if (!problemLines.isEmpty()) {
        problemLines.clear();
        emit problemsChanged();
    }
    if (!engine)
        return false;
    engine->clearComponentCache();
    // A local file compiles at once; the page's own creation then finds it compiled.
    QQmlComponent component(engine, dashboardUrl(), QQmlComponent::PreferSynchronous);
    if (!component.isError())
        return true;
    report(component.errors(), true);
    return false;
}

void AuthorMode::dashboardShown()
{
    if (sinceChange.isValid())
        qInfo().noquote() << "Author mode: dashboard reloaded" << sinceChange.elapsed()
                          << "ms after the change";
    sinceChange.invalidate();
}

void AuthorMode::report(const QList<QQmlError> &errors, bool log)
{
    if (errors.isEmpty())
        return;
    for (const QQmlError &error : errors) {
        // QQmlError::toString() gives "url:line:column: description".
        const QString line = error.toString();
        if (log)
            qWarning().noquote() << "Author mode:" << line;
        problemLines.append(line);
    }
    // Warnings arrive while the dashboard's bindings are being evaluated; the overlay's own
    // binding is updated once they are done.
    if (!announceScheduled) {
        announceScheduled = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                announceScheduled = false;
                emit problemsChanged();
            },
            Qt::QueuedConnection);
    }
}
