#include "command_line.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

namespace {

using Action = CommandLine::Action;

// The help text names the program from the application object, as in the real start-up.
class CommandLineTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "tessary";
        static char* argv[] = {name, nullptr};
        QCoreApplication::setApplicationName(QStringLiteral("tessary"));
        QCoreApplication::setApplicationVersion(QStringLiteral("9.8"));
        static QCoreApplication app(argc, argv);
    }
};

struct Case {
    const char* what;
    QStringList arguments;
    Action action;
    std::string database;
    int exit_code;
};

TEST_F(CommandLineTest, Cases) {
    const std::string quoted = "\"/keys/door list.tsy\" -x";
    const Case cases[] = {
        {"nothing", {"tessary"}, Action::Run, "", 0},
        {"a path with spaces is one argument",
         {"tessary", "/keys/door list.tsy"},
         Action::Run,
         "/keys/door list.tsy",
         0},
        {"one raw string with a leading double quote is handed on unchanged",
         {"tessary", QString::fromStdString(quoted)},
         Action::Run,
         quoted,
         0},
        {"a path that looks like an option, after --",
         {"tessary", "--", "-x.tsy"},
         Action::Run,
         "-x.tsy",
         0},
        {"two paths", {"tessary", "a.tsy", "b.tsy"}, Action::Fail, "", 1},
        {"an unknown option", {"tessary", "--bogus", "a.tsy"}, Action::Fail, "", 1},
        {"help", {"tessary", "--help"}, Action::Print, "", 0},
        {"help beside a mistake", {"tessary", "-platform", "x", "-h"}, Action::Print, "", 0},
        {"version", {"tessary", "-v"}, Action::Print, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const CommandLine result = parse_command_line(c.arguments);
        EXPECT_EQ(result.action, c.action);
        EXPECT_EQ(result.database, c.database);
        EXPECT_EQ(result.exit_code, c.exit_code);
        EXPECT_EQ(result.text.isEmpty(), c.action == Action::Run);
        if (c.action == Action::Fail) {
            EXPECT_TRUE(result.text.startsWith("tessary: ")) << result.text.toStdString();
            EXPECT_TRUE(result.text.endsWith("Try 'tessary --help'.\n"));
        }
    }
}

TEST_F(CommandLineTest, HelpNamesTheOptionsAndTheDatabase) {
    const QString help = parse_command_line({"tessary", "--help"}).text;
    EXPECT_TRUE(help.startsWith("Usage: tessary [options] [database]\n")) << help.toStdString();
    for (const char* part : {"--help", "--version", "database", "double quote"}) {
        EXPECT_TRUE(help.contains(QLatin1String(part))) << part;
    }
}

TEST_F(CommandLineTest, VersionIsTheApplicationsOwn) {
    EXPECT_EQ(parse_command_line({"tessary", "--version"}).text, QStringLiteral("tessary 9.8\n"));
}

} // namespace
