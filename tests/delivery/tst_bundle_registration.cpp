#include <QDirIterator>
#include <QRandomGenerator>
#include <QResource>
#include <QSaveFile>
#include <QtEndian>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

#include "delivery_fixture.h"
#include "viewmodel/rcc_validation.h"

using namespace delivery;

namespace {

const QString kDashboard = QStringLiteral(":/external/dashboard.qml");
const QString kOnlyA = QStringLiteral(":/external/only_a.txt");
const QString kOnlyB = QStringLiteral(":/external/only_b.txt");

QByteArray withI32(QByteArray bytes, qint64 offset, qint32 value)
{
    qToBigEndian(value, bytes.data() + offset);
    return bytes;
}

QByteArray withU16(QByteArray bytes, qint64 offset, quint16 value)
{
    qToBigEndian(value, bytes.data() + offset);
    return bytes;
}

qint64 treeOffset(const QByteArray &bytes)
{
    return qFromBigEndian<qint32>(bytes.constData() + 8);
}

// Reads every file the resource system offers, the way a QML engine would reach them.
void walkResources()
{
    QDirIterator it(QStringLiteral(":/"), QDir::AllEntries | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (file.open(QIODevice::ReadOnly))
            file.readAll();
    }
}

QStringList filesUnder(const QString &root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(root).relativeFilePath(it.next());
    return files;
}

} // namespace

class TstBundleRegistration : public QObject
{
    Q_OBJECT

    Sandbox sandbox;
    std::unique_ptr<ViewModel> vm;

private slots:
    void initTestCase() { LogCapture::install(); }
    void cleanupTestCase() { LogCapture::uninstall(); }
    void init()
    {
        sandbox.reset();
        LogCapture::clear();
        vm = std::make_unique<ViewModel>();
    }
    void cleanup()
    {
        vm->unregisterCurrentResource();
        vm.reset();
    }

