#include <QtNetwork>
#include <QtQml>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include "support/certificates.h"
#include "support/log_capture.h"
#include "support/sandbox.h"
#include "support/scripted_http_server.h"
#include "support/streaming_server.h"
#include "support/waits.h"
#include "viewmodel/function_reply.h"
#include "viewmodel/private_files.h"
#include "viewmodel/rcc_validation.h"
#include "viewmodel/viewmodel.h"

using Request = ScriptedHttpServer::Request;
using Response = ScriptedHttpServer::Response;
using Routes = QMap<QString, Response>; // a path, whatever the query, and its answer
Q_DECLARE_METATYPE(Response)
Q_DECLARE_METATYPE(Routes)

namespace {

const QString kLoaded = QStringLiteral("External resource loaded.");
const QString kFromCache = QStringLiteral("External resource loaded from cache.");
const QString kInvalid = QStringLiteral("Downloaded file is not a valid RCC resource.");
const QString kQuarantined =
    QStringLiteral("This dashboard stopped the app while it was loading before, so it is not "
                   "loaded again. A newer version will load once it is published.");

// The cache directory (with a trailing '/') or a user's file in it.
QString cacheFile(const QString &id = QString())
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
           QStringLiteral("/dashboard_rcc_cache/") + (id.isEmpty() ? id : id + ".rcc");
}

template <typename T> QByteArray patched(QByteArray bytes, qint64 offset, T value)
{
    qToBigEndian(value, bytes.data() + offset);
    return bytes;
}

constexpr quint16 kZlib = 0x01;
constexpr quint16 kZstd = 0x04;

struct CraftedFile
{
    QString name;
    quint16 flags;
    QByteArray data; // as stored: compressed data of a compressed file
};

quint32 resourceNameHash(const QString &name)
{
    quint32 h = 0;
    for (const QChar c : name) {
        h = (h << 4) + c.unicode();
        h ^= (h & 0xf0000000) >> 23;
        h &= 0x0fffffff;
    }
    return h;
}

template <typename T> QByteArray bigEndian(T value)
{
    QByteArray bytes(sizeof(T), Qt::Uninitialized);
    qToBigEndian(value, bytes.data());
    return bytes;
}

// A version-3 bundle with the given files under "external/", laid out as the resource compiler
// lays it out (header, data, names, tree), for shapes the compiler never writes.
QByteArray craftedBundle(QList<CraftedFile> files)
{
    std::sort(files.begin(), files.end(), [](const CraftedFile &a, const CraftedFile &b) {
        return resourceNameHash(a.name) < resourceNameHash(b.name);
    });
    QByteArray data, names, tree;
    const auto name = [&names](const QString &text) {
        const qint32 at = qint32(names.size());
        names += bigEndian<quint16>(quint16(text.size())) + bigEndian(resourceNameHash(text));
        for (const QChar c : text)
            names += bigEndian<quint16>(c.unicode());
        return at;
    };
    const auto node = [&tree](qint32 nameAt, quint16 flags, qint32 first, qint32 second) {
        tree += bigEndian(nameAt) + bigEndian(flags) + bigEndian(first) + bigEndian(second) +
                bigEndian<qint64>(0);
    };
    node(0, 0x02, 1, 1);
    node(name("external"), 0x02, qint32(files.size()), 2);
    bool zstd = false;
    for (const CraftedFile &file : files) {
        node(name(file.name), file.flags, 1, qint32(data.size())); // any territory, language C
        data += bigEndian<qint32>(qint32(file.data.size())) + file.data;
        zstd = zstd || (file.flags & kZstd);
    }
    const qint32 dataAt = 24;
    const qint32 namesAt = dataAt + qint32(data.size());
    const qint32 treeAt = namesAt + qint32(names.size());
    return "qres" + bigEndian<qint32>(3) + bigEndian(treeAt) + bigEndian(dataAt) +
           bigEndian(namesAt) + bigEndian<qint32>(zstd ? 4 : 0) + data + names + tree;
}

// A zstd frame header stating `declared` content bytes, then one raw block of one byte.
QByteArray zstdFrame(quint64 declared)
{
    QByteArray size(8, Qt::Uninitialized);
    qToLittleEndian(declared, size.data());
    return QByteArray::fromHex("28b52ffde0") + size + QByteArray::fromHex("09000078");
}

// The stored data of the first file of a bundle that holds one.
QByteArray firstFileData(const QByteArray &bundle)
{
    const qint32 at = qFromBigEndian<qint32>(bundle.constData() + 12);
    return bundle.mid(at + 4, qFromBigEndian<qint32>(bundle.constData() + at));
}

Response status(int code, const QByteArray &body = {})
{
    Response r;
    r.status = code;
    r.body = body;
    return r;
}

Response ok(const QByteArray &body, const QByteArray &type = "application/octet-stream")
{
    return status(200, body).withHeader("Content-Type", type);
}

// What happens to a cache file after its delivery, and which bundle a load from it names.
enum class Change
{
    None,
    Rewritten, // in place, with bundle B
    Touched,   // its modification time set back, as a restore from a backup would
};
enum class Named
{
    ByPlanted,
    AsBundleA,
    AsBundleB,
};

} // namespace
Q_DECLARE_METATYPE(Change)
Q_DECLARE_METATYPE(Named)

class TstBundleDelivery : public QObject
{
    Q_OBJECT

    Sandbox sandbox; // settings, cache and the code's temporary directory
    // Thousands of damaged bundles are refused with a warning each: not worth printing.
    std::optional<LogCapture> capture;
    ScriptedHttpServer server;
    std::unique_ptr<ViewModel> vm;
    std::unique_ptr<QSignalSpy> finished;
    const QByteArray bundleA = readFile(DELIVERY_BUNDLE_DIR "/bundle_a.rcc");
    const QByteArray bundleB = readFile(DELIVERY_BUNDLE_DIR "/bundle_b.rcc");
    const QByteArray bundleCZstd = readFile(DELIVERY_BUNDLE_DIR "/bundle_c_zstd.rcc");
    const QByteArray bundleCZlib = readFile(DELIVERY_BUNDLE_DIR "/bundle_c_zlib.rcc");
    QString base;  // the test server, once started
    QString fnUrl; // the function request the default configuration makes

    QString tempPath() const { return sandbox.tempPath(); }
    bool logged(const QString &fragment) const { return capture->contains(fragment); }
    // A stored session as sign-in leaves it; isUserLoggedIn() then restores it.
    void signIn(const QString &id)
    {
        QSettings &settings = vm->auth().Settings();
        settings.setValue("token", EncodeStoredValue("tok-1"));
        settings.setValue("refreshToken", EncodeStoredValue("refresh-1"));
        settings.setValue("id", id);
        settings.setValue("email", id + "@example.test");
        vm->isUserLoggedIn();
    }
    // Waits for the n-th outcome and answers it.
    QPair<bool, QString> outcome(int n = 1) const
    {
        if (!QTest::qWaitFor([&] { return finished->count() >= n; }, kWait))
            return {false, QStringLiteral("<no outcome>")};
        return {finished->at(n - 1).at(0).toBool(), finished->at(n - 1).at(1).toString()};
    }
    QPair<bool, QString> resolve(int n)
    {
        vm->resolveAndDownloadExternalResourceForCurrentUser();
        return outcome(n);
    }
    // Asks the function at this URL, which the server answers with this reply.
    void resolveWith(const QString &functionUrl, const Response &reply)
    {
        qputenv("CORVALEN_REFERER_URL", "https://portal.test/"); // for direct downloads only
        qputenv("CORVALEN_RCC_DASHBOARD_FUNCTION_URL", functionUrl.toUtf8());
        QVERIFY(writeFile(tempPath() + "/get_dashboard_rcc", bundleA)); // for a file: URL
        server.setHandler([reply](const Request &) { return reply; });
        QVERIFY(vm->resolveAndDownloadExternalResourceForCurrentUser());
    }
    // Bundle A with a Content-Length 100 bytes longer, the connection closed after the bundle.
    Response cutAfterBundle() const
    {
        Response cut = ok(bundleA + QByteArray(100, 'x'));
        cut.dropAfterBodyBytes = int(bundleA.size());
        return cut;
    }
    QStringList targets() const
    {
        QStringList list;
        for (const Request &request : server.requests())
            list << QString::fromLatin1(request.target);
        return list;
    }

    // A TLS server on 127.0.0.1 whose certificate the client trusts, offering HTTP/2 and 1.1;
    // one for the process, as handshakes with a second one made in the same process failed.
    // Null if it could not be made. Its sockets go with the test's `handling` object.
    static QSslServer *trustedTlsServer()
    {
        static const std::unique_ptr<QSslServer> tls = [] {
            const QTemporaryDir *certificates = testCertificates();
            if (!certificates)
                return std::unique_ptr<QSslServer>();
            QSslConfiguration config = QSslConfiguration::defaultConfiguration();
            config.addCaCertificates(QSslCertificate::fromPath(certificates->filePath("ca.pem")));
            QSslConfiguration::setDefaultConfiguration(config); // trusted by the client
            config.setLocalCertificateChain(
                QSslCertificate::fromPath(certificates->filePath("host.pem")));
            config.setPrivateKey(QSslKey(readFile(certificates->filePath("host.key")), QSsl::Ec));
            config.setAllowedNextProtocols({"h2", "http/1.1"});
            auto server = std::make_unique<QSslServer>();
            server->setSslConfiguration(config);
            return server->listen(QHostAddress::LocalHost) ? std::move(server) : nullptr;
        }();
        return tls.get();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(!bundleA.isEmpty() && !bundleB.isEmpty() && server.start());
        base = server.baseUrl();
        fnUrl = base + "/fn/get_dashboard_rcc?user_id=user-1";
        qputenv("CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL", (base + "/clear").toUtf8());
    }
    void init()
    {
        QVERIFY(sandbox.wipe() && QDir(tempPath()).removeRecursively() &&
                QDir().mkpath(tempPath()));
        capture.emplace(LogCapture::PassOn::FatalOnly); // no transfer runs between test functions
        server.clearRequests();
        server.clearQueue();   // what a test left unanswered
        server.setHandler({}); // one a test set may hold references into that test
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        qputenv("CORVALEN_AUTH_BASE_URL", (base + "/v1").toUtf8());
        qputenv("CORVALEN_RCC_DASHBOARD_FUNCTION_URL", (base + "/fn").toUtf8());
        vm = std::make_unique<ViewModel>();
        finished = std::make_unique<QSignalSpy>(vm.get(), &ViewModel::externalResourceLoadFinished);
        signIn(QStringLiteral("user-1"));
    }
    void cleanup()
    {
        vm->unregisterCurrentResource();
        vm.reset();
        capture.reset();
    }

