#pragma once

#include <QByteArray>
#include <QString>

struct ssl_ctx_st;

// What the TLS callbacks of one connection attempt need and report: the server name to send
// (empty for an address, which must not be sent) and the first certificate verification error.
struct TlsPeerCheck
{
    QByteArray serverName;
    int verifyError = 0; // X509_V_OK
};

// A client context that verifies the broker's certificate chain (against caFile, or the system
// trust store when it is empty) and that the certificate is for hostName, whichever address it
// was reached at. The callbacks write to *check, which must outlive every connection using the
// context. Returns null and sets *error when the CA file cannot be used.
ssl_ctx_st *makeTlsContext(const QString &caFile, const QString &hostName, TlsPeerCheck *check,
                           QString *error);
void releaseTlsContext(ssl_ctx_st *context);
const char *tlsVerifyErrorText(int verifyError);
// For the library's connection object (null without TLS): is a handshake under way (or still to
// begin), has its first message been attempted, and is it waiting to write?
bool tlsHandshaking(void *ssl);
bool tlsHandshakeStarted(void *ssl);
bool tlsWantsWrite(void *ssl);