    void realBundlesRegister_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("probe");
        QTest::newRow("format 3") << "bundle_a" << kOnlyA;
        QTest::newRow("format 2") << "bundle_a_v2" << kOnlyA;
        QTest::newRow("format 1") << "bundle_a_v1" << kOnlyA;
        QTest::newRow("zlib") << "bundle_c_zlib" << QStringLiteral(":/external/filler.txt");
        QTest::newRow("zstd") << "bundle_c_zstd" << QStringLiteral(":/external/filler.txt");
    }
    void realBundlesRegister()
    {
        QFETCH(QString, name);
        QFETCH(QString, probe);
        const QByteArray bytes = bundle(name.toLatin1().constData());
        QVERIFY(!bytes.isEmpty());
        QString reason;
        QVERIFY2(isStructurallyValidRcc(bytes, &reason), qPrintable(reason));
        // From memory (no user id, so no cache file) and from a file.
        QVERIFY(vm->cacheAndRegisterPayload(bytes, QString(), QStringLiteral("test")));
        QVERIFY(resourceText(probe).contains(QLatin1String("bundle A")) ||
                resourceText(probe).contains(QLatin1String("Repeated line 40 ")));
        QVERIFY(vm->registerExternalResource(bundlePath(name.toLatin1().constData())));
        QVERIFY(!resourceText(probe).isNull());
    }

    void damagedBundlesAreRejected_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray a = bundle("bundle_a");
        const qint64 tree = treeOffset(a);
        const qint64 node2 = tree + 2 * 22;
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("header only") << a.left(24);
        QTest::newRow("wrong magic") << QByteArray(a).replace(0, 4, "qrez");
        QTest::newRow("version 4") << withI32(a, 4, 4);
        QTest::newRow("tree past end") << withI32(a, 8, a.size());
        QTest::newRow("unknown format flag") << withI32(a, 20, 0x80);
        QTest::newRow("root is a file") << withU16(a, tree + 4, 0);
        QTest::newRow("children past tree") << withI32(a, tree + 6, 1000);
        QTest::newRow("directory is its own child") << withI32(a, tree + 22 + 10, 1);
        QTest::newRow("unknown node flag") << withU16(a, node2 + 4, 0x10);
        QTest::newRow("compressed directory") << withU16(a, tree + 22 + 4, 0x03);
        QTest::newRow("name past end") << withI32(a, node2, 0x7fffff00);
        const qint64 dirName = qFromBigEndian<qint32>(a.constData() + 16) +
                               qFromBigEndian<qint32>(a.constData() + tree + 22);
        QTest::newRow("directory named .") << withU16(withU16(a, dirName, 1), dirName + 6, '.');
        QTest::newRow("data entry past end") << withI32(a, node2 + 10, 0x7fffff00);
        QTest::newRow("data size past end")
            << withI32(a, qint64(qFromBigEndian<qint32>(a.constData() + 12)), 0x7fffffff);
    }
    void damagedBundlesAreRejected()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(!isStructurallyValidRcc(bytes));
        QVERIFY(vm->cacheAndRegisterPayload(bundle("bundle_b"), QString(), QStringLiteral("b")));
        QVERIFY(!vm->cacheAndRegisterPayload(bytes, QString(), QStringLiteral("damaged")));
        // The previous bundle is gone and nothing took its place.
        QVERIFY(resourceText(kDashboard).isNull());
        QVERIFY(LogCapture::contains(
            QStringLiteral("Failed to register dashboard RCC payload from \"damaged\"")));

        // The same bytes as a file are refused too, before the resource system sees them.
        const QString path = sandbox.tempPath() + QStringLiteral("/damaged.rcc");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        file.close();
        QVERIFY(!vm->registerExternalResource(QUrl::fromLocalFile(path).toString()));
        QVERIFY(resourceText(kDashboard).isNull());
    }

    // Whatever the validator lets through must be safe to register and read.
    void damagedPayloadsNeverCrash()
    {
        const QByteArray a = bundle("bundle_a");
        QList<QByteArray> candidates;
        for (qsizetype length = 0; length < a.size(); ++length)
            candidates << a.left(length);
        for (qsizetype at = 0; at < a.size(); ++at) {
            for (const char mask : {char(0xff), char(0x01), char(0x80)}) {
                QByteArray flipped = a;
                flipped[at] = char(flipped.at(at) ^ mask);
                candidates << flipped;
            }
        }
        QRandomGenerator random(20240607);
        for (int i = 0; i < 300; ++i) {
            QByteArray noise(random.bounded(24, 400), Qt::Uninitialized);
            for (char &c : noise)
                c = char(random.bounded(256));
            noise.replace(0, 8, QByteArray("qres\0\0\0\3", 8));
            // Small offsets so that many of them land inside the buffer.
            for (int field = 8; field < 20; field += 4)
                qToBigEndian(qint32(random.bounded(int(noise.size()))), noise.data() + field);
            noise.replace(20, 4, QByteArray(4, '\0'));
            candidates << noise;
        }

        int accepted = 0;
        for (const QByteArray &candidate : std::as_const(candidates)) {
            if (candidate.size() < a.size() && a.startsWith(candidate))
                QVERIFY(!isStructurallyValidRcc(candidate));
            if (vm->cacheAndRegisterPayload(candidate, QString(), QStringLiteral("fuzz"))) {
                ++accepted;
                walkResources();
            }
            vm->unregisterCurrentResource();
        }
        qInfo() << "damaged payloads accepted:" << accepted << "of" << candidates.size();
    }

    void userIdsNamingCacheFiles_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("cacheFile"); // empty: no cache file may be written
        QTest::newRow("letters digits - _ .") << "User-1_a.b"
                                              << "User-1_a.b.rcc";
        QTest::newRow("trimmed") << "  user-2 "
                                 << "user-2.rcc";
        QTest::newRow("slash") << "a/b" << QString();
        QTest::newRow("parent") << ".." << QString();
        QTest::newRow("dot") << "." << QString();
        QTest::newRow("traversal") << "../escape" << QString();
        QTest::newRow("backslash") << "a\\b" << QString();
        QTest::newRow("inner space") << "a b" << QString();
        QTest::newRow("non-ascii") << QStringLiteral("us\u00e9r") << QString();
        QTest::newRow("blank") << "   " << QString();
        QTest::newRow("empty") << "" << QString();
    }
    void userIdsNamingCacheFiles()
    {
        QFETCH(QString, id);
        QFETCH(QString, cacheFile);
        const QString dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        // A file a traversing id would reach; it must survive a delete for that id.
        QVERIFY(QDir().mkpath(dataDir));
        QFile bait(dataDir + QStringLiteral("/escape.rcc"));
        QVERIFY(bait.open(QIODevice::WriteOnly));
        bait.close();

        QVERIFY(vm->cacheAndRegisterPayload(bundle("bundle_a"), id, QStringLiteral("test")));
        QVERIFY(!resourceText(kOnlyA).isNull());
        QStringList expected{QStringLiteral("escape.rcc")};
        if (!cacheFile.isEmpty())
            expected << QStringLiteral("dashboard_rcc_cache/") + cacheFile;
        QStringList actual = filesUnder(dataDir);
        actual.sort();
        expected.sort();
        QCOMPARE(actual, expected);
        QCOMPARE(LogCapture::contains(QStringLiteral("user id unfit as a file name")),
                 cacheFile.isEmpty() && !id.trimmed().isEmpty());

        vm->deleteCachedDashboard(id);
        QVERIFY(QFile::exists(bait.fileName()));
        QCOMPARE(filesUnder(dataDir), QStringList{QStringLiteral("escape.rcc")});
    }

    void newBundleReplacesPrevious()
    {
        QVERIFY(vm->cacheAndRegisterPayload(bundle("bundle_a"), QStringLiteral("u1"),
                                            QStringLiteral("a")));
        QVERIFY(!resourceText(kOnlyA).isNull());
        QVERIFY(vm->cacheAndRegisterPayload(bundle("bundle_b"), QStringLiteral("u1"),
                                            QStringLiteral("b")));
        QVERIFY(resourceText(kOnlyA).isNull());
        QVERIFY(resourceText(kDashboard).contains(QLatin1String("bundle B")));
        QFile cached(cacheDir() + QStringLiteral("/u1.rcc"));
        QVERIFY(cached.open(QIODevice::ReadOnly));
        QCOMPARE(cached.readAll(), bundle("bundle_b"));
        QVERIFY(LogCapture::contains(
            QStringLiteral("Cached and registered dashboard RCC from \"b\" at")));

        // Local files by URL and by plain path; a directory is no bundle.
        QVERIFY(
            vm->registerExternalResource(QUrl::fromLocalFile(bundlePath("bundle_a")).toString()));
        QVERIFY(resourceText(kOnlyB).isNull());
        QVERIFY(!resourceText(kOnlyA).isNull());
        QVERIFY(vm->registerExternalResource(bundlePath("bundle_b")));
        QVERIFY(resourceText(kOnlyA).isNull());
        QVERIFY(!vm->registerExternalResource(QStringLiteral(DELIVERY_BUNDLE_DIR)));
        QVERIFY(LogCapture::contains(QStringLiteral("External RCC file does not exist:")));
        vm->unregisterCurrentResource();
        QVERIFY(resourceText(kDashboard).isNull());
    }

    void failedCacheWriteKeepsEarlierFile()
    {
        const QByteArray a = bundle("bundle_a");
        QVERIFY(vm->cacheAndRegisterPayload(a, QStringLiteral("u1"), QStringLiteral("a")));

        // A file size limit makes the write of the larger bundle fail even for root.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit limited = saved;
        limited.rlim_cur = 64;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
        const bool registered = vm->cacheAndRegisterPayload(
            bundle("bundle_b"), QStringLiteral("u1"), QStringLiteral("b"));
        setrlimit(RLIMIT_FSIZE, &saved);

        QVERIFY(registered); // from memory
        QVERIFY(resourceText(kDashboard).contains(QLatin1String("bundle B")));
        QVERIFY(
            LogCapture::contains(QStringLiteral("Failed to write full dashboard RCC cache file:")));
        QVERIFY(LogCapture::contains(
            QStringLiteral("Registered external RCC from in-memory payload: \"b\"")));
        QCOMPARE(QDir(cacheDir()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("u1.rcc")});
        QFile cached(cacheDir() + QStringLiteral("/u1.rcc"));
        QVERIFY(cached.open(QIODevice::ReadOnly));
        QCOMPARE(cached.readAll(), a);
    }

    void unusableCacheDirectoryFallsBackToMemory()
    {
        QVERIFY(QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)));
        QFile blocker(cacheDir()); // a file where the directory should be
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();

        QVERIFY(vm->cacheAndRegisterPayload(bundle("bundle_a"), QStringLiteral("u1"),
                                            QStringLiteral("a")));
        QVERIFY(!resourceText(kOnlyA).isNull());
        QVERIFY(LogCapture::contains(
            QStringLiteral("Failed to create dashboard RCC cache directory in:")));
        QVERIFY(!vm->loadCachedDashboard(QStringLiteral("u1")));
    }

    void rejectedPayloadStaysInCacheOnly_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::newRow("html") << QByteArray("<!DOCTYPE html><html><body>Sign in</body></html>");
        QTest::newRow("json") << QByteArray("{\"error\":\"no bundle\"}");
        QTest::newRow("truncated") << bundle("bundle_a").left(100);
        QTest::newRow("random") << QByteArray::fromHex("9f3c0be1d2a4477700ff13");
    }
    void rejectedPayloadStaysInCacheOnly()
    {
        QFETCH(QByteArray, payload);
        QSignalSpy finished(vm.get(), &ViewModel::externalResourceLoadFinished);
        QVERIFY(vm->cacheAndRegisterPayload(bundle("bundle_a"), QStringLiteral("u1"),
                                            QStringLiteral("a")));
        QVERIFY(!vm->cacheAndRegisterPayload(payload, QStringLiteral("u1"), QStringLiteral("x")));
        QVERIFY(resourceText(kDashboard).isNull());
        QVERIFY(LogCapture::contains(
            QStringLiteral("Cached dashboard RCC but failed to register cached file:")));

        // The bytes were cached before they were found wanting; the next start skips them.
        QFile cached(cacheDir() + QStringLiteral("/u1.rcc"));
        QVERIFY(cached.open(QIODevice::ReadOnly));
        QCOMPARE(cached.readAll(), payload);
        QVERIFY(!vm->loadCachedDashboard(QStringLiteral("u1")));
        QVERIFY(LogCapture::contains(
            QStringLiteral("Dashboard RCC cache exists but failed to register:")));
        QCOMPARE(finished.count(), 0);
    }
};

QTEST_MAIN(TstBundleRegistration)
#include "tst_bundle_registration.moc"