    void damagedBundlesRegisterNothing_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const qint32 tree = qFromBigEndian<qint32>(bundleA.constData() + 8);
        const qint32 dirName = qFromBigEndian<qint32>(bundleA.constData() + 16) +
                               qFromBigEndian<qint32>(bundleA.constData() + tree + 22);
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("html") << QByteArray("<!DOCTYPE html><html><body>Sign in</body></html>");
        QTest::newRow("random") << QByteArray::fromHex("9f3c0be1d2a4477700ff13");
        QTest::newRow("tree past end") << patched<qint32>(bundleA, 8, bundleA.size());
        QTest::newRow("directory is its own child") << patched<qint32>(bundleA, tree + 22 + 10, 1);
        QTest::newRow("name past end") << patched<qint32>(bundleA, tree + 2 * 22, 0x7fffff00);
        QTest::newRow("directory named .")
            << patched<quint16>(patched<quint16>(bundleA, dirName, 1), dirName + 6, '.');
        QTest::newRow("data size past end") << patched<qint32>(
            bundleA, qFromBigEndian<qint32>(bundleA.constData() + 12), 0x7fffffff);
        QTest::newRow("backslash in a name") << craftedBundle({{"a\\b.qml", 0, "Item {}"}});
        // What the resource system would allocate in one piece when the file is read.
        QTest::newRow("zstd declares 2^40")
            << craftedBundle({{"dashboard.qml", kZstd, zstdFrame(1ull << 40)}});
        QTest::newRow("zstd declares 2^62")
            << craftedBundle({{"dashboard.qml", kZstd, zstdFrame(1ull << 62)}});
        QTest::newRow("zstd declares no size") << craftedBundle(
            {{"dashboard.qml", kZstd, QByteArray::fromHex("28b52ffd00580900007800")}});
        QTest::newRow("zlib declares 4 GiB") << craftedBundle(
            {{"dashboard.qml", kZlib, QByteArray::fromHex("ffffffff789c030000000001")}});
        QTest::newRow("zstd file over 64 MiB") << craftedBundle(
            {{"dashboard.qml", kZstd, zstdFrame((64 << 20) + 1) + QByteArray(4096, 'x')}});
        QTest::newRow("zstd beyond its ratio")
            << craftedBundle({{"dashboard.qml", kZstd, zstdFrame(1 << 20)}});
        QList<CraftedFile> many;
        for (const char *name : {"1", "2", "3", "4", "5"})
            many.append({name, kZstd, zstdFrame(60 << 20) + QByteArray(2000, 'x')});
        QTest::newRow("files over 256 MiB together") << craftedBundle(many);
        QTest::newRow("zlib and zstd at once")
            << craftedBundle({{"filler.txt", kZstd | kZlib, firstFileData(bundleCZstd)}});
    }
    // Refused from memory and through the cache file; the previous bundle is gone all the same.
    void damagedBundlesRegisterNothing()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(!isStructurallyValidRcc(bytes));
        for (const char *id : {"", "u1"}) {
            QVERIFY(vm->cacheAndRegisterPayload(bundleB, "", "b"));
            QVERIFY(!vm->cacheAndRegisterPayload(bytes, id, "damaged"));
            QVERIFY(!QFileInfo::exists(":/external"));
        }
    }

    // Every format the resource compiler writes registers, from memory and from the cache file,
    // and every file reads back as packed.
    void realBundlesReadBack_data()
    {
        QTest::addColumn<QByteArray>("bundle");
        QTest::addColumn<QString>("sources");
        for (const char *name : {"a", "a_v1", "a_v2", "c_zlib", "c_zstd"})
            QTest::newRow(name) << readFile(DELIVERY_BUNDLE_DIR "/bundle_" + QString(name) + ".rcc")
                                << QString(DELIVERY_BUNDLE_SOURCES "/") + name[0];
        QTest::newRow("crafted around a real zstd frame")
            << craftedBundle({{"filler.txt", kZstd, firstFileData(bundleCZstd)}})
            << DELIVERY_BUNDLE_SOURCES "/c";
    }
    void realBundlesReadBack()
    {
        QFETCH(QByteArray, bundle);
        QFETCH(QString, sources);
        const QStringList files = QDir(sources).entryList({"*.qml", "*.txt"}, QDir::Files);
        QVERIFY(!files.isEmpty());
        for (const char *id : {"", "u1"}) {
            QVERIFY(vm->cacheAndRegisterPayload(bundle, id, "test"));
            for (const QString &file : files)
                QCOMPARE(readFile(":/external/" + file), readFile(sources + '/' + file));
        }
    }

    // Whatever damage gets past the check must be safe to register and read.
    void damagedBundlesAreSafeToRead()
    {
        for (const QByteArray &bundle : {bundleA, bundleCZstd, bundleCZlib}) {
            for (qsizetype at = 0; at < bundle.size(); ++at) {
                QVERIFY(!isStructurallyValidRcc(bundle.left(at)));
                for (const char mask : {char(0xff), char(0x01), char(0x80)}) {
                    QByteArray damaged = bundle;
                    damaged[at] = char(damaged[at] ^ mask);
                    if (vm->cacheAndRegisterPayload(damaged, "", "")) {
                        QDirIterator it(":/external", QDir::Files | QDir::Hidden,
                                        QDirIterator::Subdirectories);
                        while (it.hasNext())
                            readFile(it.next());
                    }
                    vm->unregisterCurrentResource();
                }
            }
        }
    }

    void userIdsNamingCacheFiles_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QStringList>("cached");
        const auto plain = [](const QString &id) {
            QTest::newRow(qPrintable(id)) << id << QStringList{id + ".rcc"};
        };
        const auto refused = [](const char *name, const QString &id) {
            QTest::newRow(name) << id << QStringList();
        };
        plain("user-1_a.b");
        plain("u+1@idp");              // e-mail shaped
        plain("auth0|5f3c9a");         // provider|subject
        plain("a&b=c#d%e~f!$'()[],;"); // reserved in a URL
        plain(QStringLiteral("j\u00fcrgen.m\u00fcller@\u540d\u524d.example"));
        plain("a b");
        plain(".hidden");
        plain("..two");
#ifdef Q_OS_WIN
        refused("colon", "urn:x");
        refused("device name", "con");
        refused("device name with extension", "LPT1.txt");
#else
        plain("urn:x");
        plain("con");
