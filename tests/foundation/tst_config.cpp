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

// "NAME=value" sets NAME; an empty assignment sets nothing.
void setVariable(const QString &assignment)
{
    if (!assignment.isEmpty())
        qputenv(assignment.section('=', 0, 0).toUtf8().constData(),
                assignment.section('=', 1).toUtf8());
}

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
        QTest::addColumn<QString>("preset");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");

        const auto row = [](const char *name, const QString &preset, const QString &key,
                            const QString &expected) {
            QTest::newRow(name) << preset << key << expected;
        };
        const QString auth = "CORVALEN_AUTH_BASE_URL";
        const QString base = "CORVALEN_RCC_DASHBOARD_BASE_URL";
        const QString old = "https://h.test/wp-content/uploads/user_dashboard";
        const QString now = "https://h.test/wp-content/uploads/user-dashboards";

        // Only a reserved domain may be built in.
        row("auth default when unset", "", auth, "https://eu.auth.corvalen.example/v1");
        row("auth default when blank", auth + "= \t ", auth, "https://eu.auth.corvalen.example/v1");
        row("key and value trimmed", auth + "= http://127.0.0.1:9/v1\n", " " + auth + "\t",
            "http://127.0.0.1:9/v1");
        row("unknown key", "", "CORVALEN_UNSET", {});
        row("empty key", auth + "=x", "", {});
        row("key of spaces", auth + "=x", " \t ", {});
        row("any other variable, trimmed", "CORVALEN_OTHER= a b \t", "CORVALEN_OTHER", "a b");
        // getenv("A=B") would answer the tail of A's value when A holds "B=...".
        row("key with equals sign", "CORVALEN_T=x=secret", "CORVALEN_T=x", {});
        row("key with NUL", auth + "=w", auth + QChar(0) + "X", {});
        row("each legacy folder", base + "=" + old + "/u/?m=" + old, base, now + "/u/?m=" + now);
        row("legacy folder before query", base + "=" + old + "?v=2", base, now + "?v=2");
        // Every occurrence, wherever it stands, but only in this exact spelling.
        row("longer folder name too", base + "=" + old + "s/x", base, now + "s/x");
        row("capitals left alone", base + "=https://h.test/WP-CONTENT/uploads/user_dashboard/",
            base, "https://h.test/WP-CONTENT/uploads/user_dashboard/");
        row("other keys left alone", auth + "=" + old + "/", auth, old + "/");
    }

    void configValue()
    {
        QFETCH(QString, preset);
        QFETCH(QString, key);
        QFETCH(QString, expected);

        setVariable(preset);
        QCOMPARE(::configValue(key), expected);
    }

    void loadEnvFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("preset");
        QTest::addColumn<QStringList>("expected");

        const auto row = [](const char *name, const QByteArray &content,
                            const QStringList &expected, const QString &preset = {}) {
            QTest::newRow(name) << content << preset << expected;
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
            "CORVALEN_A=env");
        row("empty environment value wins", "CORVALEN_A=file\n", {"CORVALEN_A="}, "CORVALEN_A=");
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
        QFETCH(QString, preset);
        QFETCH(QStringList, expected);

        setVariable(preset);
        QTemporaryDir tmp;
        QVERIFY(writeFile(tmp.filePath("test.env"), content));
        QVERIFY(::loadEnvFile(tmp.filePath("test.env")));
        QCOMPARE(markedVariables(), expected);
    }

    void startupSelection_data()
    {
        // %T/work/cwd is the working directory, %T/app/bin the executable's. Entries ending in '/'
        // are directories, any other file assigns CORVALEN_SRC its own name.
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("envFile");    // null: CORVALEN_ENV_FILE unset
        QTest::addColumn<QString>("log");        // "I: " or "W: ", then the exact line
        QTest::addColumn<QString>("applied");    // the entry whose assignment took effect
        QTest::addColumn<QString>("unreadable"); // an entry that exists but cannot be read

        const auto row = [](const char *name, const QStringList &entries, const QString &envFile,
                            const QString &log, const QString &applied = {},
                            const QString &unreadable = {}) {
            QTest::newRow(name) << entries << envFile << log << applied << unreadable;
        };
        const QStringList all{"work/cwd/.env", "work/.env", "app/bin/.env", "a\"b\\c"};
        const QString found = "I: Loaded .env from: \"%T/%1\"";
        const QString chosen = "I: Loaded .env from CORVALEN_ENV_FILE: \"%1\"";
        const QString failed = "W: Could not load .env from CORVALEN_ENV_FILE: \"%1\"";

        row("explicit, trimmed and escaped", all, " \t%T/a\"b\\c ", chosen.arg("%T/a\\\"b\\\\c"),
            "a\"b\\c");
        row("explicit relative", {"work/cwd/rel.env", "work/cwd/.env"}, "rel.env",
            chosen.arg("rel.env"), "work/cwd/rel.env");
        row("explicit missing is final", all, "%T/none.env", failed.arg("%T/none.env"));
        row("explicit directory", all, "%T/work", failed.arg("%T/work"));
        row("blank means unset", all, "  ", found.arg("work/cwd/.env"), "work/cwd/.env");
        row("parent of working dir beats executable dir", {"work/.env", "app/bin/.env"}, {},
            found.arg("work/.env"), "work/.env");
        row("directory named .env passed over", {"work/cwd/.env/", "work/.env"}, {},
            found.arg("work/.env"), "work/.env");
        row("beside the executable", {"app/bin/.env"}, {}, found.arg("app/bin/.env"),
            "app/bin/.env");
        row("unreadable in working dir, beside the executable", {"work/.env", "app/bin/.env"}, {},
            found.arg("app/bin/.env"), "app/bin/.env", "work/.env");
        row("nothing found", {}, {},
            "W: No .env file found. Set CORVALEN_ENV_FILE or place .env in project/app path.");
    }

    void startupSelection()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, envFile);
        QFETCH(QString, log);
        QFETCH(QString, applied);
        QFETCH(QString, unreadable);

        QTemporaryDir tmp;
        const QDir root(tmp.path());
        QVERIFY(root.mkpath("work/cwd") && root.mkpath("app/bin"));
        for (const QString &entry : entries) {
            if (entry.endsWith('/'))
                QVERIFY(root.mkpath(entry));
            else
                QVERIFY(writeFile(root.filePath(entry), "CORVALEN_SRC=" + entry.toUtf8()));
        }
        if (!unreadable.isEmpty() && !makeUnreadable(root.filePath(unreadable)))
            QSKIP("no way to make a file unreadable here");
        if (!envFile.isNull())
            qputenv("CORVALEN_ENV_FILE", envFile.replace("%T", tmp.path()).toUtf8());
        const QString savedDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(root.filePath("work/cwd")));

        log.replace("%T", tmp.path());
        QTest::ignoreMessage(log.startsWith("W") ? QtWarningMsg : QtInfoMsg,
                             qPrintable(log.mid(3)));
        loadDotenvForStartup(root.filePath("app/bin"));
        QDir::setCurrent(savedDir);
        QCOMPARE(qEnvironmentVariable("CORVALEN_SRC"), applied);
    }
};

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"
