#include "app/dotenv.h"

// Stub: implemented by the foundation work.
QString findEnvFile(const QString &)
{
    return {};
}
bool loadEnvFile(const QString &)
{
    return false;
}
void loadDotenvForStartup(const QString &) {}
