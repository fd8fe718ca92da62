#include "viewmodel/bundle_signature.h"

#include "app/config.h"

#include <QDebug>

#include <openssl/err.h>
#include <openssl/evp.h>

#include <memory>

namespace {
constexpr qsizetype kPublicKeyBytes = 32;
constexpr qsizetype kSignatureBytes = 64;

QByteArray decodeExactly(QByteArrayView base64, qsizetype size)
{
    const auto result = QByteArray::fromBase64Encoding(base64.toByteArray(),
                                                       QByteArray::AbortOnBase64DecodingErrors);
    return result && result.decoded.size() == size ? result.decoded : QByteArray();
}
} // namespace

bool verifyBundleSignature(const QByteArray &publicKey, const QByteArray &signature,
                           const QByteArray &bundle)
{
    if (publicKey.size() != kPublicKeyBytes || signature.size() != kSignatureBytes)
        return false;
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                    reinterpret_cast<const unsigned char *>(publicKey.constData()),
                                    size_t(publicKey.size())),
        EVP_PKEY_free);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                                      EVP_MD_CTX_free);
    // Ed25519 verifies the message itself in one pass: no digest is named.
    const bool valid =
        key && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
        EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char *>(signature.constData()),
                         size_t(signature.size()),
                         reinterpret_cast<const unsigned char *>(bundle.constData()),
                         size_t(bundle.size())) == 1;
    // The network stack shares OpenSSL's per-thread error queue; leave nothing behind in it.
    ERR_clear_error();
    return valid;
}

QByteArray decodeBundlePublicKey(QByteArrayView base64)
{
    return decodeExactly(base64, kPublicKeyBytes);
}

QByteArray decodeBundleSignature(QByteArrayView base64)
{
    return decodeExactly(base64, kSignatureBytes);
}

BundleTrust BundleTrust::fromValue(const QString &value)
{
    BundleTrust trust;
    trust.signatureRequired = !value.trimmed().isEmpty();
    if (trust.signatureRequired)
        trust.publicKey = decodeBundlePublicKey(value.trimmed().toLatin1());
    return trust;
}

BundleTrust BundleTrust::fromConfig()
{
    BundleTrust trust = fromValue(configValue(QString::fromLatin1(kConfigKey)));
    if (trust.signatureRequired && trust.publicKey.isEmpty())
        qWarning().noquote() << kConfigKey
                             << "is not the base64 of a 32-byte Ed25519 public key; every "
                                "dashboard bundle will be refused.";
    else if (trust.signatureRequired)
        qInfo().noquote() << "Dashboard bundles must be signed by the key in" << kConfigKey;
    return trust;
}

bool BundleTrust::accepts(const QByteArray &bundle, QByteArrayView signatureBase64) const
{
    if (!signatureRequired)
        return true;
    return verifyBundleSignature(publicKey, decodeBundleSignature(signatureBase64), bundle);
}
