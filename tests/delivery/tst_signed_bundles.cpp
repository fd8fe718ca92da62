// Signed dashboard bundles end to end: keys and signatures made by the real backend's operator
// commands, bundles served by the real backend (its database altered where a compromised store
// is the point) or by a download host on loopback, checked by the client against
// CORVALEN_BUNDLE_PUBLIC_KEY.
#include <QtNetwork>
#include <QtTest>

#include "support/local_backend.h"
#include "support/sandbox.h"
#include "support/scripted_http_server.h"
#include "support/waits.h"
#include "viewmodel/bundle_signature.h"
#include "viewmodel/rcc_validation.h"
#include "viewmodel/viewmodel.h"

using Response = ScriptedHttpServer::Response;

namespace {

const QString kEmail = QStringLiteral("signed@example.com");
const QString kPassword = QStringLiteral("signed bundles");
const QString kRefused = QStringLiteral("Dashboard bundle signature is missing or invalid.");

// How the bundle reaches the client.
enum class Source
{
    RawAnswer,    // the dashboard function, raw body and X-Bundle-Signature
    Base64Answer, // the dashboard function, JSON with "payload_base64" and "signature"
    Download      // a direct download from another host, after one redirect
};

// What is done to the cache between two loads.
enum class CacheSwap
{
    Bundle,          // another (well-formed) bundle put in place of the cached one
    Signature,       // the cached signature replaced by that of another bundle
    SignatureRemoved // the signature file deleted
};

// Puts a bundle and its signature (base64; empty: none) in the backend's store directly, as
// whoever controls the server's database could.
bool storeBundle(const QString &db, const QByteArray &bundle, const QByteArray &signature)
{
    const QByteArray raw = QByteArray::fromBase64(signature);
    const QByteArray sql = "UPDATE bundles SET data = X'" + bundle.toHex() +
                           "', signature = " + (raw.isEmpty() ? "NULL" : "X'" + raw.toHex() + "'") +
                           "; SELECT changes();";
    return runSql(db, QString::fromLatin1(sql)) == "1";
}

// The eight points of order dividing 8, in their canonical encodings.
QList<QByteArray> smallOrderPoints()
{
    QList<QByteArray> points;
    for (const char *hex : {"0100000000000000000000000000000000000000000000000000000000000000",
                            "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
                            "0000000000000000000000000000000000000000000000000000000000000000",
                            "0000000000000000000000000000000000000000000000000000000000000080",
                            "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
                            "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa",
                            "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
                            "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85"})
        points << QByteArray::fromHex(hex);
    return points;
}

} // namespace

Q_DECLARE_METATYPE(Source)
Q_DECLARE_METATYPE(CacheSwap)

class TstSignedBundles : public QObject
{
    Q_OBJECT

    Sandbox home; // settings and the bundle cache
    LocalBackend backend;
    ScriptedHttpServer host; // serves direct downloads
    QString userId;
    QByteArray publicKey; // what create-signing-key printed for signing.pem
    const QByteArray bundleA = readFile(DELIVERY_BUNDLE_DIR "/bundle_a.rcc");
    const QByteArray bundleB = readFile(DELIVERY_BUNDLE_DIR "/bundle_b.rcc");
    std::unique_ptr<ViewModel> vm;
    std::unique_ptr<QSignalSpy> finished;

