#pragma once

#include <QByteArray>
#include <QString>

// Keeps a bundle that takes the program down while its dashboard is created from doing so at
// every start. Beside the user's cached bundle a mark names the bundle (its SHA-256) whose load
// is under way; a mark that another run left behind means that load never finished, so that
// bundle is quarantined and not loaded again until a different one has loaded.
class BundleQuarantine
{
public:
    BundleQuarantine() = default;
    BundleQuarantine(const BundleQuarantine &) = delete;
    BundleQuarantine &operator=(const BundleQuarantine &) = delete;
    ~BundleQuarantine(); // an orderly exit ends the load it was in

    static QByteArray digest(const QByteArray &bundle);
    static QByteArray fileDigest(const QString &path); // empty when the file cannot be read

    // Before anything of this user's is loaded: turns a mark of another run into a quarantine.
    void recoverInterruptedLoad(const QString &cacheFile);
    bool isQuarantined(const QString &cacheFile, const QByteArray &digest) const;
    void beginLoad(const QString &cacheFile, const QByteArray &digest);
    void endLoad();
    // The load under way did not finish (its dashboard was stopped): its mark stays, as if this
    // run had ended in it.
    void abandonLoad() { ownMark.clear(); }
    // A bundle other than the quarantined one has loaded.
    void lift(const QString &cacheFile, const QByteArray &digest);

private:
    QString ownMark; // written by this run, not yet ended
};
