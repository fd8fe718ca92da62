#include "support/certificates.h"

#include <QFile>
#include <QProcess>

#include <memory>

namespace {
bool make(const QTemporaryDir &dir, const QString &name, const QString &extensions,
          const QStringList &issuer)
{
    QProcess openssl;
    openssl.setWorkingDirectory(dir.path());
    openssl.start("openssl",
                  QStringList{"req", "-x509", "-config", "openssl.cnf", "-extensions", extensions,
                              "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                              "-days", "2", "-subj", "/CN=" + name, "-keyout", name + ".key",
                              "-out", name + ".pem"} +
                      issuer);
    return openssl.waitForFinished(60000) && openssl.exitCode() == 0;
}

std::unique_ptr<QTemporaryDir> makeAll(const QStringList &extraNames)
{
    auto dir = std::make_unique<QTemporaryDir>();
    QFile config(dir->filePath("openssl.cnf"));
    if (!config.open(QIODevice::WriteOnly))
        return nullptr;
    config.write("[req]\ndistinguished_name = dn\n[dn]\n"
                 "[ca]\nbasicConstraints = critical, CA:TRUE\nkeyUsage = keyCertSign\n"
                 "[host]\nsubjectAltName = DNS:localhost, IP:127.0.0.1\n"
                 "[other]\nsubjectAltName = DNS:other.example\n");
    for (const QString &name : extraNames)
        config.write(QStringLiteral("[%1]\nsubjectAltName = DNS:%2\n")
                         .arg(name.section('.', 0, 0), name)
                         .toLatin1());
    config.close();
    const QStringList byCa{"-CA", "ca.pem", "-CAkey", "ca.key"};
    bool made = make(*dir, "ca", "ca", {}) && make(*dir, "other-ca", "ca", {}) &&
                make(*dir, "host", "host", byCa) && make(*dir, "other", "other", byCa);
    for (const QString &name : extraNames) {
        const QString label = name.section('.', 0, 0);
        made = made && make(*dir, label, label, byCa);
    }
    return made ? std::move(dir) : nullptr;
}
} // namespace

const QTemporaryDir *testCertificates(const QStringList &extraNames)
{
    static const std::unique_ptr<QTemporaryDir> dir = makeAll(extraNames);
    return dir.get();
}
