#include "viewmodel/bundle_signature.h"

#include "app/config.h"

#include <QDebug>

#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstring>
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

// The y coordinates (little-endian, sign bit clear) of the points of order 1, 2, 4 and 8.
constexpr unsigned char kSmallOrderY[][32] = {
    {0x00},
    {0x01},
    {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b,
     0x76, 0x0d, 0x10, 0x67, 0x0f, 0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39,
     0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a},
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4,
     0x89, 0xf2, 0xef, 0x98, 0xf0, 0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6,
     0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05},
};

// A key of small order verifies forged signatures (with such a key, R + [k]A = [S]B can be met
// without the private key), and a non-canonical encoding (y >= 2^255 - 19) names a point that
// another encoding names too. Neither is a key that bundles can be trusted by. Every sign bit is
// covered: it only picks x, and an encoding whose x is 0 but whose sign bit is set is one of the
// small-order y values above.
bool isUsablePublicKey(const QByteArray &key)
{
    if (key.size() != kPublicKeyBytes)
        return false;
    unsigned char y[32];
    memcpy(y, key.constData(), sizeof y);
    y[31] &= 0x7f;
    // y >= p: the 30 middle bytes all 0xff, the top one 0x7f and the lowest at least 0xed.
    bool allOnes = y[31] == 0x7f;
    for (int i = 1; i < 31 && allOnes; ++i)
        allOnes = y[i] == 0xff;
    if (allOnes && y[0] >= 0xed)
        return false;
    for (const auto &small : kSmallOrderY)
        if (memcmp(y, small, sizeof y) == 0)
            return false;
    return true;
}
} // namespace

bool verifyBundleSignature(const QByteArray &publicKey, const QByteArray &signature,
                           const QByteArray &bundle)
{
    if (!isUsablePublicKey(publicKey) || signature.size() != kSignatureBytes)
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
    const QByteArray key = decodeExactly(base64, kPublicKeyBytes);
    return isUsablePublicKey(key) ? key : QByteArray();
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
