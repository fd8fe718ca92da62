// One line of a .env file, as any file may hold it: arbitrary bytes read as
// UTF-8.
#include <QString>

#include "app/dotenv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString line = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<EnvAssignment> assignment = parseEnvLine(line);
    if (!assignment)
        return 0;
    // What reaches the environment: a non-empty trimmed name without '=', and
    // nothing that the environment would cut short.
    if (assignment->key.isEmpty() || assignment->key != assignment->key.trimmed() ||
        assignment->key.contains(QLatin1Char('=')) || assignment->key.contains(QChar(0)) ||
        assignment->value.contains(QChar(0)))
        __builtin_trap();
    return 0;
}
