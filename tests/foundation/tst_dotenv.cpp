#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

#include "app/dotenv.h"

// Literal bytes including embedded NULs.
#define BYTES(literal) QByteArray(literal, sizeof(literal) - 1)

namespace {

// Every variable these tests create carries this marker, so cleanup can find them all.
constexpr char kMarker[] = "DOTENV_T";

QStringList markedVariables()
{
    QStringList names;
    const QStringList keys = QProcessEnvironment::systemEnvironment().keys();
    for (const QString &name : keys) {
        if (name.contains(QLatin1String(kMarker)))
            names << name;
    }
    return names;
}

QStringList capturedLog;

void captureMessages(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    const char *tag = type == QtInfoMsg ? "I: " : type == QtWarningMsg ? "W: " : "?: ";
    capturedLog << QLatin1String(tag) + msg;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

class TestDotenv : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void lineForms_data();
    void lineForms();
    void fileRules_data();
    void fileRules();
    void veryLongLine();
    void openFailures();
    void findEnvFile_data();
    void findEnvFile();
    void startupSelection_data();
    void startupSelection();

private:
    QTemporaryDir *tmp = nullptr;
    QString savedCwd;
};

void TestDotenv::init()
{
    tmp = new QTemporaryDir();
    QVERIFY(tmp->isValid());
    savedCwd = QDir::currentPath();
    qunsetenv("CORVALEN_ENV_FILE");
    for (const QString &name : markedVariables())
        qunsetenv(name.toUtf8().constData());
}

void TestDotenv::cleanup()
{
    qInstallMessageHandler(nullptr);
    QDir::setCurrent(savedCwd);
    qunsetenv("CORVALEN_ENV_FILE");
    for (const QString &name : markedVariables())
        qunsetenv(name.toUtf8().constData());
    delete tmp;
    tmp = nullptr;
}

void TestDotenv::lineForms_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("key"); // empty: the line must set nothing
    QTest::addColumn<QByteArray>("value");

    QTest::newRow("plain") << QByteArray("DOTENV_TK=value") << QByteArray("DOTENV_TK")
                           << QByteArray("value");
    QTest::newRow("export prefix")
        << QByteArray("export DOTENV_TK=value") << QByteArray("DOTENV_TK") << QByteArray("value");
    QTest::newRow("spaces everywhere") << QByteArray("  export   DOTENV_TK  =   value  ")
                                       << QByteArray("DOTENV_TK") << QByteArray("value");
    QTest::newRow("double quotes")
        << QByteArray("DOTENV_TK=\"a b\"") << QByteArray("DOTENV_TK") << QByteArray("a b");
    QTest::newRow("single quotes")
        << QByteArray("DOTENV_TK='x'") << QByteArray("DOTENV_TK") << QByteArray("x");
    QTest::newRow("quoted text is not trimmed")
        << QByteArray("DOTENV_TK=\"  a  \"") << QByteArray("DOTENV_TK") << QByteArray("  a  ");
    QTest::newRow("mixed quotes kept")
        << QByteArray("DOTENV_TK=\"x'") << QByteArray("DOTENV_TK") << QByteArray("\"x'");
    QTest::newRow("lone double quote")
        << QByteArray("DOTENV_TK=\"") << QByteArray("DOTENV_TK") << QByteArray("\"");
    QTest::newRow("one pair removed")
        << QByteArray("DOTENV_TK=\"\"a\"\"") << QByteArray("DOTENV_TK") << QByteArray("\"a\"");
    QTest::newRow("empty quotes") << QByteArray("DOTENV_TK=\"\"") << QByteArray("DOTENV_TK")
                                  << QByteArray("");
    QTest::newRow("empty value") << QByteArray("DOTENV_TK=") << QByteArray("DOTENV_TK")
                                 << QByteArray("");
    QTest::newRow("equals in value")
        << QByteArray("DOTENV_TK=a=b") << QByteArray("DOTENV_TK") << QByteArray("a=b");
    QTest::newRow("hash is part of value") << QByteArray("DOTENV_TK=value # note")
                                           << QByteArray("DOTENV_TK") << QByteArray("value # note");
    QTest::newRow("backslash is literal")
        << QByteArray("DOTENV_TK=a\\nb") << QByteArray("DOTENV_TK") << QByteArray("a\\nb");
    QTest::newRow("capital Export is part of the key")
        << QByteArray("Export DOTENV_TK=1") << QByteArray("Export DOTENV_TK") << QByteArray("1");
    QTest::newRow("comment") << QByteArray("# DOTENV_TK=1") << QByteArray() << QByteArray();
    QTest::newRow("indented comment")
        << QByteArray("   #DOTENV_TK=1") << QByteArray() << QByteArray();
    QTest::newRow("no equals") << QByteArray("DOTENV_TK") << QByteArray() << QByteArray();
    QTest::newRow("equals first") << QByteArray("=DOTENV_TK") << QByteArray() << QByteArray();
    QTest::newRow("export without assignment")
        << QByteArray("export DOTENV_TK") << QByteArray() << QByteArray();
}