    QString key(const char *name) const { return backend.filePath(QString::fromLatin1(name)); }
    QString cacheFile() const
    {
        return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
               "/dashboard_rcc_cache/" + userId + ".rcc";
    }
    QString signatureFile() const { return cacheFile().chopped(4) + ".sig"; }
    // The base64 signature of bytes made with a key file, as an operator gets it.
    QByteArray sign(const QByteArray &bytes, const char *keyName = "signing.pem") const
    {
        const QString file = backend.filePath("to_sign.rcc");
        if (!writeFile(file, bytes))
            return {};
        return backend.run({"sign-bundle", "--signing-key", key(keyName), "--file", file})
            .out.trimmed();
    }
    bool publish(const QByteArray &bytes, const char *keyName = nullptr) const
    {
        return backend.publish(
            kEmail, bytes, keyName ? QStringList{"--signing-key", key(keyName)} : QStringList());
    }
    // A client started with this key value (null: unset), signed in to the backend.
    bool startClient(const QByteArray &keyValue)
    {
        if (keyValue.isNull())
            qunsetenv(BundleTrust::kConfigKey);
        else
            qputenv(BundleTrust::kConfigKey, keyValue);
        vm = std::make_unique<ViewModel>();
        finished = std::make_unique<QSignalSpy>(vm.get(), &ViewModel::externalResourceLoadFinished);
        vm->logUserIn(kEmail, kPassword);
        return QTest::qWaitFor([&] { return vm->currentUserId() == userId; }, kWait);
    }
    QPair<bool, QString> outcome(int n = 1) const
    {
        if (!QTest::qWaitFor([&] { return finished->count() >= n; }, kWait))
            return {false, QStringLiteral("<no outcome>")};
        return {finished->at(n - 1).at(0).toBool(), finished->at(n - 1).at(1).toString()};
    }
    // Sets the account's delivery and starts a load from the given source.
    bool load(Source source)
    {
        const char *format = source == Source::Base64Answer ? "base64" : "raw";
        if (backend.cli("set-format", {"--email", kEmail, "--format", format}).exitCode != 0)
            return false;
        if (source == Source::Download)
            return vm->downloadAndRegisterExternalResource(host.baseUrl() + "/moved.rcc");
        return vm->resolveAndDownloadExternalResourceForCurrentUser();
    }
    // Makes the host answer a download: a redirect, then the bundle with these headers.
    void serveDownload(const QByteArray &body, const QByteArray &signature,
                       const QByteArray &redirectSignature = {})
    {
        Response moved = Response::redirect(302, "/bundle.rcc");
        if (!redirectSignature.isEmpty())
            moved.withHeader(kBundleSignatureHeader, redirectSignature);
        Response bundle;
        bundle.body = body;
        if (!signature.isEmpty())
            bundle.withHeader(kBundleSignatureHeader, signature);
        host.enqueue(moved);
        host.enqueue(bundle);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(!bundleA.isEmpty() && !bundleB.isEmpty());
        QVERIFY(backend.start() && host.start());
        qputenv("CORVALEN_AUTH_BASE_URL", backend.baseUrl().toUtf8());
        userId = backend.createUser(kEmail, kPassword);
        QVERIFY(!userId.isEmpty());
        publicKey = backend.createSigningKey();
        QVERIFY(!publicKey.isEmpty() && !backend.createSigningKey("other.pem").isEmpty());
    }
    void cleanup()
    {
        finished.reset();
        vm.reset();
        QVERIFY(home.wipe());
    }

    void signatureDecidesTheLoad_data()
    {
        QTest::addColumn<Source>("source");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QByteArray>("served"); // stored over the published bundle unless accepted
        QTest::addColumn<QByteArray>("signature"); // base64, empty: none
        QTest::addColumn<bool>("onRedirect");      // the signature came with the redirect only
        QTest::addColumn<QByteArray>("clientKey"); // null: unset

        // Still a well-formed bundle, so only the signature can refuse it.
        QByteArray flipped = bundleA;
        flipped.replace("bundle A", "bundle Z");
        QVERIFY(flipped != bundleA && isStructurallyValidRcc(flipped));
        const QByteArray good = sign(bundleA);
        QByteArray badSignature = QByteArray::fromBase64(good);
        badSignature[10] = char(badSignature[10] ^ 0x01);
        const QList<QPair<const char *, Source>> sources = {{"raw", Source::RawAnswer},
                                                            {"base64", Source::Base64Answer},
                                                            {"download", Source::Download}};
        for (const auto &[sourceName, sourceValue] : sources) {
            const char *name = sourceName;
            const Source source = sourceValue;
            const auto row = [&](const char *fault, bool accepted = false) -> QTestData & {
                return QTest::addRow("%s: %s", name, fault) << source << accepted;
            };
            row("signed", true) << bundleA << good << false << publicKey;
            row("wrong key") << bundleA << sign(bundleA, "other.pem") << false << publicKey;
            row("flipped bundle byte") << flipped << good << false << publicKey;
            row("flipped signature byte")
                << bundleA << badSignature.toBase64() << false << publicKey;
            row("missing signature") << bundleA << QByteArray() << false << publicKey;
            row("signature of another bundle") << bundleA << sign(bundleB) << false << publicKey;
            row("malformed client key") << bundleA << good << false << QByteArray("bm90IGEga2V5");
        }
        QTest::newRow("download: signature only on the redirect")
            << Source::Download << false << bundleA << good << true << publicKey;
        QTest::newRow("no key: unsigned raw answer")
            << Source::RawAnswer << true << bundleA << QByteArray() << false << QByteArray();
    }

