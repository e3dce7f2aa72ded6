// tessary-sim: a simulated RD key controller on a pseudo-terminal, linked into the port folder
// as COMn, driven by typed commands (and optionally presenting keys by itself).
#include "sim_controller.h"

#include "platform/port_map.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

namespace {

std::atomic<bool> quit{false};

void on_signal(int) {
    quit.store(true);
}

const char* usage =
    "usage: tessary-sim [--model rd04|rd03] [--com N] [--port-dir DIR] [--timing]\n"
    "                   [--capacity N] [--keys MASTER,KEY,...] [--auto SECONDS]\n"
    "Links DIR/COMn (default: $TESSARY_PORT_DIR, else $XDG_CONFIG_HOME/tessary/ports, COM1)\n"
    "to a new pseudo-terminal and plays the controller there. Type 'help' for the commands.\n";

const char* help =
    "  key HEX [valid|invalid|master] [b] [open]  present a key (kind from memory if not given)\n"
    "  add HEX | del HEX     add or delete a key at the unit (new key, then the master)\n"
    "  open [b] | close [b]  door report      short [b]   contact shorted\n"
    "  penalty HEX [b]       penalty report   full N      key memory page size\n"
    "  refuse HEX            answer n/d of that key with '?'\n"
    "  drop HEX              acknowledge n of that key with '!' but do not store it\n"
    "  silent on|off         stop answering   raw TEXT    send bytes (\\r, \\n, \\xHH escapes)\n"
    "  list                  key memory       quit\n";

uint32_t parse_hex(const std::string& s) {
    return static_cast<uint32_t>(std::strtoul(s.c_str(), nullptr, 16));
}

std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char c = s[++i];
            if (c == 'r') {
                out += '\r';
            } else if (c == 'n') {
                out += '\n';
            } else if (c == 's') {
                out += ' ';
            } else if (c == 'x' && i + 2 < s.size() + 1) {
                out += static_cast<char>(std::strtoul(s.substr(i + 1, 2).c_str(), nullptr, 16));
                i += 2;
            } else {
                out += c;
            }
        } else {
            out += s[i];
        }
    }
    return out;
}

void command(SimController& sim, const std::string& line) {
    std::istringstream in(line);
    std::string verb, arg;
    in >> verb;
    std::vector<std::string> rest;
    while (in >> arg) {
        rest.push_back(arg);
    }
    auto has = [&](const char* word) {
        for (const auto& r : rest) {
            if (r == word) {
                return true;
            }
        }
        return false;
    };
    if (verb.empty()) {
        return;
    } else if (verb == "key" && !rest.empty()) {
        SimKeyKind kind = has("valid")     ? SimKeyKind::Valid
                          : has("invalid") ? SimKeyKind::Invalid
                          : has("master")  ? SimKeyKind::Master
                                           : SimKeyKind::Auto;
        sim.present_key(parse_hex(rest[0]), kind, has("b"), has("open"));
    } else if (verb == "add" && !rest.empty()) {
        sim.manual_add(parse_hex(rest[0]));
    } else if (verb == "del" && !rest.empty()) {
        sim.manual_delete(parse_hex(rest[0]));
    } else if (verb == "open") {
        sim.open_door(has("b"));
    } else if (verb == "close") {
        sim.door_closed(has("b"));
    } else if (verb == "short") {
        sim.contact_shorted(has("b"));
    } else if (verb == "penalty" && !rest.empty()) {
        sim.penalty(parse_hex(rest[0]), has("b"));
    } else if (verb == "full" && !rest.empty()) {
        sim.set_capacity(std::strtoul(rest[0].c_str(), nullptr, 10));
    } else if (verb == "refuse" && !rest.empty()) {
        sim.refuse_key(parse_hex(rest[0]));
    } else if (verb == "drop" && !rest.empty()) {
        sim.drop_key(parse_hex(rest[0]));
    } else if (verb == "silent") {
        sim.set_silent(has("on"));
    } else if (verb == "raw") {
        sim.send_raw(unescape(line.substr(line.find("raw") + 4)));
    } else if (verb == "list") {
        for (uint32_t k : sim.memory()) {
            std::printf("%06x\n", k);
        }
    } else if (verb == "quit" || verb == "exit") {
        quit.store(true);
    } else {
        std::fputs(help, stdout);
    }
    std::fflush(stdout);
}