void TestDotenv::lineForms()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, value);

    const QString path = tmp->filePath(QStringLiteral("lines.env"));
    QVERIFY(writeFile(path, "# leading comment\n\n" + line + "\n"));
    QVERIFY(loadEnvFile(path));

    const QStringList set = markedVariables();
    if (key.isEmpty()) {
        QCOMPARE(set, QStringList());
        return;
    }
    QCOMPARE(set, QStringList{QString::fromUtf8(key)});
    QVERIFY(qEnvironmentVariableIsSet(key.constData()));
    QCOMPARE(qgetenv(key.constData()), value);
}

void TestDotenv::fileRules_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("presetA"); // null: DOTENV_TA unset before loading
    QTest::addColumn<QByteArray>("expectA"); // null: DOTENV_TA must stay unset
    QTest::addColumn<QByteArray>("expectB");

    const QByteArray none;
    QTest::newRow("first assignment wins") << QByteArray("DOTENV_TA=1\nDOTENV_TA=2\nDOTENV_TB=b\n")
                                           << none << QByteArray("1") << QByteArray("b");
    QTest::newRow("environment wins") << QByteArray("DOTENV_TA=file\nDOTENV_TB=b\n")
                                      << QByteArray("env") << QByteArray("env") << QByteArray("b");
    QTest::newRow("empty environment value wins")
        << QByteArray("DOTENV_TA=file\nDOTENV_TB=b\n") << QByteArray("") << QByteArray("")
        << QByteArray("b");
    QTest::newRow("CRLF line endings")
        << QByteArray("DOTENV_TA=\"one\"\r\nexport DOTENV_TB=two\r\n") << none << QByteArray("one")
        << QByteArray("two");
    QTest::newRow("byte-order mark") << QByteArray("\xEF\xBB\xBF"
                                                   "DOTENV_TA=1\nDOTENV_TB=2\n")
                                     << none << QByteArray("1") << QByteArray("2");
    QTest::newRow("invalid UTF-8 becomes replacement characters")
        << QByteArray("DOTENV_TA=a\xff\xfe"
                      "b\nDOTENV_TB=ok\n")
        << none
        << QByteArray("a\xef\xbf\xbd\xef\xbf\xbd"
                      "b")
        << QByteArray("ok");
    QTest::newRow("NUL in value drops the line")
        << BYTES("DOTENV_TA=ab\0cd\nDOTENV_TB=ok\n") << none << none << QByteArray("ok");
    QTest::newRow("NUL in key drops the line")
        << BYTES("DOTENV_TA\0X=1\nDOTENV_TB=ok\n") << none << none << QByteArray("ok");
}

