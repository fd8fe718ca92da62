#include <QTest>
#include <QUrl>

#include "app/config.h"

class TestConfig : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void configValue_data();
    void configValue();
    void builtInAuthBaseUrl();

private:
    QByteArrayList touched;
};

void TestConfig::cleanup()
{
    for (const QByteArray &name : touched)
        qunsetenv(name.constData());
    touched.clear();
}

void TestConfig::configValue_data()
{
    QTest::addColumn<QByteArray>("variable"); // empty: nothing set
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    const QString authDefault = defaultAuthBaseUrl();
    const QByteArray auth("CORVALEN_AUTH_BASE_URL");
    const QByteArray base("CORVALEN_RCC_DASHBOARD_BASE_URL");
    const QByteArray wasm("CORVALEN_RCC_WASM_URL");
    const QString authKey = QString::fromLatin1(auth);
    const QString baseKey = QString::fromLatin1(base);
    const QString wasmKey = QString::fromLatin1(wasm);

    QTest::newRow("auth default when unset")
        << QByteArray() << QByteArray() << authKey << authDefault;
    QTest::newRow("auth default when blank")
        << auth << QByteArray(" \t ") << authKey << authDefault;
    QTest::newRow("auth value trimmed")
        << auth << QByteArray("  http://127.0.0.1:9/v1\n") << authKey << "http://127.0.0.1:9/v1";
    QTest::newRow("any set variable") << QByteArray("CORVALEN_CFG_TEST_ANY")
                                      << QByteArray(" /usr/bin:/bin ") << "CORVALEN_CFG_TEST_ANY"
                                      << "/usr/bin:/bin";
    QTest::newRow("unknown unset variable")
        << QByteArray() << QByteArray() << "CORVALEN_CFG_TEST_NOT_SET" << QString();
    QTest::newRow("key matched case-sensitively")
        << wasm << QByteArray("w") << "corvalen_rcc_wasm_url" << QString();
    QTest::newRow("empty key") << QByteArray() << QByteArray() << QString() << QString();
    QTest::newRow("blank key") << QByteArray() << QByteArray() << "   " << QString();
    QTest::newRow("key trimmed") << wasm << QByteArray("https://cdn.test/app.wasm")
                                 << "  CORVALEN_RCC_WASM_URL\t"
                                 << "https://cdn.test/app.wasm";
    // getenv("A=B") would answer the tail of A's value when A holds "B=...".
    QTest::newRow("key with equals sign")
        << QByteArray("CORVALEN_CFG_TEST_EQ") << QByteArray("x=secret") << "CORVALEN_CFG_TEST_EQ=x"
        << QString();
    QTest::newRow("key with NUL") << wasm << QByteArray("w")
                                  << QString::fromLatin1("CORVALEN_RCC_WASM_URL\0X", 23)
                                  << QString();
    QTest::newRow("base URL legacy folder")
        << base << QByteArray("https://h.test/wp-content/uploads/user_dashboard/u1/") << baseKey
        << "https://h.test/wp-content/uploads/user-dashboards/u1/";
    QTest::newRow("base URL ending in legacy folder")
        << base << QByteArray(" https://h.test/wp-content/uploads/user_dashboard ") << baseKey
        << "https://h.test/wp-content/uploads/user-dashboards";
    QTest::newRow("base URL legacy folder before query")
        << base << QByteArray("https://h.test/wp-content/uploads/user_dashboard?v=2") << baseKey
        << "https://h.test/wp-content/uploads/user-dashboards?v=2";
    QTest::newRow("base URL every occurrence")
        << base
        << QByteArray("https://h.test/wp-content/uploads/user_dashboard/?m=/wp-content/uploads/"
                      "user_dashboard")
        << baseKey
        << "https://h.test/wp-content/uploads/user-dashboards/?m=/wp-content/uploads/"
           "user-dashboards";
    QTest::newRow("base URL capitals left alone")
        << base << QByteArray("https://h.test/WP-CONTENT/uploads/USER_DASHBOARD/") << baseKey
        << "https://h.test/WP-CONTENT/uploads/USER_DASHBOARD/";
    QTest::newRow("base URL longer folder name untouched")
        << base << QByteArray("https://h.test/wp-content/uploads/user_dashboards/x") << baseKey
        << "https://h.test/wp-content/uploads/user_dashboards/x";
    QTest::newRow("other keys are not normalised")
        << wasm << QByteArray("https://h.test/wp-content/uploads/user_dashboard/") << wasmKey
        << "https://h.test/wp-content/uploads/user_dashboard/";
}

void TestConfig::configValue()
{
    QFETCH(QByteArray, variable);
    QFETCH(QByteArray, value);
    QFETCH(QString, key);
    QFETCH(QString, expected);

    qunsetenv("CORVALEN_AUTH_BASE_URL");
    qunsetenv("CORVALEN_RCC_DASHBOARD_BASE_URL");
    qunsetenv("CORVALEN_RCC_WASM_URL");
    qunsetenv("CORVALEN_REFERER_URL");
    if (!variable.isEmpty()) {
        touched << variable;
        QVERIFY(qputenv(variable.constData(), value));
    }
    QCOMPARE(::configValue(key), expected);
}

void TestConfig::builtInAuthBaseUrl()
{
    // Only a reserved domain may ever be built in, and the function URL is derived from the
    // ".auth." part of the host.
    const QUrl url(defaultAuthBaseUrl());
    QVERIFY(url.isValid());
    QCOMPARE(url.scheme(), QStringLiteral("https"));
    QVERIFY(url.host().endsWith(QLatin1String(".example")));
    QVERIFY(url.host().contains(QLatin1String(".auth.")));
    QVERIFY(url.path().endsWith(QLatin1String("/v1")));
    QCOMPARE(defaultAuthBaseUrl(), defaultAuthBaseUrl().trimmed());
}

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"
