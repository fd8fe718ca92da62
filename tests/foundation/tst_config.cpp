#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

#include "app/config.h"
#include "app/dotenv.h"
#include "app/qml_disk_cache.h"
#include "support/sandbox.h"

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

// Every variable the cases set or read contains this, so each case can start from none.
const QLatin1String kMarker("CORVALEN_");

// The marked variables as sorted "NAME=value" entries.
QStringList markedVariables()
{
    QStringList entries = QProcessEnvironment::systemEnvironment().toStringList().filter(kMarker);
    entries.sort();
    return entries;
}

// Where CORVALEN_ENV_FILE points: into the test's tree, or a path as given, which the loader
// takes relative to the working directory.
enum class Base
{
    Tree,
    AsGiven
};

// The tree the start-up search runs in: "work/cwd" is the working directory, "app/bin" the
// executable's. Each file assigns CORVALEN_SRC its own path in the tree.
struct Tree
{
    QTemporaryDir dir;

    bool make(const QStringList &files, const QStringList &directories = {})
    {
        const QDir root(dir.path());
        bool made = root.mkpath("work/cwd") && root.mkpath("app/bin");
        for (const QString &directory : directories)
            made = made && root.mkpath(directory);
        for (const QString &file : files)
            made = made && writeFile(root.filePath(file), "CORVALEN_SRC=" + file.toUtf8());
        return made;
    }
    QString path(const QString &name) const { return dir.filePath(name); }
    // Runs the start-up loader from the working directory; answers CORVALEN_SRC.
    QString load() const
    {
        const QString saved = QDir::currentPath();
        QDir::setCurrent(path("work/cwd"));
        loadDotenvForStartup(path("app/bin"));
        QDir::setCurrent(saved);
        return qEnvironmentVariable("CORVALEN_SRC");
    }
};

// A regular file that open() refuses. Permissions do not stop root, so root gets a link to a
// kernel attribute that can only be written.
bool makeUnreadable(const QString &path)
{
#ifdef Q_OS_UNIX
    if (geteuid() == 0) {
        const QString writeOnly = "/sys/bus/platform/drivers_probe";
        return QFileInfo(writeOnly).isFile() && QFile::remove(path) &&
               QFile::link(writeOnly, path) && !QFile(path).open(QIODevice::ReadOnly);
    }
#endif
    return QFile::setPermissions(path, {}) && !QFile(path).open(QIODevice::ReadOnly);
}

} // namespace
Q_DECLARE_METATYPE(Base)