    // A bundle that passes is loaded, cached with its signature, and loaded again from the cache
    // after a re-check. One that fails is refused with the message before anything is replaced:
    // nothing registered, nothing cached.
    void signatureDecidesTheLoad()
    {
        QFETCH(Source, source);
        QFETCH(bool, accepted);
        QFETCH(QByteArray, served);
        QFETCH(QByteArray, signature);
        QFETCH(bool, onRedirect);
        QFETCH(QByteArray, clientKey);
        QVERIFY(publish(bundleA, clientKey.isNull() ? nullptr : "signing.pem"));
        if (!accepted)
            QVERIFY(storeBundle(backend.dbPath(), served, signature));
        if (source == Source::Download)
            serveDownload(served, onRedirect ? QByteArray() : signature,
                          onRedirect ? signature : QByteArray());
        QVERIFY(startClient(clientKey));

        QVERIFY(load(source));
        if (!accepted) {
            QCOMPARE(outcome(1), qMakePair(false, kRefused));
            QVERIFY(!QFile::exists(kOnlyA));
            QVERIFY(!QFile::exists(cacheFile()) && !QFile::exists(signatureFile()));
            return;
        }
        QCOMPARE(outcome(1), qMakePair(true, QStringLiteral("External resource loaded.")));
        QVERIFY(QFile::exists(kOnlyA));
        QCOMPARE(readFile(cacheFile()), bundleA);
        QCOMPARE(QFile::exists(signatureFile()), !clientKey.isNull());

        vm->unregisterCurrentResource();
        QVERIFY(vm->resolveAndDownloadExternalResourceForCurrentUser());
        QCOMPARE(outcome(2),
                 qMakePair(true, QStringLiteral("External resource loaded from cache.")));
        QVERIFY(QFile::exists(kOnlyA));
    }

    void swappedCacheIsRefusedAndDeleted_data()
    {
        QTest::addColumn<CacheSwap>("swap");
        QTest::newRow("bundle swapped") << CacheSwap::Bundle;
        QTest::newRow("signature swapped") << CacheSwap::Signature;
        QTest::newRow("signature removed") << CacheSwap::SignatureRemoved;
    }

    void swappedCacheIsRefusedAndDeleted()
    {
        QFETCH(CacheSwap, swap);
        QVERIFY(publish(bundleA, "signing.pem"));
        QVERIFY(startClient(publicKey));
        QVERIFY(load(Source::RawAnswer));
        QCOMPARE(outcome(1).first, true);
        vm->unregisterCurrentResource();

        switch (swap) {
        case CacheSwap::Bundle:
            QVERIFY(QFile::remove(cacheFile()) && writeFile(cacheFile(), bundleB));
            break;
        case CacheSwap::Signature:
            QVERIFY(QFile::remove(signatureFile()) && writeFile(signatureFile(), sign(bundleB)));
            break;
        case CacheSwap::SignatureRemoved:
            QVERIFY(QFile::remove(signatureFile()));
            break;
        }
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression("^Refused cached dashboard RCC without a valid signature: "));
        QVERIFY(!vm->loadCachedDashboard(userId));
        QVERIFY(!QFile::exists(cacheFile()) && !QFile::exists(signatureFile()));
        QVERIFY(!QFile::exists(":/external/only_b.txt") && !QFile::exists(kOnlyA));

