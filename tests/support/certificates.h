#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Certificates made with openssl, once per process: a CA "ca", a second CA "other-ca" that
// nobody trusts, and EC server keys with certificates from "ca": "host" for localhost and
// 127.0.0.1, "other" for other.example, and one for each extra DNS name given to the first call,
// named by its first label. Files are "<name>.pem" and "<name>.key"; null if openssl failed.
const QTemporaryDir *testCertificates(const QStringList &extraNames = {});
