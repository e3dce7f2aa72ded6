#include "command_line.h"

#include <QCommandLineParser>
#include <QCoreApplication>

CommandLine parse_command_line(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Key database manager for the RD family of door-access key controllers."));
    // Our own help option: Qt's would also offer --help-all, which only the parser's process()
    // answers, and that ends the program from inside the parser.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays help on commandline options."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument(
        QStringLiteral("database"),
        QStringLiteral("The .tsy key database to open. A path with spaces is one argument; "
                       "a single string that begins with a double quote opens the path "
                       "between the quotes."),
        QStringLiteral("[database]"));
    const bool parsed = parser.parse(arguments);

    CommandLine result;
    if (parser.isSet(help)) {
        result.action = CommandLine::Action::Print;
        result.text = parser.helpText();
        return result;
    }
    if (parser.isSet(version)) {
        result.action = CommandLine::Action::Print;
        result.text = QCoreApplication::applicationName() + QLatin1Char(' ') +
                      QCoreApplication::applicationVersion() + QLatin1Char('\n');
        return result;
    }
    const QStringList positional = parser.positionalArguments();
    QString error;
    if (!parsed) {
        error = parser.errorText();
    } else if (positional.size() > 1) {
        error = QStringLiteral("Give one database path; a path with spaces is one argument "
                               "(put it in quotes in a shell).");
    }
    if (!error.isEmpty()) {
        result.action = CommandLine::Action::Fail;
        result.text = QCoreApplication::applicationName() + QStringLiteral(": ") + error +
                      QStringLiteral("\nTry '") + QCoreApplication::applicationName() +
                      QStringLiteral(" --help'.\n");
        result.exit_code = 1;
        return result;
    }
    if (!positional.isEmpty()) {
        result.database = positional.front().toStdString();
    }
    return result;
}
