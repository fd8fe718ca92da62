#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Where a bundle's signature travels: the header of the answer that carries the bundle.
inline constexpr char kBundleSignatureHeader[] = "X-Bundle-Signature";

// Detached Ed25519 signature over a dashboard bundle's exact bytes.
bool verifyBundleSignature(const QByteArray &publicKey, const QByteArray &signature,
                           const QByteArray &bundle);

// Strict standard base64 of exactly 32 (key) or 64 (signature) bytes; empty for anything else,
// and for a key of small order or in a non-canonical encoding.
QByteArray decodeBundlePublicKey(QByteArrayView base64);
QByteArray decodeBundleSignature(QByteArrayView base64);

// Whether dashboard bundles must be signed, and by which key. With CORVALEN_BUNDLE_PUBLIC_KEY
// unset every bundle is accepted; set, only bundles signed by that key are, and a value that
// is not a key refuses everything rather than letting unsigned code run.
class BundleTrust
{
public:
    static constexpr const char *kConfigKey = "CORVALEN_BUNDLE_PUBLIC_KEY";

    BundleTrust() = default;
    // From the configuration key; logs a warning when the value is not a key.
    static BundleTrust fromConfig();
    // From a configured value: empty means not set.
    static BundleTrust fromValue(const QString &value);

    bool required() const { return signatureRequired; }
    // True when no signature is required, or when signatureBase64 is a valid signature of bundle.
    bool accepts(const QByteArray &bundle, QByteArrayView signatureBase64) const;

private:
    bool signatureRequired = false;
    QByteArray publicKey; // empty while required: the configured value was malformed
};
