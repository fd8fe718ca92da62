#pragma once

#include <QCommandLineParser>
#include <QStringList>

#include <optional>

// The program's command line. Further options are added to parser() before answerEarly() and
// read from it after check().
class CommandLine
{
public:
    CommandLine();

    QCommandLineParser &parser() { return options; }

    // Before the application object exists, so without a display: --help and --version are
    // printed to standard output and the exit code to end with is returned. Otherwise nothing,
    // and start-up goes on.
    std::optional<int> answerEarly(int argc, char *argv[]);
    // With the application object, whose arguments no longer hold Qt's own options: a mistake
    // is reported on standard error with the exit code to end with.
    std::optional<int> check(const QStringList &arguments);

private:
    QCommandLineParser options;
};
