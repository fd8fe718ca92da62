#pragma once

#include <QString>

#include <optional>

struct EnvAssignment
{
    QString key;
    QString value;
};

// One line of a .env file, terminator and surrounding blanks included or not; nothing when the
// line assigns nothing (blank, comment, no key, or a NUL the environment could not hold).
std::optional<EnvAssignment> parseEnvLine(const QString &line);

// Walks from startDir up to the file-system root; returns the first regular file named .env.
QString findEnvFile(const QString &startDir);

// Copies the file's assignments into the environment without overriding anything already set.
// Returns false only when the file cannot be opened.
bool loadEnvFile(const QString &path);

// Start-up selection: CORVALEN_ENV_FILE, else a search from the working directory, else from
// the executable's directory. Writes the selection log lines.
void loadDotenvForStartup(const QString &executableDir);