void TestDotenv::fileRules()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, presetA);
    QFETCH(QByteArray, expectA);
    QFETCH(QByteArray, expectB);

    if (!presetA.isNull())
        qputenv("DOTENV_TA", presetA);
    const QString path = tmp->filePath(QStringLiteral("rules.env"));
    QVERIFY(writeFile(path, content));
    QVERIFY(loadEnvFile(path));

    QCOMPARE(qEnvironmentVariableIsSet("DOTENV_TA"), !expectA.isNull());
    if (!expectA.isNull())
        QCOMPARE(qgetenv("DOTENV_TA"), expectA);
    QCOMPARE(qgetenv("DOTENV_TB"), expectB);
    QCOMPARE(markedVariables().size(), expectA.isNull() ? 1 : 2);
}

void TestDotenv::veryLongLine()
{
    const QByteArray longValue(4 * 1024 * 1024, 'v');
    const QString path = tmp->filePath(QStringLiteral("long.env"));
    QVERIFY(writeFile(path, "DOTENV_TA=" + longValue + "\nDOTENV_TB=after\n"));
    QVERIFY(loadEnvFile(path));
    QCOMPARE(qgetenv("DOTENV_TA").size(), longValue.size());
    QCOMPARE(qgetenv("DOTENV_TB"), QByteArray("after"));
}

void TestDotenv::openFailures()
{
    QVERIFY(!loadEnvFile(tmp->filePath(QStringLiteral("missing.env"))));
    QVERIFY(!loadEnvFile(tmp->path()));
    QVERIFY(!loadEnvFile(QString()));

    // A file that assigns nothing still counts as loaded.
    const QString junk = tmp->filePath(QStringLiteral("junk.env"));
    QVERIFY(writeFile(junk, "# nothing\n=\nnoequals\n"));
    QVERIFY(loadEnvFile(junk));
}

void TestDotenv::findEnvFile_data()
{
    QTest::addColumn<QStringList>("files"); // relative paths; a trailing '/' makes a directory
    QTest::addColumn<QStringList>("links"); // pairs: link path, target path
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("expected"); // relative to the temp dir; empty: nothing found

    QTest::newRow("in start dir") << QStringList{"a/b/.env", "a/.env"} << QStringList() << "a/b"
                                  << "a/b/.env";
    QTest::newRow("in parent") << QStringList{"a/.env", "a/b/"} << QStringList() << "a/b"
                               << "a/.env";
    QTest::newRow("directory named .env is passed over")
        << QStringList{"a/b/.env/", "a/.env"} << QStringList() << "a/b"
        << "a/.env";
    QTest::newRow("link to a file counts")
        << QStringList{"real.txt", "a/"} << QStringList{"a/.env", "real.txt"} << "a"
        << "a/.env";
    QTest::newRow("link to a directory is passed over")
        << QStringList{"d/", "a/b/", "a/.env"} << QStringList{"a/b/.env", "d"} << "a/b"
        << "a/.env";
    QTest::newRow("start dir missing")
        << QStringList{".env"} << QStringList() << "nowhere" << QString();
}

void TestDotenv::findEnvFile()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, links);
    QFETCH(QString, start);
    QFETCH(QString, expected);

    const QDir root(tmp->path());
    for (const QString &file : files) {
        if (file.endsWith(QLatin1Char('/')))
            QVERIFY(root.mkpath(file));
        else
            QVERIFY(writeFile(root.filePath(file), "X=1\n"));
    }
    for (qsizetype i = 0; i + 1 < links.size(); i += 2)
        QVERIFY(QFile::link(root.filePath(links[i + 1]), root.filePath(links[i])));

    const QString found = ::findEnvFile(root.filePath(start));
    QCOMPARE(found, expected.isEmpty() ? QString() : root.filePath(expected));
}