        // The resolution then goes back to the function for the genuine bundle.
        QVERIFY(vm->resolveAndDownloadExternalResourceForCurrentUser());
        QCOMPARE(outcome(2), qMakePair(true, QStringLiteral("External resource loaded.")));
        QVERIFY(QFile::exists(kOnlyA));
        QCOMPARE(readFile(cacheFile()), bundleA);
    }

    // A link planted in place of the signature file is replaced, never written through.
    void plantedSignatureLinkIsNotFollowed()
    {
        QVERIFY(publish(bundleA, "signing.pem"));
        QVERIFY(startClient(publicKey));
        const QString bait = home.filePath("bait");
        QVERIFY(writeFile(bait, "bait\n"));
        QVERIFY(QDir().mkpath(QFileInfo(signatureFile()).path()));
        QVERIFY(QFile::link(bait, signatureFile()));
        QVERIFY(load(Source::RawAnswer));
        QCOMPARE(outcome(1), qMakePair(true, QStringLiteral("External resource loaded.")));
        QCOMPARE(readFile(bait), "bait\n");
        QVERIFY(!QFileInfo(signatureFile()).isSymLink());
        QVERIFY(!readFile(signatureFile()).isEmpty());
    }

    void configuredKeyValue_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("required");
        QTest::addColumn<bool>("accepted"); // a bundle signed with signing.pem

        const QString good = QString::fromLatin1(publicKey);
        const QByteArray raw = QByteArray::fromBase64(publicKey);
        QTest::newRow("the key") << good << true << true;
        QTest::newRow("without padding") << QString(good).remove('=') << true << true;
        QTest::newRow("blank: unset") << "  " << false << true;
        QTest::newRow("not base64") << "not a key!" << true << false;
        QTest::newRow("31 bytes") << QString::fromLatin1(raw.chopped(1).toBase64()) << true
                                  << false;
        QTest::newRow("33 bytes") << QString::fromLatin1((raw + 'x').toBase64()) << true << false;
        QTest::newRow("neutral point")
            << "AQAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=" << true << false;
        for (const QByteArray &point : smallOrderPoints())
            QTest::addRow("small order %s", point.toHex().constData())
                << QString::fromLatin1(point.toBase64()) << true << false;
        // y >= 2^255 - 19: 0 and 1 again (small order), 2 (not), with either sign bit.
        for (const char *y : {"ed", "ee", "ef"}) {
            for (const char *top : {"7f", "ff"}) {
                const QByteArray key =
                    QByteArray::fromHex(y) + QByteArray(30, char(0xff)) + QByteArray::fromHex(top);
                QTest::addRow("non-canonical %s", key.toHex().constData())
                    << QString::fromLatin1(key.toBase64()) << true << false;
            }
        }
    }

    // A value that is no key is reported at start-up and refuses even a correctly signed bundle.
    void configuredKeyValue()
    {
        QFETCH(QString, value);
        QFETCH(bool, required);
        QFETCH(bool, accepted);

        const char *warning = "CORVALEN_BUNDLE_PUBLIC_KEY is not the base64 of a 32-byte Ed25519 "
                              "public key; every dashboard bundle will be refused.";
        if (required && !accepted)
            QTest::ignoreMessage(QtWarningMsg, warning);
        else
            QTest::failOnWarning(warning);
        qputenv(BundleTrust::kConfigKey, value.toUtf8());
        const BundleTrust trust = BundleTrust::fromConfig();
        QCOMPARE(trust.required(), required);
        QCOMPARE(trust.accepts(bundleA, sign(bundleA)), accepted);
        QCOMPARE(trust.accepts(bundleA, QByteArray()), !required);
        // With a key of small order one of these signatures (R a small-order point, S = 0)
        // verifies for any bundle, without the private key.
        for (const QByteArray &r : smallOrderPoints())
            QCOMPARE(trust.accepts(bundleA, (r + QByteArray(32, 0)).toBase64()), !required);
    }
};

QTEST_MAIN(TstSignedBundles)
#include "tst_signed_bundles.moc"