// One step of the automatic show: keys of the memory and strangers, doors and alarms.
void auto_step(SimController& sim, unsigned step) {
    std::vector<uint32_t> mem = sim.memory();
    uint32_t known = mem.size() > 1 ? mem[1 + step / 7 % (mem.size() - 1)] : 0x00a3f1;
    switch (step % 7) {
    case 0:
        sim.present_key(known, SimKeyKind::Auto, false, true);
        break;
    case 1:
        sim.present_key(0x0badc0 + step % 5);
        break;
    case 2:
        sim.present_key(known, SimKeyKind::Auto, true, true);
        break;
    case 3:
        sim.open_door(step % 2);
        break;
    case 4:
        sim.present_key(mem.empty() ? 0x000001 : mem[0]);
        break;
    case 5:
        sim.penalty(0x0badc0, true);
        break;
    default:
        sim.contact_shorted(false);
        break;
    }
}

// What the command line asks for.
struct SimArgs {
    SimOptions opt;
    uint32_t com = 1;
    std::string port_dir = com_port_dir();
    int auto_seconds = 0;
    uint32_t master = 0x000001;
    std::vector<uint32_t> keys;
    bool have_keys = false;
};

// "MASTER,KEY,...": the first entry is the master, the rest are added to the keys.
void parse_key_list(const std::string& text, SimArgs& args) {
    std::stringstream list(text);
    std::string k;
    bool first = true;
    while (std::getline(list, k, ',')) {
        if (first) {
            args.master = parse_hex(k);
            first = false;
        } else {
            args.keys.push_back(parse_hex(k));
        }
    }
    args.have_keys = true;
}

// The exit status when the program is to end at once (usage asked for or wrong), else -1.
int parse_args(int argc, char** argv, SimArgs& args) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fputs(usage, stderr);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--model") {
            std::string m = next();
            args.opt.model = (m == "rd03" || m == "RD-03") ? SimModel::Rd03 : SimModel::Rd04;
        } else if (a == "--com") {
            args.com = static_cast<uint32_t>(std::strtoul(next().c_str(), nullptr, 10));
        } else if (a == "--port-dir") {
            args.port_dir = next();
        } else if (a == "--timing") {
            args.opt.line_timing = true;
        } else if (a == "--capacity") {
            args.opt.capacity = std::strtoul(next().c_str(), nullptr, 10);
        } else if (a == "--auto") {
            args.auto_seconds = std::atoi(next().c_str());
        } else if (a == "--keys") {
            parse_key_list(next(), args);
        } else {
            std::fputs(usage, stderr);
            return a == "--help" || a == "-h" ? 0 : 2;
        }
    }
    if (!args.have_keys) {
        args.keys = {0x00a3f1, 0x0104bc};
    }
    return -1;
}

// Typed commands on one thread, the automatic show on this one, until a signal or "quit".
void serve(SimController& sim, int auto_seconds) {
    // auto_seconds by value: the detached thread may outlive this function.
    std::thread input([&sim, auto_seconds] {
        std::string line;
        while (!quit.load() && std::getline(std::cin, line)) {
            command(sim, line);
        }
        if (auto_seconds <= 0) {
            quit.store(true); // end of input ends a manual session
        }
    });
    input.detach();

    unsigned step = 0;
    auto next_auto = std::chrono::steady_clock::now() + std::chrono::seconds(auto_seconds);
    while (!quit.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        // Reports start once the program has reset the unit, i.e. is listening.
        if (auto_seconds > 0 && std::chrono::steady_clock::now() >= next_auto) {
            next_auto += std::chrono::seconds(auto_seconds);
            if (sim.resets() > 0) {
                auto_step(sim, step++);
            }
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    SimArgs args;
    if (int status = parse_args(argc, argv, args); status >= 0) {
        return status;
    }

    SimController sim(args.opt);
    if (!sim.start()) {
        std::perror("tessary-sim: no pseudo-terminal");
        return 1;
    }
    sim.set_memory(args.master, args.keys);
    if (!sim.link_as(args.port_dir, args.com)) {
        std::fprintf(stderr, "tessary-sim: cannot link %s/COM%u\n", args.port_dir.c_str(),
                     args.com);
        return 1;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::printf("tessary-sim: %s on %s, linked as %s/COM%u%s\n",
                args.opt.model == SimModel::Rd04 ? "RD-04" : "RD-03", sim.device().c_str(),
                args.port_dir.c_str(), args.com,
                args.auto_seconds > 0 ? " (automatic reports)" : "");
    std::fflush(stdout);

    serve(sim, args.auto_seconds);
    sim.stop();    // removes the COMn link
    std::_Exit(0); // the input thread may still sit in a read
}