void TestDotenv::startupSelection_data()
{
    // Layout: %T/work/cwd is the working directory, %T/app/bin the executable's directory.
    // Each file written holds DOTENV_TSRC=<its path>, so the test sees which one was applied.
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("envFile"); // null: CORVALEN_ENV_FILE unset
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QString>("applied"); // empty: nothing applied

    const QString none;
    const QStringList everywhere{"work/cwd/.env", "work/.env", "app/bin/.env", "custom.cfg"};

    QTest::newRow("explicit file") << everywhere << "%T/custom.cfg"
                                   << QStringList{"I: Loaded .env from CORVALEN_ENV_FILE: "
                                                  "\"%T/custom.cfg\""}
                                   << "custom.cfg";
    QTest::newRow("explicit file trimmed")
        << everywhere << " \t%T/custom.cfg  "
        << QStringList{"I: Loaded .env from CORVALEN_ENV_FILE: \"%T/custom.cfg\""} << "custom.cfg";
    QTest::newRow("explicit relative path")
        << QStringList{"work/cwd/rel.env", "work/cwd/.env"} << "rel.env"
        << QStringList{"I: Loaded .env from CORVALEN_ENV_FILE: \"rel.env\""} << "work/cwd/rel.env";
    QTest::newRow("explicit missing file stops the search")
        << everywhere << "%T/missing.env"
        << QStringList{"W: Could not load .env from CORVALEN_ENV_FILE: \"%T/missing.env\""} << none;
    QTest::newRow("explicit directory")
        << everywhere << "%T/work"
        << QStringList{"W: Could not load .env from CORVALEN_ENV_FILE: \"%T/work\""} << none;
    QTest::newRow("quotes and backslashes escaped")
        << QStringList{"we\"ird\\dir/x.env"} << "%T/we\"ird\\dir/x.env"
        << QStringList{"I: Loaded .env from CORVALEN_ENV_FILE: \"%T/we\\\"ird\\\\dir/x.env\""}
        << "we\"ird\\dir/x.env";
    QTest::newRow("blank variable counts as unset")
        << everywhere << "   " << QStringList{"I: Loaded .env from: \"%T/work/cwd/.env\""}
        << "work/cwd/.env";
    QTest::newRow("working dir wins")
        << everywhere << none << QStringList{"I: Loaded .env from: \"%T/work/cwd/.env\""}
        << "work/cwd/.env";
    QTest::newRow("parent of working dir beats executable dir")
        << QStringList{"work/.env", "app/bin/.env"} << none
        << QStringList{"I: Loaded .env from: \"%T/work/.env\""} << "work/.env";
    QTest::newRow("directory named .env in working dir")
        << QStringList{"work/cwd/.env/", "work/.env"} << none
        << QStringList{"I: Loaded .env from: \"%T/work/.env\""} << "work/.env";
    QTest::newRow("beside the executable")
        << QStringList{"app/bin/.env"} << none
        << QStringList{"I: Loaded .env from: \"%T/app/bin/.env\""} << "app/bin/.env";
    QTest::newRow("nothing found")
        << QStringList() << none
        << QStringList{"W: No .env file found. Set CORVALEN_ENV_FILE or place .env in "
                       "project/app path."}
        << none;
}

void TestDotenv::startupSelection()
{
    QFETCH(QStringList, files);
    QFETCH(QString, envFile);
    QFETCH(QStringList, log);
    QFETCH(QString, applied);

    const QDir root(tmp->path());
    QVERIFY(root.mkpath(QStringLiteral("work/cwd")));
    QVERIFY(root.mkpath(QStringLiteral("app/bin")));
    for (const QString &file : files) {
        if (file.endsWith(QLatin1Char('/')))
            QVERIFY(root.mkpath(file));
        else
            QVERIFY(writeFile(root.filePath(file), "DOTENV_TSRC=" + file.toUtf8() + "\n"));
    }
    if (!envFile.isNull())
        qputenv("CORVALEN_ENV_FILE", envFile.replace(QLatin1String("%T"), tmp->path()).toUtf8());
    for (QString &line : log)
        line.replace(QLatin1String("%T"), tmp->path());
    QVERIFY(QDir::setCurrent(root.filePath(QStringLiteral("work/cwd"))));

    capturedLog.clear();
    qInstallMessageHandler(captureMessages);
    loadDotenvForStartup(root.filePath(QStringLiteral("app/bin")));
    qInstallMessageHandler(nullptr);

    QCOMPARE(capturedLog, log);
    QCOMPARE(qEnvironmentVariable("DOTENV_TSRC"), applied);
}

QTEST_GUILESS_MAIN(TestDotenv)
#include "tst_dotenv.moc"
