// A dashboard function reply body, raw or JSON with "payload_base64" and "error": what the
// finished handler extracts and logs from it, the same as the full JSON parser's reading, then
// the bundle it yields as in fuzz_bundle. Any bytes decode as Qt's own base64 decoder has them.
#include <QJsonDocument>

#include "fuzz_support.h"
#include "viewmodel/function_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body = fuzzInput(data, size);
    const DashboardFunctionBody parsed = parseDashboardFunctionBody(body);
    const DashboardFunctionBody full = parseDashboardFunctionBodyFully(body);
    // The in-place reader answers exactly as the full parser does, the log text included.
    if (parsed.isJsonObject != QJsonDocument::fromJson(body).isObject() ||
        parsed.isJsonObject != full.isJsonObject || parsed.compactJson != full.compactJson ||
        parsed.errorText != full.errorText || parsed.signature != full.signature ||
        parsed.payload != full.payload || parsed.encodedBytes != full.encodedBytes ||
        (parsed.encodedBytes < 0 && parsed.payload != body) ||
        decodeBase64(body) != QByteArray::fromBase64(body))
        __builtin_trap();
    // The pieces of the summary log line that depend on the body.
    volatile qsizetype logged =
        body.left(24).toHex(' ').size() + parsed.errorText.size() + parsed.compactJson.size();
    (void)logged;
    registerAndReadBack(parsed.payload);
    return 0;
}