#endif
        refused("dot", ".");
        refused("parent", "..");
        refused("traversal", "../escape");
        refused("backslash traversal", "..\\escape");
        refused("tab", "a\tb");
        refused("newline", "a\nb");
        refused("delete", "a\x7f"
                          "b");
        refused("C1 control", QStringLiteral("a\u0085b"));
        refused("NUL", QString::fromLatin1("a\0b", 3));
        refused("blank", "   ");
    }
    void userIdsNamingCacheFiles()
    {
        QFETCH(QString, id);
        QFETCH(QStringList, cached);
        // What a traversing id would reach; it must survive the delete for that id too.
        const QString bait = cacheFile() + "../escape.rcc";
        QVERIFY(QDir().mkpath(cacheFile()) && writeFile(bait, "bait"));

        QVERIFY(vm->cacheAndRegisterPayload(bundleA, id, "test"));
        QCOMPARE(QDir(cacheFile()).entryList({"*.rcc"}, QDir::Files | QDir::Hidden), cached);
        QCOMPARE(logged("user id unfit as a file name"),
                 cached.isEmpty() && !id.trimmed().isEmpty());
        vm->deleteCachedDashboard(id);
        QVERIFY(QDir(cacheFile()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
        QCOMPARE(readFile(bait), "bait");
    }

    // Ids that differ only in case never share a file, even where file names ignore case.
    void caseOnlyDifferentIdsKeepApart()
    {
        const QList<QPair<QString, QByteArray>> users{
            {"abc", bundleA}, {"Abc", bundleB}, {"ABC", bundleCZstd}};
        QSet<QString> names;
        for (const auto &[id, bundle] : users) {
            QVERIFY(vm->cacheAndRegisterPayload(bundle, id, "test"));
            names.insert(QFileInfo(vm->dashboardCacheFilePath(id)).fileName().toLower());
        }
        QCOMPARE(names.size(), 3);
        QVERIFY(names.contains("abc.rcc")); // a lower-case id keeps its plain name
        for (const auto &[id, bundle] : users)
            QCOMPARE(readFile(vm->dashboardCacheFilePath(id)), bundle);

        // An id spelled like the file of another one does not take it over.
        const QString lookalike = QFileInfo(vm->dashboardCacheFilePath("Abc")).completeBaseName();
        QVERIFY(vm->cacheAndRegisterPayload(bundleA, lookalike, "test"));
        QCOMPARE(readFile(vm->dashboardCacheFilePath("Abc")), bundleB);
    }

    // Files of ids with capitals were once named after the exact id; sign-out removes those too.
    void deletingTakesEarlierFileNames()
    {
        QVERIFY(vm->cacheAndRegisterPayload(bundleA, "Alice", "test"));
        vm->unregisterCurrentResource();
        QVERIFY(writeFile(cacheFile("Alice"), bundleB));
        QCOMPARE(QDir(cacheFile()).entryList({"*.rcc"}).size(), 2);
        vm->deleteCachedDashboard("Alice");
        QCOMPARE(QDir(cacheFile()).entryList({"*.rcc"}), QStringList());
    }

    // The id arrives whole at a server that reads its query as a form ('+' for a space).
    void functionGetsWholeUserId_data()
    {
        QTest::addColumn<QString>("id");
        for (const char *id : {"u+1@idp", "a&user_id=b", "x#y", "100%25", "auth0|x:y", "a b",
                               "j\xc3\xbcrgen+\xe5\x90\x8d@example"})
            QTest::newRow(id) << QString::fromUtf8(id);
    }
    void functionGetsWholeUserId()
    {
        QFETCH(QString, id);
        qputenv("CORVALEN_RCC_DASHBOARD_FUNCTION_URL", (base + "/fn?tenant=t%2B1").toUtf8());
        vm = std::make_unique<ViewModel>(); // signed in as nobody yet
        finished = std::make_unique<QSignalSpy>(vm.get(), &ViewModel::externalResourceLoadFinished);
        signIn(id);
        server.enqueue(status(404));
        QCOMPARE(resolve(1).first, false);
        QMultiHash<QString, QString> form;
        for (const QByteArray &pair : server.lastRequest().target.split('?').value(1).split('&')) {
            const auto decoded = [](QByteArray part) {
                return QString::fromUtf8(QByteArray::fromPercentEncoding(part.replace('+', ' ')));
            };
            const qsizetype equals = pair.indexOf('=');
            form.insert(decoded(pair.left(equals)), decoded(pair.mid(equals + 1)));
        }
        QCOMPARE(form.values("user_id"), QStringList{id});
        QCOMPARE(form.values("tenant"), QStringList{"t+1"}); // the configured query stays
    }

    // A cache file that cannot take the whole bundle (a file size limit makes the write fall
    // short, even for root): the bundle registers from memory all the same, and the cached one
    // stays, whether it is handed over whole or streams in from the function.
    void cacheWriteFallingShortRegistersFromMemory_data()
    {
        QTest::addColumn<bool>("streamed");
        QTest::newRow("handed over whole") << false;
        QTest::newRow("streamed") << true;
    }
    void cacheWriteFallingShortRegistersFromMemory()
    {
        QFETCH(bool, streamed);
        server.enqueue(ok(bundleA));
        QCOMPARE(resolve(1), qMakePair(true, kLoaded));
        vm->dashboardCreationFinished(true);
        server.enqueue(ok(bundleB)); // taken only when streamed
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const rlimit limited{64, saved.rlim_max};
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
        const bool registered = streamed ? vm->reloadDashboardFromServer() && outcome(2).first
                                         : vm->cacheAndRegisterPayload(bundleB, "user-1", "b");
        setrlimit(RLIMIT_FSIZE, &saved);
        QVERIFY(registered && QFile::exists(kOnlyB) && !QFile::exists(kOnlyA));
        QVERIFY(logged("Failed to write full dashboard RCC cache file:"));
        QCOMPARE(readFile(cacheFile("user-1")), bundleA);
    }

    // A bundle of several MiB goes to disk in pieces while it arrives; the cache holds it whole.
    void largeBundleCachedWhole()
    {
        QByteArray blob(9 << 20, Qt::Uninitialized);
        for (qsizetype i = 0; i < blob.size(); ++i)
            blob[i] = char((i * 7 + i / 4093) % 251);
        const QByteArray bundle =
            craftedBundle({{"dashboard.qml", 0, "Item {}"}, {"blob.bin", 0, blob}});
        server.enqueue(ok(bundle));
        QCOMPARE(resolve(1), qMakePair(true, kLoaded));
        QCOMPARE(readFile(cacheFile("user-1")), bundle);
        QCOMPARE(readFile(":/external/blob.bin"), blob);
    }

    // A file or a link where the cache folder belongs costs the cache, never the files the link
    // points to; the bundle registers from memory.
    void unusableCacheFolderRegistersFromMemory_data()
    {
        QTest::addColumn<bool>("link"); // else a plain file
        QTest::addColumn<bool>("streamed");
        QTest::newRow("file, handed over whole") << false << false;
        QTest::newRow("link, streamed") << true << true;
    }
    void unusableCacheFolderRegistersFromMemory()
    {
        QFETCH(bool, link);
        QFETCH(bool, streamed);
        const QString elsewhere = sandbox.filePath("elsewhere");
        QVERIFY(QDir().mkpath(elsewhere) && QDir().mkpath(cacheFile().chopped(21)));
        QVERIFY(link ? QFile::link(elsewhere, cacheFile().chopped(1))
                     : writeFile(cacheFile().chopped(1), "x"));
        server.setHandler([this](const Request &) { return ok(bundleA); });
        QVERIFY(streamed ? resolve(1).first : vm->cacheAndRegisterPayload(bundleA, "user-1", "a"));
        QVERIFY(logged("Failed to create dashboard RCC cache directory in:"));
        QVERIFY(QFile::exists(kOnlyA));
        QVERIFY(QDir(elsewhere).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    }

    // What the dashboard function's answer comes to: the outcome, and the bundle registered.
    void functionReplies_data()
    {
        QTest::addColumn<QString>("functionUrl");
        QTest::addColumn<Response>("reply");
        QTest::addColumn<QString>("message");
        const auto row = [&](const char *name, const Response &reply, const QString &message,
                             const QString &url = QString()) {
            QTest::newRow(name) << (url.isEmpty() ? base + "/fn" : url) << reply << message;
        };
        row("raw bundle", ok(bundleA), kLoaded);
        row("base64 in JSON",
            Response::json(200, R"({"payload_base64":" )" + bundleA.toBase64() + R"( "})"),
            kLoaded);
        row("error JSON with 200", Response::json(200, R"({"error":"no bundle yet"})"), kInvalid);
        row("error JSON with 500", Response::json(500, R"({"error":"  build failed  "})"),
            "build failed");
        row("500 empty", status(500),
            "Dashboard RCC request failed (500): Error transferring " + fnUrl +
                " - server replied: Internal Server Error");
        row("base64 of nothing", Response::json(200, R"({"payload_base64":"  ===  "})"),
            "Downloaded RCC file is empty.");
        row("connection dropped after the bundle", cutAfterBundle(), kLoaded);
        row("host not found", ok(bundleA), "Dashboard RCC request failed: Host  not found",
            "http:///fn");
        row("no HTTP status", ok(bundleA), "Dashboard RCC request returned HTTP 0.",
            QUrl::fromLocalFile(tempPath()).toString());
    }
    void functionReplies()
    {
        QFETCH(QString, functionUrl);
        QFETCH(Response, reply);
        QFETCH(QString, message);
        resolveWith(functionUrl, reply);
        const bool success = message == kLoaded;
        QCOMPARE(outcome(), qMakePair(success, message));
        QCOMPARE(QFile::exists(kOnlyA), success);
        QCOMPARE(server.requestCount(), functionUrl.startsWith(base) ? 1 : 0);
    }

    // A payload that does not register is kept for inspection; nothing else is.
    void functionPayloadKeptOnlyWhenInvalid_data()
    {
        functionReplies_data();
    }
    void functionPayloadKeptOnlyWhenInvalid()
    {
        QFETCH(QString, functionUrl);
        QFETCH(Response, reply);
        QFETCH(QString, message);
        resolveWith(functionUrl, reply);
        QCOMPARE(outcome().second, message);
        const QStringList dumps = QDir(tempPath()).entryList({"corvalen-dashboard-rcc-*.bin"});
        QCOMPARE(dumps.size(), message == kInvalid ? 1 : 0);
        if (!dumps.isEmpty())
            QCOMPARE(readFile(tempPath() + '/' + dumps.first()), reply.body);
    }

    // The function is asked for the user's bundle with the token; a Referer is for direct
    // downloads only.
    void functionRequestHeaders()
    {
        resolveWith(base + "/fn", ok(bundleA));
        QCOMPARE(outcome().first, true);
        const Request request = server.lastRequest();
        QCOMPARE(request.target, "/fn/get_dashboard_rcc?user_id=user-1");
        QCOMPARE(request.header("Accept"),
                 "application/octet-stream,application/json;q=0.9,*/*;q=0.8");
        QCOMPARE(request.header("Authorization"), "Bearer tok-1");
        QVERIFY(!request.hasHeader("Referer"));
    }

    // Each fixed trace line of a function request, pinned whole once; where a line's other
    // fields vary or are pinned elsewhere, the fields that matter to the row.
    void functionTrace_data()
    {
        QTest::addColumn<QString>("functionUrl");
        QTest::addColumn<Response>("reply");
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("whole"); // else the fields that matter, within the line
        const QString size = QString::number(bundleA.size());
        const auto row = [&](const char *name, const Response &reply, const QString &line,
                             bool whole = true, const QString &url = QString()) {
            QTest::newRow(name) << (url.isEmpty() ? base + "/fn" : url) << reply << line << whole;
        };
        // Qt 6.7 moved replies to QHttpHeaders, which keeps header names in lower case; Qt 6.4
        // gives them as they came on the wire.
        QString headers =
            "Content-Type=application/octet-stream, X-Note=caf\u00e9, Content-Length=" + size;
        if (QT_VERSION >= QT_VERSION_CHECK(6, 7, 0))
            headers = headers.toLower();
        const Response noted = Response(ok(bundleA)).withHeader("X-Note", "caf\xe9");
        const QString url = " QUrl(\"" + fnUrl + "\")";

        row("metaDataChanged", noted,
            "Dashboard RCC metaDataChanged: url=" + fnUrl + " status=200 headers={" + headers +
                "}");
        row("readyRead", noted, "Dashboard RCC readyRead: url=" + url + " bytesAvailable=", false);
        row("downloadProgress", noted,
            "Dashboard RCC downloadProgress: url=" + url + " received= " + size +
                " total= " + size);
        row("reply diagnostics", noted,
            "Dashboard RCC reply diagnostics: url=" + fnUrl +
                " status=200 error=0 errorString=\"Unknown error\" bytes=" + size +
                " bytesAvailableAfterRead=0 isFinished=true contentType=\"application/"
                "octet-stream\" contentLength=\"" +
                size +
                "\" transferEncoding=\"\" contentEncoding=\"\" contentDisposition=\"\" "
                "payloadPrefixHex=\"" +
                QString::fromLatin1(bundleA.left(24).toHex(' ')) + "\" rawHeaders={" + headers +
                "}");
        row("base64 decoded",
            Response::json(200, R"({"payload_base64":" )" + bundleA.toBase64() + R"( "})"),
            "Decoded dashboard RCC payload from base64 JSON: encodedBytes= " +
                QString::number(bundleA.toBase64().size()) + " decodedBytes= " + size);
        row("base64 of nothing", Response::json(200, R"({"payload_base64":"  ===  "})"),
            " encodedBytes= 3 decodedBytes= 0", false);
        row("JSON body", Response::json(500, R"({"error":"  build failed  "})"),
            "Dashboard RCC JSON body: {\"error\":\"  build failed  \"}");
        // Escapes and text beyond ASCII go through the full parser and come out as it writes them.
        row("JSON body, escaped and accented",
            Response::json(500, "{ \"error\" : \"\\\"\xc3\x9c\\u00e9\\u2713\\t\\/\" }"),
            "Dashboard RCC JSON body: {\"error\":\"\\\"\u00dc\u00e9\u2713\\t/\"}");
        row("errorOccurred", status(500),
            "Dashboard RCC errorOccurred: url=" + url +
                " code= QNetworkReply::InternalServerError errorString=",
            false);
        row("content-length mismatch", cutAfterBundle(),
            "Dashboard RCC reply content-length mismatch: declared= " +
                QString::number(bundleA.size() + 100) + " actual= " + size);
        row("continuing after an error", cutAfterBundle(),
            "Continuing after dashboard RCC reply error because a successful payload was "
            "received: \"Connection closed\" status= 200 bytes= " +
                size);
        const QString file = QUrl::fromLocalFile(tempPath()).toString();
        row("no HTTP status", ok(bundleA),
            "url=" + file + "/get_dashboard_rcc?user_id=user-1 status=<none> headers={", false,
            file);
    }
    void functionTrace()
    {
        QFETCH(QString, functionUrl);
        QFETCH(Response, reply);
        QFETCH(QString, line);
        QFETCH(bool, whole);
        resolveWith(functionUrl, reply);
        QVERIFY(outcome().second != "<no outcome>");
        QVERIFY2(whole ? capture->lines().contains(line) : logged(line), qPrintable(line));
    }

    // Direct downloads follow their own redirects and retries. Each row's route table says what
    // the server answers on each path (any query); a path not in it gets a 404.
    void directDownloads_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<Routes>("routes");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("requests");
        const auto row = [&](const char *name, const QString &path, const Routes &routes,
                             const QString &message, const QStringList &requests) {
            QTest::newRow(name) << base + path << routes << message << requests;
        };
        const Response a = ok(bundleA);
        const auto to = [](const char *location) { return Response::redirect(302, location); };
        const auto failed = [&](const QString &path, const char *reason) {
            return "Failed to download RCC from " + base + path + ": Error transferring " + base +
                   path + " - server replied: " + reason;
        };
        // "/r/N" redirects to "/r/N-1" down to "/r/0", which serves bundle A.
        Routes countdown{{"/r/0", a}};
        QStringList hops{"/r/0"};
        for (int n = 1; n <= 11; ++n) {
            countdown.insert(QStringLiteral("/r/%1").arg(n),
                             to(QByteArray("/r/" + QByteArray::number(n - 1))));
            hops.prepend(QStringLiteral("/r/%1").arg(n));
        }

        row("10 redirects", "/r/10", countdown, kLoaded, hops.mid(1));
        row("11 redirects", "/r/11", countdown,
            "Too many RCC redirects. Last URL: " + base + "/r/0", hops.mid(0, 11));
        row("back to start", "/s", {{"/s", to("/t")}, {"/t", to("/s")}},
            "RCC server redirect loop detected at: " + base + "/s", {"/s", "/t"});
        row("same URL, other fragment", "/f#top", {{"/f", to("/f#other")}},
            "RCC server redirect loop detected at: " + base + "/f", {"/f"});
        row("relative redirect", "/dir/start",
            {{"/dir/start", to("next.rcc")}, {"/dir/next.rcc", a}}, kLoaded,
            {"/dir/start", "/dir/next.rcc"});
        row("redirect to a local file", "/to-file", {{"/to-file", to("file:///etc/hostname")}},
            "Invalid RCC redirect target from: " + base + "/to-file", {"/to-file"});
        row("406 three times", "/n?v=2", {{"/n", status(406)}},
            failed("/n?v=2&download=1&raw=1", "Not Acceptable"),
            {"/n?v=2", "/n?v=2&download=1", "/n?v=2&download=1&raw=1"});
        row("406 after a redirect", "/moved", {{"/moved", to("/n")}, {"/n", status(406)}},
            failed("/n?download=1&raw=1", "Not Acceptable"),
            {"/moved", "/n", "/n?download=1", "/n?download=1&raw=1"});
        row("404", "/gone", {}, failed("/gone", "Not Found"), {"/gone"});
        row("HTML page", "/page",
            {{"/page", ok("<html><body>Download</body></html>", "text/html")}}, kInvalid,
            {"/page"});
        QTest::newRow("ftp") << "ftp://127.0.0.1/b.rcc" << Routes()
                             << "RCC URL must be relative, HTTP or HTTPS." << QStringList();
        QTest::newRow("blank") << "  \t " << Routes() << "Invalid RCC URL." << QStringList();
    }
    void directDownloads()
    {
        QFETCH(QString, url);
        QFETCH(Routes, routes);
        QFETCH(QString, message);
        QFETCH(QStringList, requests);
        server.setHandler(
            [routes](const Request &r) { return routes.value(r.path(), status(404)); });

        const bool sent = vm->downloadAndRegisterExternalResource(url);
        QCOMPARE(sent, finished->isEmpty()); // false: refused at once
        const bool success = message == kLoaded;
        QCOMPARE(outcome(), qMakePair(success, message));
        QCOMPARE(targets(), requests);
        QCOMPARE(QFile::exists(kOnlyA), success);
        QVERIFY(QDir(tempPath()).isEmpty()); // no dump on this path
    }

    // A direct download looks like a browser's: its headers, the configured Referer (trimmed,
    // none when blank), and never the token.
    void directDownloadHeaders_data()
    {
        QTest::addColumn<QByteArray>("referer"); // CORVALEN_REFERER_URL
        QTest::newRow("with Referer") << QByteArray(" https://portal.test/ ");
        QTest::newRow("without Referer") << QByteArray("  ");
    }
    void directDownloadHeaders()
    {
        QFETCH(QByteArray, referer);
        qputenv("CORVALEN_REFERER_URL", referer);
        server.setHandler([this](const Request &) { return ok(bundleA); });
        QVERIFY(vm->downloadAndRegisterExternalResource(base + "/plain.rcc"));
        QCOMPARE(outcome(), qMakePair(true, kLoaded));
        const Request request = server.lastRequest();
        QCOMPARE(request.header("Accept"), "application/octet-stream,*/*;q=0.9");
        QVERIFY(!request.hasHeader("Authorization"));
        QCOMPARE(request.hasHeader("Referer"), !referer.trimmed().isEmpty());
        QCOMPARE(request.header("Referer"), referer.trimmed());
        QCOMPARE(request.header("User-Agent"),
                 "Mozilla/5.0 (Macintosh; Intel Mac OS X 14_0) AppleWebKit/537.36 "
                 "(KHTML, like Gecko) Chrome/123.0.0.0 Safari/537.36");
        QCOMPARE(request.header("Accept-Language"), "en-US,en;q=0.9");
    }

    // Refused before any request is sent, the user id first, then the function URL, then the
    // token.
    void resolutionRefusals_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QByteArray>("functionUrl");
        QTest::addColumn<QByteArray>("authBase");
        QTest::addColumn<bool>("token");
        QTest::addColumn<QString>("message");
        const QByteArray url = "http://127.0.0.1:9/fn";
        const QString noUrl = QStringLiteral(
            "Missing dashboard function URL. Set CORVALEN_RCC_DASHBOARD_FUNCTION_URL.");
        QTest::newRow("user id of spaces")
            << "   " << url << QByteArray() << false
            << "Missing authenticated user id. Please sign in again and retry.";
        QTest::newRow("unusable URL and no token")
            << "user-1" << QByteArray("http://exa mple.test/fn") << QByteArray() << false << noUrl;
        QTest::newRow("no URL, unusable auth base")
            << "user-1" << QByteArray() << QByteArray("http://[bad/v1") << true << noUrl;
        QTest::newRow("no token") << "user-1" << url << QByteArray() << false
                                  << "Missing access token. Please sign in again and retry.";
    }
    void resolutionRefusals()
    {
        QFETCH(QString, id);
        QFETCH(QByteArray, functionUrl);
        QFETCH(QByteArray, authBase);
        QFETCH(bool, token);
        QFETCH(QString, message);
        qputenv("CORVALEN_RCC_DASHBOARD_FUNCTION_URL", functionUrl);
        qputenv("CORVALEN_AUTH_BASE_URL", authBase);
        vm->auth().Settings().setValue("id", id);
        vm->GetSignInResponse(QStringLiteral("USER_AUTENTICATED")); // takes the id over
        if (!token)
            vm->auth().Settings().remove("token");
        QVERIFY(!vm->resolveAndDownloadExternalResourceForCurrentUser());
        QCOMPARE(outcome(), qMakePair(false, message));
        QCOMPARE(finished->count(), 1);
    }

    // The endpoint requested for a configured function URL, or for none beside the
    // authentication service. Requests go through the test server as a proxy, so that the
    // names never need to resolve.
    void functionUrlNormalisation_data()
    {
        QTest::addColumn<QByteArray>("configured");
        QTest::addColumn<QByteArray>("authBase");
        QTest::addColumn<QByteArray>("target");
        const auto row = [](const char *name, const QByteArray &configured,
                            const QByteArray &target,
                            const QByteArray &authBase = "http://tenant.auth.invalid/v1") {
            QTest::newRow(name) << configured << authBase << target;
        };
        const QByteArray fn = "get_dashboard_rcc?user_id=user-1";
        row("older endpoint and a slash", "http://fn.invalid/a/get_dashboard_rcc_url/",
            "http://fn.invalid/a/" + fn);
        row("older endpoint at the root", "http://fn.invalid/get_dashboard_rcc_url",
            "http://fn.invalid/" + fn);
        row("endpoint already", "http://fn.invalid/x/get_dashboard_rcc",
            "http://fn.invalid/x/" + fn);
        row("bare host", "http://fn.invalid", "http://fn.invalid/" + fn);
        row("query kept", "http://fn.invalid/a?region=eu",
            "http://fn.invalid/a/get_dashboard_rcc?region=eu&user_id=user-1");
        row("beside the auth service", {}, "http://tenant.functions.invalid/v1/" + fn);
        row("beside an auth host without .auth.", {}, "http://login.invalid/v1/" + fn,
            "http://login.invalid/v1/");
    }
    void functionUrlNormalisation()
    {
        QFETCH(QByteArray, configured);
        QFETCH(QByteArray, authBase);
        QFETCH(QByteArray, target);
        qputenv("CORVALEN_RCC_DASHBOARD_FUNCTION_URL", configured);
        qputenv("CORVALEN_AUTH_BASE_URL", authBase);
        QNetworkProxy::setApplicationProxy({QNetworkProxy::HttpProxy, "127.0.0.1", server.port()});
        server.enqueue(ok(bundleA));
        QCOMPARE(resolve(1), qMakePair(true, kLoaded));
        QCOMPARE(server.lastRequest().target, target);
    }

    void registerExternalResourceTakesPathsAndFileUrls_data()
    {
        QTest::addColumn<QString>("name"); // in the sandbox; empty: an empty argument
        QTest::addColumn<bool>("asUrl");
        QTest::addColumn<bool>("registered");
        QTest::addColumn<QString>("log");
        QTest::newRow("plain path") << "a.rcc" << false << true << "Registered external RCC:";
        QTest::newRow("file: URL") << "a.rcc" << true << true << "Registered external RCC:";
        QTest::newRow("directory")
            << "dir" << false << false << "External RCC file does not exist:";
        QTest::newRow("missing file")
            << "none.rcc" << true << false << "External RCC file does not exist:";
        QTest::newRow("empty") << "" << false << false << "External RCC path is empty";
    }
    void registerExternalResourceTakesPathsAndFileUrls()
    {
        QFETCH(QString, name);
        QFETCH(bool, asUrl);
        QFETCH(bool, registered);
        QFETCH(QString, log);
        QVERIFY(writeFile(sandbox.filePath("a.rcc"), bundleA) &&
                QDir().mkpath(sandbox.filePath("dir")));
        const QString path = name.isEmpty() ? name : sandbox.filePath(name);
        QCOMPARE(vm->registerExternalResource(asUrl ? QUrl::fromLocalFile(path).toString() : path),
                 registered);
        QCOMPARE(QFile::exists(kOnlyA), registered);
        QVERIFY(logged(log));
    }

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
// GCC 12 at -O2 takes a QString temporary of the inlined waits for uninitialised (a false
// positive that no rewrite of this test avoided).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
    // A cache file that does not register, a failed update and a failed token refresh each leave
    // their work pending: the network is asked, the update is fetched again, the resolution
    // runs once a later refresh succeeds.
    void failuresLeaveWorkPending()
    {
        QList<Response> function{ok(bundleA), status(500), ok(bundleB), status(401), ok(bundleA)};
        QList<Response> token{status(500), Response::json(200, R"({"accessToken":"tok-2",)"
                                                               R"("refreshToken":"refresh-2",)"
                                                               R"("accessTokenExpiresIn":3600})")};
        server.setHandler([&](const Request &r) {
            if (r.path() == "/v1/token")
                return token.takeFirst();
            if (r.path() == "/fn/get_dashboard_rcc")
                return function.takeFirst();
            return status(r.path() == "/clear" ? 200 : 404); // and the update check
        });
        QVERIFY(QDir().mkpath(cacheFile()) &&
                writeFile(cacheFile("user-1"),
                          craftedBundle({{"dashboard.qml", kZstd, zstdFrame(1ull << 40)}})));
        QCOMPARE(resolve(1), qMakePair(true, kLoaded));
        QVERIFY(logged("Dashboard RCC cache exists but failed to register:"));

        emit vm->auth().RccUpdateAvailable();
        QCOMPARE(outcome(2).first, false);
        QCOMPARE(resolve(3), qMakePair(true, kLoaded)); // past the cache again
        QVERIFY(QFile::exists(kOnlyB));
        QTRY_COMPARE_WITH_TIMEOUT(server.lastRequest().target, "/clear", kWait);

        QVERIFY(QFile::remove(cacheFile("user-1")));
        vm->resolveAndDownloadExternalResourceForCurrentUser(); // 401, then the refresh fails
        QTRY_COMPARE_WITH_TIMEOUT(token.size(), 1, kWait);
        // A new refresh is only sent once the failed one is over; it succeeds.
        const auto refreshAgain = [&] {
            if (!token.isEmpty())
                vm->auth().GetNewAccessToken(); // ignored while a refresh is under way
            return token.isEmpty();
        };
        QTRY_VERIFY_WITH_TIMEOUT(refreshAgain(), kWait);
        QCOMPARE(outcome(4), qMakePair(true, kLoaded));
        QCOMPARE(finished->count(), 4);
        QCOMPARE(server.lastRequest().header("Authorization"), "Bearer tok-2");
    }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

    // A reply without a single header still shows in the trace, as empty braces.
    void headerlessReplyIsTraced()
    {
        StreamingServer bare("HTTP/1.1 200 OK\r\n\r\n", 1);
        QVERIFY(bare.listen(QHostAddress::LocalHost));
        qputenv("CORVALEN_RCC_DASHBOARD_FUNCTION_URL", bare.url().toUtf8());
        QCOMPARE(resolve(1), qMakePair(false, kInvalid));
        QVERIFY(logged("status=200 headers={}"));
        QVERIFY(logged("rawHeaders={}"));
    }

    // The bearer token is for the function's own origin: it follows redirects there, and never
    // to another origin, nor back again once it has left.
    void functionTokenStaysOnItsOrigin_data()
    {
        QTest::addColumn<int>("status"); // of the redirect to the other origin
        for (int status : {302, 307, 308})
            QTest::addRow("%d", status) << status;
    }
    void functionTokenStaysOnItsOrigin()
    {
        QFETCH(int, status);
        ScriptedHttpServer other;
        QVERIFY(other.start(QHostAddress("127.0.0.2")));
        server.setHandler([&](const Request &r) {
            if (r.path() == "/fn/get_dashboard_rcc")
                return Response::redirect(302, "/same");
            if (r.path() == "/same")
                return Response::redirect(status, other.baseUrl().toUtf8() + "/away");
            return ok(bundleA);
        });
        other.enqueue(Response::redirect(302, server.baseUrl().toUtf8() + "/back"));
        QCOMPARE(resolve(1), qMakePair(true, kLoaded));
        QCOMPARE(targets(),
                 QStringList({"/fn/get_dashboard_rcc?user_id=user-1", "/same", "/back"}));
        QByteArrayList tokens;
        for (const Request &request : server.requests() + other.requests())
            tokens << request.header("Authorization");
        QCOMPARE(tokens, QByteArrayList({"Bearer tok-1", "Bearer tok-1", "", ""}));
    }

    // A body over the cap is cut off as soon as its declared length or its arrived bytes show
    // it; nothing of it is cached or registered, and the outcome comes once.
    void oversizedBodiesAreRefused_data()
    {
        QTest::addColumn<bool>("direct");
        QTest::addColumn<bool>("declared"); // a Content-Length over the cap, else bytes arrive
        QTest::newRow("function, declared") << false << true;
        QTest::newRow("function, arriving") << false << false;
        QTest::newRow("direct, declared") << true << true;
        QTest::newRow("direct, arriving") << true << false;
    }
    void oversizedBodiesAreRefused()
    {
        QFETCH(bool, direct);
        QFETCH(bool, declared);
        if (!declared)
            vm->maxBundleBytes = 1 << 20; // the real cap would take a while to arrive
        const qint64 limit = vm->maxBundleBytes;
        StreamingServer big(declared ? "HTTP/1.1 200 OK\r\nContent-Length: " +
                                           QByteArray::number(limit + 1) + "\r\n\r\n"
                                     : "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n",
                            declared ? limit + 1 : qint64(1) << 30);
        QVERIFY(big.listen(QHostAddress::LocalHost));
        qputenv("CORVALEN_RCC_DASHBOARD_FUNCTION_URL", big.url().toUtf8());
        QVERIFY(direct ? vm->downloadAndRegisterExternalResource(big.url())
                       : vm->resolveAndDownloadExternalResourceForCurrentUser());
        QCOMPARE(outcome(), qMakePair(false, QStringLiteral("Downloaded RCC file is too large: "
                                                            "more than %1 bytes.")
                                                 .arg(limit)));
        QTRY_VERIFY_WITH_TIMEOUT(big.clientLeftEarly, kWait);
        QCOMPARE(finished->count(), 1);
        QVERIFY(!QFile::exists(cacheFile("user-1")) && !QFileInfo::exists(":/external"));
        QTRY_VERIFY_WITH_TIMEOUT(QDir(cacheFile()).isEmpty(), kWait); // nothing of what arrived
    }

    // A bundle that does not register never takes the cached one's place.
    void refusedBundleKeepsCachedOne_data()
    {
        QTest::addColumn<bool>("direct");
        QTest::addColumn<Response>("reply");
        Response cut = ok(bundleA);
        cut.dropAfterBodyBytes = int(bundleA.size() / 2);
        for (const bool direct : {false, true}) {
            const char *via = direct ? "direct" : "function";
            QTest::addRow("%s, damaged", via)
                << direct << ok(patched<qint32>(bundleA, 8, bundleA.size()));
            QTest::addRow("%s, cut off halfway", via) << direct << cut;
        }
    }
    void refusedBundleKeepsCachedOne()
    {
        QFETCH(bool, direct);
        QFETCH(Response, reply);
        server.enqueue(ok(bundleB));
        QCOMPARE(resolve(1), qMakePair(true, kLoaded));
        vm->dashboardCreationFinished(true);
        const QStringList kept = QDir(cacheFile()).entryList(QDir::Files);
        server.enqueue(reply);
        QVERIFY(direct ? vm->downloadAndRegisterExternalResource(base + "/damaged")
                       : vm->reloadDashboardFromServer());
        QVERIFY(!outcome(2).first);
        QCOMPARE(readFile(cacheFile("user-1")), bundleB);
        QTRY_COMPARE_WITH_TIMEOUT(QDir(cacheFile()).entryList(QDir::Files), kept, kWait);
    }

    // The dashboard function's body is read in place where it can be; whatever the body, the
    // reading, the log text included, is the full JSON parser's.
    void functionBodiesReadAsTheFullParserDoes_data()
    {
        QTest::addColumn<QByteArray>("body");
        const QDir corpus(DELIVERY_BUNDLE_SOURCES "/../../../fuzz/corpus/function_reply");
        const QStringList seeds = corpus.entryList(QDir::Files);
        QVERIFY(!seeds.isEmpty());
        for (const QString &name : seeds)
            QTest::newRow(qPrintable(name)) << readFile(corpus.filePath(name));
        const QList<QByteArray> bodies = {"{}",
                                          " {\"b\":\"1\",\"a\":\"2\",\"ab\":\"3\",\"B\":\"4\"} ",
                                          "{\"payload_base64\":\"===\"}",
                                          "{\"payload_base64\":\" QU JD~\"}",
                                          "{\"error\":\"\",\"signature\":\" s \"}",
                                          "{\"a\":\"1\",}",
                                          "{\"a\" \"1\"}",
                                          "{\"a\":\"1\"",
                                          "{\"a\":\"x\ty\"}",
                                          "{\"a\":\"\x7f\"}",
                                          "\xef\xbb\xbf{\"a\":\"1\"}",
                                          QByteArray("{\"a\":\"1\"}\0", 10),
                                          "{\"a\":\"1\"}\f",
                                          "[\"a\"]",
                                          "\"a\"",
                                          ""};
        for (const QByteArray &body : bodies)
            QTest::newRow(body.toPercentEncoding().left(60).constData()) << body;
        // Long values are read a word at a time: each byte at each place of a word, the bytes
        // next to those the reading stops at included.
        for (const char odd : {'\t', '\x1f', ' ', '~', '\x7f', '\x80', '\xff', '\\', '[', ']'}) {
            for (int at = 0; at < 16; ++at) {
                QByteArray value(24, 'Q');
                value[at] = odd;
                QTest::addRow("byte %02x at %d", uchar(odd), at)
                    << "{\"payload_base64\":\"" + value + "\"}";
            }
        }
    }
    void functionBodiesReadAsTheFullParserDoes()
    {
        QFETCH(QByteArray, body);
        const DashboardFunctionBody read = parseDashboardFunctionBody(body);
        const DashboardFunctionBody full = parseDashboardFunctionBodyFully(body);
        QCOMPARE(read.isJsonObject, full.isJsonObject);
        QCOMPARE(read.compactJson, full.compactJson);
        QCOMPARE(read.errorText, full.errorText);
        QCOMPARE(read.signature, full.signature);
        QCOMPARE(read.payload, full.payload);
        QCOMPARE(read.encodedBytes, full.encodedBytes);
    }

    // The base64 of every length and alignment, with bytes outside the alphabet (padding among
    // them) strewn in, decodes as Qt's own decoder has it.
    void base64DecodesAsQtDoes()
    {
        QRandomGenerator random(25);
        const QByteArray strays("=\n -_.~\x80\xff\0", 11);
        for (int length = 0; length < 300; ++length) {
            QByteArray bytes(length, Qt::Uninitialized);
            for (char &byte : bytes)
                byte = char(random.bounded(256));
            QByteArray text = bytes.toBase64(length % 2 ? QByteArray::OmitTrailingEquals
                                                        : QByteArray::Base64Encoding);
            for (int n = length % 4; n > 0; --n)
                text.insert(random.bounded(text.size() + 1), strays[random.bounded(11)]);
            QCOMPARE(decodeBase64(text), QByteArray::fromBase64(text));
        }
    }

    // Two writers of one process for the same file: the one whose name the other took over
    // neither commits nor removes the other's bytes.
    void pendingFileKeepsToItsOwnBytes()
    {
        const QString path = sandbox.filePath("target");
        QVERIFY(writeFile(path, "old"));
        auto first = std::make_unique<privatefiles::PendingFile>(path);
        QVERIFY(first->append("first", 5));
        privatefiles::PendingFile second(path);
        QVERIFY(second.append("second", 6));
        QVERIFY(!first->commit());
        QCOMPARE(readFile(path), "old");
        first.reset();
        QVERIFY(second.commit());
        QCOMPARE(readFile(path), "second");
        QCOMPARE(second.bytes(), "second"); // still mapped after the rename
    }

    // A bundle that trickles in below the minimum average rate, or a server that says nothing,
    // ends with our reason; a slow bundle above the rate still arrives. Short limits here, the
    // real ones are 16 KiB/s after 30 s and 30 s of silence.
    void slowBundlesEnd_data()
    {
        QTest::addColumn<bool>("direct"); // else through the dashboard function
        QTest::addColumn<Response>("reply");
        QTest::addColumn<QString>("reason"); // empty: the bundle loads
        const auto dribbled = [&](int chunk, int delayMs) {
            Response r = ok(bundleA);
            r.dribbleChunk = chunk;
            r.dribbleDelayMs = delayMs;
            return r;
        };
        const QString tooSlow =
            "The server was too slow: less than 100 bytes per second on average.";
        for (bool direct : {false, true}) {
            const char *via = direct ? "direct" : "function";
            QTest::addRow("%s, 20 B/s", via) << direct << dribbled(1, 50) << tooSlow;
            QTest::addRow("%s, 200 B/s", via) << direct << dribbled(4, 20) << QString();
            QTest::addRow("%s, silent", via)
                << direct << Response::held() << "The server did not answer in time.";
        }
    }
    void slowBundlesEnd()
    {
        QFETCH(bool, direct);
        QFETCH(Response, reply);
        QFETCH(QString, reason);
        vm->bundleDeadlines = {300, 0, 100, 1000};
        server.setHandler([reply](const Request &) { return reply; });
        const QString url = base + "/slow.rcc";
        QVERIFY(direct ? vm->downloadAndRegisterExternalResource(url)
                       : vm->resolveAndDownloadExternalResourceForCurrentUser());
        QString message = kLoaded;
        if (!reason.isEmpty() && direct)
            message = "Failed to download RCC from " + url + ": " + reason;
        else if (!reason.isEmpty())
            message = QString("Dashboard RCC request failed%1: ").arg(reply.hold ? "" : " (200)") +
                      reason;
        QCOMPARE(outcome(), qMakePair(reason.isEmpty(), message));
        QCOMPARE(finished->count(), 1);
        QCOMPARE(QFile::exists(kOnlyA), reason.isEmpty());
        QVERIFY(QDir(tempPath()).isEmpty()); // part of a bundle is no bundle to keep
    }

    // A bundle asked for over TLS (the scheme in any case) never continues in the clear; HTTP/2
    // is offered, never used.
    void httpsStaysHttpsAndHttp1()
    {
        QSslServer *tls = trustedTlsServer();
        QVERIFY(tls);
        const QObject handling; // ends the handling with the test
        const QString https = QStringLiteral("https://127.0.0.1:%1").arg(tls->serverPort());
        const QString plain = base + "/plain.rcc";
        QStringList protocols;
        connect(tls, &QTcpServer::pendingConnectionAvailable, &handling, [&] {
            auto *socket = static_cast<QSslSocket *>(tls->nextPendingConnection());
            connect(&handling, &QObject::destroyed, socket, &QObject::deleteLater);
            protocols << socket->sslConfiguration().nextNegotiatedProtocol();
            connect(socket, &QSslSocket::readyRead, &handling, [&, socket] {
                socket->write("HTTP/1.1 302 Found\r\nLocation: " + plain.toUtf8() +
                              "\r\nContent-Length: 0\r\n\r\n");
                socket->disconnectFromHost();
            });
        });

        QVERIFY(vm->downloadAndRegisterExternalResource("HTTPS" + https.mid(5) + "/b.rcc"));
        QCOMPARE(outcome(1), qMakePair(false, "Refused insecure RCC redirect to: " + plain));
        qputenv("CORVALEN_RCC_DASHBOARD_FUNCTION_URL", https.toUtf8());
        QCOMPARE(resolve(2),
                 qMakePair(false, QStringLiteral("Dashboard RCC request failed (302): Insecure "
                                                 "redirect")));
        QCOMPARE(protocols.size(), 2);
        QVERIFY(!protocols.contains("h2"));
    }

    void functionConnectionOpensDuringSignIn_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::newRow("http") << false;
        QTest::newRow("https") << true;
    }
    // While the password is checked, the dashboard function's TLS connection is opened, for
    // HTTP/1.1, and the request after the sign-in goes over it. Over plain HTTP no connection
    // is opened early: it would be one more, left unused.
    void functionConnectionOpensDuringSignIn()
    {
        QFETCH(bool, tls);
        QTcpServer plain;
        QSslServer *tlsServer = tls ? trustedTlsServer() : nullptr;
        QVERIFY(tls ? tlsServer != nullptr : plain.listen(QHostAddress::LocalHost));
        QTcpServer &function = tls ? *tlsServer : plain;
        const QObject handling;
        QList<QTcpSocket *> connections;
        QList<QByteArray> protocols;
        QList<int> requestsOn; // the connection each request came on
        connect(&function, &QTcpServer::pendingConnectionAvailable, &handling, [&] {
            QTcpSocket *socket = function.nextPendingConnection();
            connect(&handling, &QObject::destroyed, socket, &QObject::deleteLater);
            if (tls)
                protocols << static_cast<QSslSocket *>(socket)
                                 ->sslConfiguration()
                                 .nextNegotiatedProtocol();
            connections << socket;
            connect(socket, &QTcpSocket::readyRead, &handling, [&, socket] {
                if (!socket->peek(4096).contains("\r\n\r\n"))
                    return;
                socket->readAll();
                requestsOn << int(connections.indexOf(socket));
                socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                              "Content-Length: " +
                              QByteArray::number(bundleA.size()) + "\r\n\r\n" + bundleA);
            });
        });
        qputenv("CORVALEN_RCC_DASHBOARD_FUNCTION_URL", QStringLiteral("%1://127.0.0.1:%2/fn")
                                                           .arg(tls ? "https" : "http")
                                                           .arg(function.serverPort())
                                                           .toUtf8());
        server.setHandler([](const Request &) { return Response::held(); });
        QSignalSpy answered(vm.get(), &ViewModel::authResponseChanged);

        vm->logUserIn(QStringLiteral("user-1@example.test"), QStringLiteral("secret"));
        QTRY_COMPARE_WITH_TIMEOUT(server.requestCount(), 1, kWait); // the sign-in, unanswered
        if (tls)
            QTRY_COMPARE_WITH_TIMEOUT(connections.size(), 1, kWait);
        server.answerHeld(Response::json(
            200, R"({"session":{"accessToken":"tok-9","refreshToken":"r","accessTokenExpiresIn":)"
                 R"(900,"user":{"id":"user-1","email":"user-1@example.test"}}})"));
        QVERIFY(answered.wait(kWait));
        QCOMPARE(answered.at(0).at(0).toString(), "USER_AUTENTICATED");
        QCOMPARE(resolve(1), qMakePair(true, kLoaded));
        QCOMPARE(connections.size(), 1);
        QCOMPARE(requestsOn, QList<int>{0});
        QVERIFY(!protocols.contains("h2"));
    }

    // The cache needs no token and no request; an announced update goes past it and is
    // acknowledged; a 401 gets one token refresh, a second one in a row signs the user out.
    void functionSession()
    {
        server.setHandler([replies = QList{status(401), ok(bundleB), status(401), status(401)}](
                              const Request &r) mutable {
            if (r.path() == "/v1/token")
                return Response::json(200, R"({"accessToken":"tok-2","refreshToken":"refresh-2",)"
                                           R"("accessTokenExpiresIn":3600})");
            return r.path() == "/clear" ? status(200) : replies.takeFirst();
        });
        vm->auth().Settings().remove("token");
        QCOMPARE(resolve(1).second, "Missing access token. Please sign in again and retry.");
        QVERIFY(QDir().mkpath(cacheFile()) && writeFile(cacheFile("user-1"), bundleA));
        QCOMPARE(resolve(2), qMakePair(true, kFromCache));
        QCOMPARE(server.requestCount(), 0);

        vm->auth().Settings().setValue("token", EncodeStoredValue("tok-1"));
        emit vm->auth().RccUpdateAvailable();
        QCOMPARE(outcome(3), qMakePair(true, kLoaded));
        QVERIFY(!QFile::exists(kOnlyA) && QFile::exists(kOnlyB));
        const auto requests = server.requests(); // the function, the token, the function again
        QCOMPARE(requests.at(0).header("Authorization"), "Bearer tok-1");
        QCOMPARE(requests.at(2).header("Authorization"), "Bearer tok-2");
        QTRY_COMPARE_WITH_TIMEOUT(server.requestCount(), 4, kWait); // and the acknowledgement
        QCOMPARE(resolve(4), qMakePair(true, kFromCache));

        QVERIFY(QDir(cacheFile()).removeRecursively());
        QCOMPARE(resolve(5),
                 qMakePair(false, QStringLiteral("Session expired. Please sign in again.")));
        const QString fn = "/fn/get_dashboard_rcc?user_id=user-1";
        QCOMPARE(targets(), QStringList({fn, "/v1/token", fn, "/clear", fn, "/v1/token", fn}));
        QVERIFY(vm->currentUserId().isEmpty()); // signed out
    }

    // A run that ends between registering a bundle and finishing its dashboard (here: a later
    // view model finds an earlier one's load unfinished) only counts against that bundle, and
    // sends the next resolution to the dashboard function before the cache; a finished load
    // clears the count, and a second such run in a row quarantines the bundle, from the cache
    // and from the network, until a different bundle has loaded.
    void interruptedLoadsQuarantineBundle()
    {
        QList<Response> replies{ok(bundleA), ok(bundleA), ok(bundleA),
                                ok(bundleA), ok(bundleB), ok(bundleA)};
        server.setHandler([&](const Request &) { return replies.takeFirst(); });
        QCOMPARE(resolve(1), qMakePair(true, kLoaded)); // and its dashboard never finishes
        const auto run = [this](ViewModel &model, QSignalSpy &outcomes) {
            model.auth().Settings().setValue("token", EncodeStoredValue("tok-1"));
            model.isUserLoggedIn();
            return [&model, &outcomes](int n) {
                model.resolveAndDownloadExternalResourceForCurrentUser();
                return QTest::qWaitFor([&] { return outcomes.count() >= n; }, kWait)
                           ? outcomes.at(n - 1).at(1).toString()
                           : QStringLiteral("<no outcome>");
            };
        };
        const QString record = cacheFile("user-1").chopped(4) + ".quarantined";

        ViewModel second; // one unfinished load before: the function's answer, the same bundle
        QSignalSpy secondOutcomes(&second, &ViewModel::externalResourceLoadFinished);
        const auto secondLoad = run(second, secondOutcomes);
        QCOMPARE(secondLoad(1), kLoaded);
        QVERIFY(logged("Asking the dashboard function first"));
        QVERIFY(logged("Dashboard RCC did not finish loading in an earlier run"));
        QVERIFY(QFile::exists(record));
        second.dashboardCreationFinished(true); // and this time it finishes: the count is gone
        QVERIFY(!QFile::exists(record));
        QCOMPARE(secondLoad(2), kFromCache); // then is cut short once more

        ViewModel third; // counts one unfinished load again, not two
        QSignalSpy thirdOutcomes(&third, &ViewModel::externalResourceLoadFinished);
        const auto thirdLoad = run(third, thirdOutcomes);
        QCOMPARE(thirdLoad(1), kLoaded); // and is cut short too

        ViewModel next; // two in a row: refused, from the cache and from the network
        QSignalSpy outcomes(&next, &ViewModel::externalResourceLoadFinished);
        const auto load = run(next, outcomes);
        QVERIFY(!logged("Quarantined dashboard RCC that did not finish loading in an earlier run"));
        QCOMPARE(load(1), kQuarantined);
        QVERIFY(logged("Quarantined dashboard RCC that did not finish loading in an earlier run"));
        QVERIFY(!QFile::exists(cacheFile("user-1")));
        QCOMPARE(server.requestCount(), 4); // the cached copy was not taken

        QCOMPARE(load(2), kLoaded); // a different bundle loads and lifts the quarantine
        next.dashboardCreationFinished(true);
        QVERIFY(!QFile::exists(record));
        QCOMPARE(readFile(cacheFile("user-1")), bundleB);
        QVERIFY(QDir().remove(cacheFile("user-1")));
        QCOMPARE(load(3), kLoaded);
        QCOMPARE(readFile(cacheFile("user-1")), bundleA);
        next.dashboardCreationFinished(false); // a dashboard that failed to build took nothing down
        for (ViewModel *model : {&second, &third, &next})
            model->unregisterCurrentResource();

        ViewModel last;
        QSignalSpy lastOutcomes(&last, &ViewModel::externalResourceLoadFinished);
        last.isUserLoggedIn();
        QVERIFY(last.resolveAndDownloadExternalResourceForCurrentUser());
        QCOMPARE(lastOutcomes.first().at(1).toString(), kFromCache);
        last.unregisterCurrentResource();
    }

    // Records of earlier releases name only the bundle, after one unfinished load: they count as
    // that one, so the bundle loads again, and is refused only if that load does not finish.
    void earlierQuarantineRecordCountsOnce()
    {
        QVERIFY(QDir().mkpath(cacheFile()) && writeFile(cacheFile("user-1"), bundleA));
        const QString stem = cacheFile("user-1").chopped(4);
        QVERIFY(writeFile(stem + ".quarantined",
                          QCryptographicHash::hash(bundleA, QCryptographicHash::Sha256).toHex() +
                              '\n'));
        server.enqueue(ok(bundleA));                    // asked first, as for any unfinished load
        QCOMPARE(resolve(1), qMakePair(true, kLoaded)); // and its dashboard never finishes
        vm->unregisterCurrentResource();

        ViewModel next;
        QSignalSpy outcomes(&next, &ViewModel::externalResourceLoadFinished);
        server.enqueue(ok(bundleA));
        next.isUserLoggedIn();
        next.resolveAndDownloadExternalResourceForCurrentUser();
        QVERIFY(QTest::qWaitFor([&] { return outcomes.count() >= 1; }, kWait));
        QCOMPARE(outcomes.first().at(1).toString(), kQuarantined);
    }

    void cacheHitsNameBundleByRememberedDigest_data()
    {
        QTest::addColumn<QByteArray>("planted"); // the remembered digest; empty: as delivered
        QTest::addColumn<QByteArray>("afterStamp");
        QTest::addColumn<Change>("change");
        QTest::addColumn<Named>("named");
        const QByteArray forged = QByteArray("0123456789abcdef").repeated(4);
        QTest::newRow("as delivered")
            << QByteArray() << QByteArray() << Change::None << Named::AsBundleA;
        QTest::newRow("planted") << forged << QByteArray() << Change::None << Named::ByPlanted;
        QTest::newRow("file rewritten since")
            << forged << QByteArray() << Change::Rewritten << Named::AsBundleB;
        QTest::newRow("file's time set back")
            << forged << QByteArray() << Change::Touched << Named::AsBundleA;
        QTest::newRow("upper case")
            << forged.toUpper() << QByteArray() << Change::None << Named::AsBundleA;
        QTest::newRow("short") << forged.chopped(1) << QByteArray() << Change::None
                               << Named::AsBundleA;
        QTest::newRow("not hex") << QByteArray(64, 'g') << QByteArray() << Change::None
                                 << Named::AsBundleA;
        QTest::newRow("trailing byte")
            << forged << QByteArray(" ") << Change::None << Named::AsBundleA;
    }
    // A load from the cache names its bundle to the quarantine (in the load mark) by the digest
    // remembered on the file when it was delivered, instead of hashing it again; a file changed
    // since, or a memo that is not one, is hashed.
    void cacheHitsNameBundleByRememberedDigest()
    {
        QFETCH(QByteArray, planted);
        QFETCH(QByteArray, afterStamp);
        QFETCH(Change, change);
        QFETCH(Named, named);
        const auto sha256 = [](const QByteArray &bytes) {
            return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
        };
        const QByteArray file = QFile::encodeName(cacheFile("user-1"));
        const char *attribute = "user.corvalen.sha256";
        server.enqueue(ok(bundleA));
        QCOMPARE(resolve(1), qMakePair(true, kLoaded));
        vm->dashboardCreationFinished(true);
        vm->unregisterCurrentResource();

        char delivered[128];
        const ssize_t length = getxattr(file.constData(), attribute, delivered, sizeof delivered);
        if (length < 0 && errno == ENOTSUP)
            QSKIP("The temporary folder's file system keeps no extended attributes.");
        QVERIFY(length > 64);
        QCOMPARE(QByteArray(delivered, 64), sha256(bundleA));
        if (!planted.isEmpty()) {
            struct stat info = {};
            QCOMPARE(stat(file.constData(), &info), 0);
            const QByteArray value = planted + ' ' + QByteArray::number(qint64(info.st_size)) +
                                     ' ' + QByteArray::number(qint64(info.st_mtim.tv_sec)) + '.' +
                                     QByteArray::number(qint64(info.st_mtim.tv_nsec)) + afterStamp;
            QCOMPARE(
                setxattr(file.constData(), attribute, value.constData(), size_t(value.size()), 0),
                0);
        }
        if (change == Change::Rewritten) {
            QFile inPlace(cacheFile("user-1"));
            QVERIFY(inPlace.open(QIODevice::WriteOnly) && inPlace.write(bundleB) == bundleB.size());
        } else if (change == Change::Touched) {
            struct stat info = {};
            QCOMPARE(stat(file.constData(), &info), 0);
            const timespec times[2] = {info.st_atim, {info.st_mtim.tv_sec - 1, 0}};
            QCOMPARE(utimensat(AT_FDCWD, file.constData(), times, 0), 0);
        }

        QCOMPARE(resolve(2), qMakePair(true, kFromCache));
        const QByteArray mark = readFile(cacheFile("user-1").chopped(4) + ".loading").trimmed();
        vm->dashboardCreationFinished(true);
        QCOMPARE(mark, named == Named::ByPlanted   ? planted
                       : named == Named::AsBundleA ? sha256(bundleA)
                                                   : sha256(bundleB));
        QCOMPARE(server.requestCount(), 1);
    }

    void plantedLinksAreNotFollowed_data()
    {
        QTest::addColumn<QString>("suffix"); // after the cache file's stem
        const QString tmp = ".tmp-" + QString::number(QCoreApplication::applicationPid());
        for (const QString name : {".rcc", ".loading", ".quarantined"}) {
            QTest::newRow(qPrintable(name)) << name;
            QTest::newRow(qPrintable(name + tmp)) << name + tmp; // the file written before rename
        }
    }
    // A link planted where the client keeps a file, next to an unfinished load of an earlier run
    // (so that a quarantine record is written), is replaced or removed, never written through,
    // on the way to the network and back from the cache.
    void plantedLinksAreNotFollowed()
    {
        QFETCH(QString, suffix);
        const QString bait = sandbox.filePath("bashrc");
        QVERIFY(writeFile(bait, "bait\n"));
        const QString stem = cacheFile("user-1").chopped(4);
        QVERIFY(QDir().mkpath(cacheFile()));
        if (suffix != ".loading")
            QVERIFY(
                writeFile(stem + ".loading",
                          QCryptographicHash::hash(bundleB, QCryptographicHash::Sha256).toHex()));
        QVERIFY(QFile::link(bait, stem + suffix));

        server.enqueue(ok(bundleA));
        QCOMPARE(resolve(1), qMakePair(true, kLoaded));
        vm->dashboardCreationFinished(true);
        vm->unregisterCurrentResource();
        QCOMPARE(resolve(2), qMakePair(true, kFromCache));
        vm->dashboardCreationFinished(true);

        QCOMPARE(readFile(bait), "bait\n");
        QVERIFY(!QFileInfo(stem + suffix).isSymLink());
        QVERIFY(!QFileInfo(cacheFile("user-1")).isSymLink());
        QCOMPARE(readFile(cacheFile("user-1")), bundleA);
    }

    // Whatever the umask: folders the client makes are 0700, files 0600.
    void filesArePrivateUnderAnyUmask()
    {
        const mode_t saved = umask(0);
        const auto restore = qScopeGuard([saved] { umask(saved); });
        const auto mode = [](const QString &path) {
            struct stat info
            {
            };
            return lstat(QFile::encodeName(path).constData(), &info) == 0
                       ? QString::number(info.st_mode & 07777, 8)
                       : QStringLiteral("missing");
        };
        const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        QVERIFY(!QFile::exists(data));
        server.enqueue(ok(bundleA));
        QCOMPARE(resolve(1), qMakePair(true, kLoaded)); // and its dashboard never finishes
        const QString stem = cacheFile("user-1").chopped(4);
        for (const QString &folder : {data, cacheFile()})
            QCOMPARE(mode(folder), "700");
        QCOMPARE(mode(stem + ".rcc"), "600");
        QCOMPARE(mode(stem + ".loading"), "600");

        ViewModel next; // finds the load unfinished and records it
        QSignalSpy outcomes(&next, &ViewModel::externalResourceLoadFinished);
        next.isUserLoggedIn();
        server.enqueue(ok(bundleA));
        QVERIFY(next.resolveAndDownloadExternalResourceForCurrentUser());
        QCOMPARE(mode(stem + ".quarantined"), "600");
        QVERIFY(QTest::qWaitFor([&] { return outcomes.count() >= 1; }, kWait));
        next.dashboardCreationFinished(true);
        next.unregisterCurrentResource();

        // A folder made wider by an earlier run is narrowed; a payload kept for inspection is
        // private too.
        QVERIFY(QFile::setPermissions(cacheFile(), QFileDevice::Permissions(0x7777)));
        QVERIFY(QFile::remove(cacheFile("user-1")));
        server.enqueue(ok("not a bundle"));
        QVERIFY(next.resolveAndDownloadExternalResourceForCurrentUser());
        QVERIFY(QTest::qWaitFor([&] { return outcomes.count() >= 2; }, kWait));
        QCOMPARE(outcomes.at(1).at(1).toString(), kInvalid);
        QCOMPARE(mode(cacheFile()), "700");
        const QStringList dumps = QDir(tempPath()).entryList({"corvalen-dashboard-rcc-*"});
        QCOMPARE(dumps.size(), 1);
        QCOMPARE(mode(tempPath() + '/' + dumps.first()), "600");
    }

    void refusalsLeaveNothingInTemp_data()
    {
        QTest::addColumn<Response>("reply");
        QTest::addColumn<QByteArray>("quarantined"); // the quarantine record, if any
        QTest::addColumn<QString>("message");
        const QByteArray digestA = QCryptographicHash::hash(bundleA, QCryptographicHash::Sha256);
        QTest::newRow("junk") << ok(QByteArray(1 << 20, 'j')) << QByteArray() << kInvalid;
        QTest::newRow("damaged bundle")
            << ok(patched<qint32>(bundleA, 8, bundleA.size())) << QByteArray() << kInvalid;
        QTest::newRow("too large") << ok(QByteArray(3 << 20, 'x')) << QByteArray()
                                   << "Downloaded RCC file is too large: more than 2097152 bytes.";
        QTest::newRow("quarantined") << ok(bundleA) << digestA.toHex() + " 2\n" << kQuarantined;
        QTest::newRow("server error") << status(500, QByteArray(1 << 20, 'e')) << QByteArray()
                                      << "Dashboard RCC request failed (500): ";
    }
    // Three refusals in a row keep at most one rejected payload for inspection, and once the
    // user has signed out the temporary folder is as it was.
    void refusalsLeaveNothingInTemp()
    {
        QFETCH(Response, reply);
        QFETCH(QByteArray, quarantined);
        QFETCH(QString, message);
        vm->maxBundleBytes = 2 << 20;
        if (!quarantined.isEmpty()) {
            QVERIFY(QDir().mkpath(cacheFile()));
            QVERIFY(writeFile(cacheFile("user-1").chopped(4) + ".quarantined", quarantined));
        }
        const auto size = [this] {
            qint64 total = 0;
            QDirIterator it(tempPath(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
            while (it.hasNext())
                total += QFileInfo(it.next()).size();
            return total;
        };
        const qint64 before = size();
        for (int n = 1; n <= 3; ++n) {
            server.enqueue(reply);
            const auto [success, text] = resolve(n);
            QVERIFY(!success);
            QVERIFY2(text.startsWith(message), qPrintable(text));
            QVERIFY(size() - before <= reply.body.size());
        }
        vm->logUserOut();
        QTRY_COMPARE_WITH_TIMEOUT(size(), before, kWait);
    }

    // Not through the cache file, the registration or the QML engine's component cache.
    void nextUserSeesOwnDashboard()
    {
        QQmlEngine engine;
        vm->setQmlEngine(&engine);
        const auto detach = qScopeGuard([this] { vm->setQmlEngine(nullptr); });
        const auto shown = [&engine] {
            QQmlComponent component(&engine, QUrl(QStringLiteral("qrc:/external/dashboard.qml")));
            std::unique_ptr<QObject> dashboard(component.create());
            return dashboard ? dashboard->property("marker").toString() : component.errorString();
        };
        server.enqueue(ok(bundleA));
        QCOMPARE(resolve(1), qMakePair(true, kLoaded));
        QCOMPARE(shown(), "bundle A");

        // A download replaced by a newer one, and that one cut off by sign-out: not a word.
        Response slow = ok(bundleA);
        slow.dribbleChunk = 1;
        server.enqueue(slow);
        server.enqueue(slow);
        QVERIFY(vm->downloadAndRegisterExternalResource(base + "/slow"));
        QTRY_COMPARE_WITH_TIMEOUT(server.requestCount(), 2, kWait);
        QVERIFY(vm->downloadAndRegisterExternalResource(base + "/newer"));
        QTRY_COMPARE_WITH_TIMEOUT(server.requestCount(), 3, kWait);
        bool removedTooEarly = true;
        connect(vm.get(), &ViewModel::signOutUser, this, [&] {
            removedTooEarly = !QFile::exists(kOnlyA) || !QFile::exists(cacheFile("user-1"));
        });
        vm->logUserOut();
        QVERIFY(!removedTooEarly);
        QTRY_VERIFY(!QFile::exists(kOnlyA) && !QFile::exists(cacheFile("user-1")));
        QCOMPARE(resolve(2).second,
                 "Missing authenticated user id. Please sign in again and retry.");

        signIn(QStringLiteral("user-2"));
        server.enqueue(ok(bundleB));
        QCOMPARE(resolve(3), qMakePair(true, kLoaded));
        QCOMPARE(shown(), "bundle B");
        QCOMPARE(server.lastRequest().target, "/fn/get_dashboard_rcc?user_id=user-2");
    }

    // A reply replaced by a newer request reports nothing.
    void replacedRequestIsSilent()
    {
        Response slow = ok(bundleA);
        slow.dribbleChunk = 1;
        server.enqueue(slow);
        server.enqueue(ok(bundleB));
        QVERIFY(vm->resolveAndDownloadExternalResourceForCurrentUser());
        QTRY_COMPARE_WITH_TIMEOUT(server.requestCount(), 1, kWait);
        QCOMPARE(resolve(1), qMakePair(true, kLoaded));
        QVERIFY(QFile::exists(kOnlyB));
    }
};

QTEST_MAIN(TstBundleDelivery)
#include "tst_bundle_delivery.moc"
