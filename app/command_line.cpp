#include "app/command_line.h"

#include <QCoreApplication>

#include <cstdio>

CommandLine::CommandLine()
{
    options.setApplicationDescription(
        QStringLiteral("Corvalen Dashboard: sign in and watch your personal live dashboard."));
    options.addHelpOption();
    options.addVersionOption();
}

std::optional<int> CommandLine::answerEarly(int argc, char *argv[])
{
    // The parser names the program and its version from a core application, which needs no
    // display. Qt's own GUI options (-platform, -style...) are not known here: mistakes are
    // left to check(), once the GUI application has taken those out.
    QCoreApplication core(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvalen_dashboard"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));
    options.parse(QCoreApplication::arguments());
    if (options.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(options.helpText()), stdout);
        return 0;
    }
    // Qt's own options are listed by the parser itself, which then ends the process.
    if (options.isSet(QStringLiteral("help-all")))
        options.process(QCoreApplication::arguments());
    if (options.isSet(QStringLiteral("version"))) {
        std::printf("%s %s\n", qPrintable(QCoreApplication::applicationName()),
                    qPrintable(QCoreApplication::applicationVersion()));
        return 0;
    }
    return std::nullopt;
}

std::optional<int> CommandLine::check(const QStringList &arguments)
{
    if (options.parse(arguments))
        return std::nullopt;
    std::fprintf(stderr, "%s\nTry '%s --help' for more information.\n",
                 qPrintable(options.errorText()), qPrintable(QCoreApplication::applicationName()));
    return 1;
}
