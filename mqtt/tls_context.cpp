#include "mqtt/tls_context.h"

#include <QFile>
#include <QHostAddress>
#include <QUrl>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace {
TlsPeerCheck *checkOf(const SSL *ssl)
{
    return static_cast<TlsPeerCheck *>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
}

int recordVerifyError(int preverifyOk, X509_STORE_CTX *store)
{
    if (!preverifyOk) {
        const auto *ssl = static_cast<const SSL *>(
            X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
        TlsPeerCheck *check = checkOf(ssl);
        if (check->verifyError == X509_V_OK)
            check->verifyError = X509_STORE_CTX_get_error(store);
    }
    return preverifyOk;
}

void sendServerName(const SSL *ssl, int where, int)
{
    // The library names the server after the address it connects to. Replace that before the
    // first message goes out: the host name, or no name at all for an address.
    if (!(where & SSL_CB_HANDSHAKE_START))
        return;
    const QByteArray &name = checkOf(ssl)->serverName;
    const char *serverName = name.isEmpty() ? nullptr : name.constData();
    SSL_set_tlsext_host_name(const_cast<SSL *>(ssl), serverName);
}
} // namespace

ssl_ctx_st *makeTlsContext(const QString &caFile, const QString &hostName, TlsPeerCheck *check,
                           QString *error)
{
    SSL_CTX *context = SSL_CTX_new(TLS_client_method());
    if (!context) {
        ERR_clear_error();
        *error = QStringLiteral("cannot create a TLS context");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    const bool trusted = caFile.isEmpty()
                             ? SSL_CTX_set_default_verify_paths(context) == 1
                             : SSL_CTX_load_verify_locations(
                                   context, QFile::encodeName(caFile).constData(), nullptr) == 1;
    if (!trusted) {
        ERR_clear_error(); // the library reads this queue for its own errors
        SSL_CTX_free(context);
        *error = QStringLiteral("cannot read the CA file \"%1\"").arg(caFile);
        return nullptr;
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, recordVerifyError);
    X509_VERIFY_PARAM *param = SSL_CTX_get0_param(context);
    if (QHostAddress(hostName).isNull()) {
        // Certificates name hosts in their ASCII form.
        check->serverName = QUrl::toAce(hostName);
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        X509_VERIFY_PARAM_set1_host(param, check->serverName.constData(),
                                    size_t(check->serverName.size()));
    } else {
        check->serverName.clear();
        X509_VERIFY_PARAM_set1_ip_asc(param, hostName.toLatin1().constData());
    }
    check->verifyError = X509_V_OK;
    SSL_CTX_set_app_data(context, check);
    SSL_CTX_set_info_callback(context, sendServerName);
    return context;
}

void releaseTlsContext(ssl_ctx_st *context)
{
    SSL_CTX_free(context);
}

const char *tlsVerifyErrorText(int verifyError)
{
    return X509_verify_cert_error_string(verifyError);
}

bool tlsHandshaking(void *ssl)
{
    return ssl && !SSL_is_init_finished(static_cast<SSL *>(ssl));
}

bool tlsHandshakeStarted(void *ssl)
{
    return ssl && !SSL_in_before(static_cast<SSL *>(ssl));
}

bool tlsWantsWrite(void *ssl)
{
    return ssl && SSL_want_write(static_cast<SSL *>(ssl));
}
