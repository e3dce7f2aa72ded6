// tessary-cli's command line as the GNU tools read theirs, each subcommand knowing only its own
// options.
#include "cli/cli.h"
#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

struct Case {
    std::vector<std::string> args;
    std::string error; // empty: accepted
    std::optional<unsigned> port = std::nullopt;
    std::string device = "";
    std::string database = "";
};

TEST(CommandLine, OptionsTakeTheirValueEitherWayAndOnlyTheSubcommandsOwnAreKnown) {
    const Case cases[] = {
        {{"reset", "--port=3"}, "", 3},
        {{"reset", "--port", "3"}, "", 3},
        {{"reset", "--device=/dev/ttyUSB0"}, "", std::nullopt, "/dev/ttyUSB0"},
        {{"door", "A", "--device", "--yes"}, "", std::nullopt, "--yes"},
        {{"keys", "list", "--", "--yes"}, "", std::nullopt, "", "--yes"},
        {{"clear", "--port=1", "--", "--yes"}, "give --yes"},
        {{"clear", "--port", "1"}, "give --yes"},
        {{"keys", "list", "db.tsy", "--colour=red"}, "unknown option '--colour'"},
        {{"keys", "list", "db.tsy", "--yes"}, "unknown option '--yes'"},
        {{"keys", "list", "db.tsy", "--csv=yes"}, "--csv takes no value"},
        {{"reset", "--port="}, "--port needs a COM port number from 1 to 255, not ''"},
        {{"reset", "--port"}, "--port needs a value"},
    };
    for (const Case& c : cases) {
        const std::string line = testing::PrintToString(c.args);
        ParsedCommandLine parsed = parse_command_line(c.args);
        if (!c.error.empty()) {
            EXPECT_FALSE(parsed.request) << line;
            EXPECT_NE(parsed.error.find(c.error), std::string::npos)
                << line << ": " << parsed.error;
            continue;
        }
        ASSERT_TRUE(parsed.request) << line << ": " << parsed.error;
        EXPECT_EQ(parsed.request->port, c.port) << line;
        EXPECT_EQ(parsed.request->device, c.device) << line;
        EXPECT_EQ(parsed.request->database, c.database) << line;
        EXPECT_FALSE(parsed.request->yes) << line;
    }
}

struct NoController final : ControllerSeam {
    int run(const CliRequest&, DatabaseRecord*, std::ostream&, std::ostream&) override {
        ADD_FAILURE() << "no controller subcommand here";
        return -1;
    }
};

TEST(CommandLine, KeysHelpListsTheKeysSubcommands) {
    for (const char* help : {"--help", "-h"}) {
        std::ostringstream out, err;
        NoController controller;
        EXPECT_EQ(run_cli({"keys", help}, out, err, controller), 0) << err.str();
        EXPECT_EQ(out.str(),
                  "usage: tessary-cli keys list FILE.tsy [--csv|--json]\n"
                  "       tessary-cli keys export FILE.tsy [--csv|--json]\n"
                  "       tessary-cli keys import FILE.tsy KEYS.csv [--csv] [--update] "
                  "[--good-rows-only] [--dry-run]\n\n"
                  "The keys of a database, read or added without a window. Each subcommand has "
                  "its\nown --help.\n\n"
                  "  list             prints the keys of the database, one per line\n"
                  "  export           writes the keys to standard output as CSV or JSON\n"
                  "  import           adds the keys of a CSV file to the database and saves it\n"
                  "  --help           this text\n");
    }
}

} // namespace
