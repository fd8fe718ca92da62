#pragma once

#include <QByteArray>
#include <QString>

// Keeps a bundle that takes the program down while its dashboard is created from doing so at
// every start. Beside the user's cached bundle a mark names the bundle (its SHA-256) whose load
// is under way; a mark that another run left behind means that load never finished. One such
// load may be bad luck (a kill, a power cut, memory running out), so it is only counted, in a
// record beside the mark; a bundle is quarantined once two loads of it in a row did not finish,
// and is not loaded again until a different one has loaded. A load that finishes clears its count.
class BundleQuarantine
{
public:
    BundleQuarantine() = default;
    BundleQuarantine(const BundleQuarantine &) = delete;
    BundleQuarantine &operator=(const BundleQuarantine &) = delete;
    ~BundleQuarantine(); // an orderly exit ends the load it was in

    // Loads of one bundle in a row that did not finish before it is refused.
    static constexpr int kInterruptedLoadsToQuarantine = 2;

    static QByteArray digest(const QByteArray &bundle);
    static QByteArray fileDigest(const QString &path); // empty when the file cannot be read

    // Before anything of this user's is loaded: counts a mark of another run as a load that did
    // not finish, and quarantines its bundle when that makes two in a row.
    void recoverInterruptedLoad(const QString &cacheFile);
    bool isQuarantined(const QString &cacheFile, const QByteArray &digest) const;
    // Whether the last load of this bundle did not finish (but not yet often enough to refuse it).
    bool lastLoadUnfinished(const QString &cacheFile, const QByteArray &digest) const;
    void beginLoad(const QString &cacheFile, const QByteArray &digest);
    // The load under way is over without having taken the program down: its count is cleared.
    void endLoad();
    // The load under way did not finish (its dashboard was stopped): its mark stays, as if this
    // run had ended in it.
    void abandonLoad() { ownMark.clear(); }
    // A bundle other than the quarantined one has loaded.
    void lift(const QString &cacheFile, const QByteArray &digest);

    class Attempt;

private:
    QString ownMark;      // written by this run, not yet ended
    QString ownCacheFile; // the cache file and bundle of that load
    QByteArray ownDigest;
};

// One load of a bundle under the quarantine's watch, from before it is registered: a load that
// fails ends here, one that succeeds stays under way until its dashboard has been created.
class BundleQuarantine::Attempt
{
public:
    // Without a cache file there is nothing to mark.
    Attempt(BundleQuarantine &owner, const QString &file, const QByteArray &digestHex)
        : quarantine(owner), cacheFile(file), bundleDigest(digestHex)
    {
        if (!cacheFile.isEmpty())
            quarantine.beginLoad(cacheFile, bundleDigest);
    }
    ~Attempt()
    {
        if (!succeeded)
            quarantine.endLoad();
    }
    Attempt(const Attempt &) = delete;
    Attempt &operator=(const Attempt &) = delete;

    // The bundle is registered: a quarantine of another one is lifted.
    void succeed()
    {
        succeeded = true;
        if (!cacheFile.isEmpty())
            quarantine.lift(cacheFile, bundleDigest);
    }

private:
    BundleQuarantine &quarantine;
    const QString cacheFile;
    const QByteArray bundleDigest;
    bool succeeded = false;
};
