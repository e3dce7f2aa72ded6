// The site file: which databases the service serves, and the site's name. `key = value` lines,
// '#' starting a comment line, blank lines ignored:
//   name = Main building
//   database = /srv/keys/office.tsy      (one line per controller)
//   mqtt = mqtt://broker:1883            (and mqtt_user, mqtt_password_file, mqtt_ca_file,
//                                         mqtt_doors: kept for the broker link)
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

struct SiteConfig {
    std::string name; // the host name when the file names none
    std::vector<std::string> databases;
    std::map<std::string, std::string> mqtt; // "mqtt", "mqtt_user", ... as written
};

// What a reading found wrong, one line each: "FILE:LINE: what".
struct SiteProblems {
    std::vector<std::string> lines;
};

// $XDG_CONFIG_HOME/tessary/site.conf, or ~/.config/tessary/site.conf when it is unset.
std::string default_site_path();

// The site of the text; the bad lines are left out and named in *problems.
SiteConfig parse_site(const std::string& text, const std::string& file_name,
                      SiteProblems* problems);
// The same from the file; none, with the reason in *error, when it cannot be read.
std::optional<SiteConfig> read_site_file(const std::string& path, SiteProblems* problems,
                                         std::string* error);
