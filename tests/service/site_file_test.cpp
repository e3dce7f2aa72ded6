#include "service/site_file.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

struct SiteCase {
    const char* text;
    std::vector<std::string> databases;
    std::vector<std::string> problems;
};

class SiteParsing : public ::testing::TestWithParam<SiteCase> {};

TEST_P(SiteParsing, KeepsTheGoodLinesAndNamesTheBadOnes) {
    SiteProblems problems;
    SiteConfig site = parse_site(GetParam().text, "/etc/t/site.conf", &problems);
    EXPECT_EQ(site.databases, GetParam().databases);
    EXPECT_EQ(problems.lines, GetParam().problems);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SiteParsing,
    ::testing::Values(
        SiteCase{"# two\n\ndatabase = /a/office.tsy\n  database=hall.tsy  \n",
                 {"/a/office.tsy", "/etc/t/hall.tsy"},
                 {}},
        SiteCase{"database /a.tsy\n", {}, {"/etc/t/site.conf:1: expected 'key = value'"}},
        SiteCase{"# c\ndatabase =\n", {}, {"/etc/t/site.conf:2: 'database' has no value"}},
        SiteCase{"colour = red\ndatabase = /b.tsy\n",
                 {"/b.tsy"},
                 {"/etc/t/site.conf:1: unknown key 'colour'"}}));

TEST(SiteFile, KeepsTheNameAndTheBrokerLines) {
    SiteConfig site =
        parse_site("name = Main building\nmqtt = mqtt://h:1883\nmqtt_doors = a,b\n", "s", nullptr);
    EXPECT_EQ(site.name, "Main building");
    EXPECT_EQ(site.mqtt.at("mqtt"), "mqtt://h:1883");
    EXPECT_EQ(site.mqtt.at("mqtt_doors"), "a,b");
}

TEST(SiteFile, IsNamedByTheHostWithoutAName) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(parse_site("", "s", nullptr).name, host);
}

TEST(SiteFile, LivesUnderTheConfigFolder) {
    const char* old = std::getenv("XDG_CONFIG_HOME");
    std::string saved = old ? old : "";
    setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(default_site_path(), "/cfg/tessary/site.conf");
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", getenv("HOME") ? getenv("HOME") : "/root", 1);
    EXPECT_EQ(default_site_path(), std::string(getenv("HOME")) + "/.config/tessary/site.conf");
    if (old) {
        setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    }
}

} // namespace