class TestConfig : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        for (const QString &entry : markedVariables())
            qunsetenv(entry.section('=', 0, 0).toUtf8().constData());
    }

    // Qt reads the switch once per process, at the first load: this must be the first here.
    void qmlDiskCacheOffWithoutTheVariable()
    {
        QTemporaryDir tmp;
        qputenv("XDG_CACHE_HOME", tmp.filePath("cache").toUtf8());
        qunsetenv("QML_DISABLE_DISK_CACHE");
        for (const char *name : {"First.qml", "Later.qml"})
            QVERIFY(writeFile(tmp.filePath(name), "import QtQml\nQtObject { objectName: \"ok\" }"));
        const auto load = [&](QQmlEngine &engine, const char *name) {
            QQmlComponent component(&engine, QUrl::fromLocalFile(tmp.filePath(name)));
            const std::unique_ptr<QObject> object(component.create());
            return object ? object->objectName() : component.errorString();
        };

        std::optional<ScopedQmlDiskCacheOff> cacheOff(std::in_place);
        QQmlEngine first;
        QCOMPARE(load(first, "First.qml"), "ok");
        cacheOff.reset();
        // Neither a dashboard asking appConfigValue nor a child process sees it.
        QVERIFY(!QProcessEnvironment::systemEnvironment().contains("QML_DISABLE_DISK_CACHE"));
        QQmlEngine later;
        QCOMPARE(load(later, "Later.qml"), "ok");
        QCOMPARE(load(first, "Later.qml"), "ok");
        QDirIterator written(tmp.path(), QDir::Files, QDirIterator::Subdirectories);
        QStringList files;
        while (written.hasNext())
            files << written.next();
        files.sort();
        QCOMPARE(files, QStringList({tmp.filePath("First.qml"), tmp.filePath("Later.qml")}));

        qputenv("QML_DISABLE_DISK_CACHE", "0"); // the user's own choice stays
        std::optional<ScopedQmlDiskCacheOff>(std::in_place).reset();
        QCOMPARE(qgetenv("QML_DISABLE_DISK_CACHE"), QByteArray("0"));
        qunsetenv("QML_DISABLE_DISK_CACHE");
    }

    void configValue_data()
    {
        QTest::addColumn<QString>("variable"); // set beforehand to value, unless empty
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");

        const auto row = [](const char *name, const QString &variable, const QString &value,
                            const QString &key, const QString &expected) {
            QTest::newRow(name) << variable << value << key << expected;
        };
        const QString auth = "CORVALEN_AUTH_BASE_URL";
        const QString base = "CORVALEN_RCC_DASHBOARD_BASE_URL";
        const QString old = "https://h.test/wp-content/uploads/user_dashboard";
        const QString now = "https://h.test/wp-content/uploads/user-dashboards";

        // Only a reserved domain may be built in.
        const QString defaultAuth = "https://eu.auth.corvalen.example/v1";
        row("auth default when unset", "", "", auth, defaultAuth);
        row("auth default when blank", auth, " \t ", auth, defaultAuth);
        row("key and value trimmed", auth, " http://127.0.0.1:9/v1\n", " " + auth + "\t",
            "http://127.0.0.1:9/v1");
        row("unknown key", "", "", "CORVALEN_UNSET", {});
        row("empty key", auth, "x", "", {});
        row("key of spaces", auth, "x", " \t ", {});
        row("any other variable, trimmed", "CORVALEN_OTHER", " a b \t", "CORVALEN_OTHER", "a b");
        // getenv("A=B") would answer the tail of A's value when A holds "B=...".
        row("key with equals sign", "CORVALEN_T", "x=secret", "CORVALEN_T=x", {});
        row("key with NUL", auth, "w", auth + QChar(0) + "X", {});
        row("each legacy folder", base, old + "/u/?m=" + old, base, now + "/u/?m=" + now);
        row("legacy folder before query", base, old + "?v=2", base, now + "?v=2");
        // Every occurrence, wherever it stands, but only in this exact spelling.
        row("longer folder name too", base, old + "s/x", base, now + "s/x");
        row("capitals left alone", base, "https://h.test/WP-CONTENT/uploads/user_dashboard/", base,
            "https://h.test/WP-CONTENT/uploads/user_dashboard/");
        row("other keys left alone", auth, old + "/", auth, old + "/");
    }

    void configValue()
    {
        QFETCH(QString, variable);
        QFETCH(QString, value);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        if (!variable.isEmpty())
            qputenv(variable.toUtf8().constData(), value.toUtf8());
        QCOMPARE(::configValue(key), expected);
    }

    void loadEnvFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("setA"); // CORVALEN_A beforehand; null: unset
        QTest::addColumn<QStringList>("expected");

        const auto row = [](const char *name, const QByteArray &content,
                            const QStringList &expected, const QByteArray &setA = {}) {
            QTest::newRow(name) << content << setA << expected;
        };
        row("export and spaces", "  export   CORVALEN_A  =   v  ", {"CORVALEN_A=v"});
        row("lines assigning nothing",
            "# CORVALEN_A=1\n #CORVALEN_A=2\nCORVALEN_A\n=CORVALEN_A\nexport CORVALEN_A", {});
        row("quotes removed once", "CORVALEN_A=\"  a \"\nCORVALEN_B='b'\nCORVALEN_C=\"\"c\"\"",
            {"CORVALEN_A=  a ", "CORVALEN_B=b", "CORVALEN_C=\"c\""});
        row("empty values", "CORVALEN_A=\"\"\nCORVALEN_B=", {"CORVALEN_A=", "CORVALEN_B="});
        row("unpaired quotes kept", "CORVALEN_A=\"a'\nCORVALEN_B=\"",
            {"CORVALEN_A=\"a'", "CORVALEN_B=\""});
        row("'=', '#' and backslash are literal", "CORVALEN_K=a=b # \\n", {"CORVALEN_K=a=b # \\n"});
        row("capital Export is part of the key", "Export CORVALEN_K=1", {"Export CORVALEN_K=1"});
        row("environment wins, then the first assignment",
            "CORVALEN_A=file\nCORVALEN_B=1\nCORVALEN_B=2", {"CORVALEN_A=env", "CORVALEN_B=1"},
            "env");
        row("empty environment value wins", "CORVALEN_A=file\n", {"CORVALEN_A="}, "");
        row("byte-order mark and CRLF", "\uFEFFCORVALEN_A=\"1\"\r\nexport CORVALEN_B=2\r\n",
            {"CORVALEN_A=1", "CORVALEN_B=2"});
        // The environment holds C strings: a NUL would set something the file never said.
        row("invalid UTF-8 replaced, NUL drops the line",
            QByteArrayLiteral("CORVALEN_A=a\xff\nCORVALEN_B=a\0b\nCORVALEN_C\0X=1\nCORVALEN_D=d"),
            {"CORVALEN_A=a\uFFFD", "CORVALEN_D=d"});
        const QByteArray longValue(4 * 1024 * 1024, 'v');
        row("very long line", "CORVALEN_A=" + longValue + "\nCORVALEN_B=b",
            {"CORVALEN_A=" + longValue, "CORVALEN_B=b"});
    }

    void loadEnvFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, setA);
        QFETCH(QStringList, expected);
        if (!setA.isNull())
            qputenv("CORVALEN_A", setA);
        QTemporaryDir tmp;
        QVERIFY(writeFile(tmp.filePath("test.env"), content));
        QVERIFY(::loadEnvFile(tmp.filePath("test.env")));
        QCOMPARE(markedVariables(), expected);
    }

    void explicitEnvFile_data()
    {
        QTest::addColumn<Base>("base");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("logged"); // the name as the log line quotes it
        QTest::addColumn<bool>("loads");     // else the search does not go on either
        const auto row = [](const char *tag, Base base, const QString &name, bool loads,
                            const QString &logged = {}) {
            QTest::newRow(tag) << base << name << (logged.isEmpty() ? name : logged) << loads;
        };
        row("in the tree, quotes and backslash escaped", Base::Tree, "a\"b\\c", true,
            "a\\\"b\\\\c");
        row("relative to the working directory", Base::AsGiven, "rel.env", true);
        row("missing", Base::Tree, "none.env", false);
        row("a directory", Base::Tree, "work", false);
    }
    void explicitEnvFile()
    {
        QFETCH(Base, base);
        QFETCH(QString, name);
        QFETCH(QString, logged);
        QFETCH(bool, loads);
        Tree tree;
        QVERIFY(tree.make(
            {"work/cwd/.env", "work/.env", "app/bin/.env", "a\"b\\c", "work/cwd/rel.env"}));
        const QString prefix = base == Base::Tree ? tree.dir.path() + "/" : "";
        qputenv("CORVALEN_ENV_FILE", (" \t" + prefix + name + " ").toUtf8()); // trimmed
        const QString quoted = '"' + prefix + logged + '"';
        if (loads)
            QTest::ignoreMessage(QtInfoMsg,
                                 qPrintable("Loaded .env from CORVALEN_ENV_FILE: " + quoted));
        else
            QTest::ignoreMessage(
                QtWarningMsg, qPrintable("Could not load .env from CORVALEN_ENV_FILE: " + quoted));
        QCOMPARE(tree.load(), loads ? (base == Base::Tree ? name : "work/cwd/" + name) : "");
    }

    // CORVALEN_ENV_FILE is blank here, which counts as unset (the start-up test leaves it unset).
    void searchWithoutExplicitFile_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("directory");  // a directory, named as a file might be
        QTest::addColumn<QString>("unreadable"); // a file that exists but cannot be read
        QTest::addColumn<QString>("loaded");     // empty: nothing found, which is reported
        const auto row = [](const char *tag, const QStringList &files, const QString &loaded,
                            const QString &directory = {}, const QString &unreadable = {}) {
            QTest::newRow(tag) << files << directory << unreadable << loaded;
        };
        row("working directory first", {"work/cwd/.env", "work/.env", "app/bin/.env"},
            "work/cwd/.env");
        row("parent of working dir beats executable dir", {"work/.env", "app/bin/.env"},
            "work/.env");
        row("directory named .env passed over", {"work/.env"}, "work/.env", "work/cwd/.env");
        row("beside the executable", {"app/bin/.env"}, "app/bin/.env");
        row("unreadable in working dir, beside the executable", {"work/.env", "app/bin/.env"},
            "app/bin/.env", {}, "work/.env");
        row("nothing found", {}, {});
    }
    void searchWithoutExplicitFile()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, directory);
        QFETCH(QString, unreadable);
        QFETCH(QString, loaded);
        Tree tree;
        QVERIFY(tree.make(files, directory.isEmpty() ? QStringList() : QStringList{directory}));
        if (!unreadable.isEmpty() && !makeUnreadable(tree.path(unreadable)))
            QSKIP("no way to make a file unreadable here");
        qputenv("CORVALEN_ENV_FILE", "  ");
        if (loaded.isEmpty())
            QTest::ignoreMessage(
                QtWarningMsg,
                "No .env file found. Set CORVALEN_ENV_FILE or place .env in project/app path.");
        else
            QTest::ignoreMessage(QtInfoMsg,
                                 qPrintable("Loaded .env from: \"" + tree.path(loaded) + '"'));
        QCOMPARE(tree.load(), loaded);
    }
};

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"
