// The signature check as a bundle meets it: the configured key, the signature text of a header
// or JSON member, and the bundle, given as three pieces separated by the first two newlines.
#include "fuzz_support.h"
#include "viewmodel/bundle_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = fuzzInput(data, size);
    const qsizetype first = input.indexOf('\n');
    const qsizetype second = first < 0 ? -1 : input.indexOf('\n', first + 1);
    const QByteArray keyText = first < 0 ? input : input.left(first);
    const QByteArray signatureText =
        first < 0 ? QByteArray() : input.mid(first + 1, second < 0 ? -1 : second - first - 1);
    const QByteArray bundle = second < 0 ? QByteArray() : input.mid(second + 1);

    // The configured value arrives trimmed as text.
    const QByteArray key = decodeBundlePublicKey(QString::fromUtf8(keyText).trimmed().toLatin1());
    const QByteArray signature = decodeBundleSignature(signatureText);
    if ((!key.isEmpty() && key.size() != 32) || (!signature.isEmpty() && signature.size() != 64))
        __builtin_trap();
    // Whatever decodes must decode again from its canonical form to the same bytes.
    if (!key.isEmpty() && decodeBundlePublicKey(key.toBase64()) != key)
        __builtin_trap();

    const BundleTrust trust = BundleTrust::fromValue(QString::fromUtf8(keyText));
    const bool accepted = trust.accepts(bundle, signatureText);
    // A configured value that is no key must refuse everything, and nothing is accepted without
    // a signature that decodes.
    if (trust.required() && accepted && (key.isEmpty() || signature.isEmpty()))
        __builtin_trap();
    if (accepted != (!trust.required() || verifyBundleSignature(key, signature, bundle)))
        __builtin_trap();
    return 0;
}
