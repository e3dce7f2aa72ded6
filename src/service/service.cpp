#include "service/service.h"

#include "cli/events_commands.h"
#include "cli/json_text.h"
#include "history/event_store.h"
#include "platform/file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <set>

struct Service::Client {
    uint64_t serial = 0;
    int fd = -1;
    LineReader reader;
    std::string out; // what is waiting to be written
    bool subscribed_all = false;
    std::set<uint64_t> subscriptions; // controller serials
    bool gone = false;
};

namespace {

constexpr size_t max_recent_events = 10000;
constexpr uint64_t recent_ms = 10000;

uint64_t now_ms() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::string key_list_json(const std::vector<KeyId>& keys) {
    std::string out = "[";
    for (const KeyId& k : keys) {
        char text[16];
        std::snprintf(text, sizeof text, "\"%06x\"", k.number & key_number_mask);
        out += (out.size() > 1 ? ", " : "") + std::string(text);
    }
    return out + "]";
}

// The last `count` events of a database's history, oldest first.
std::vector<StoredEvent> backlog_of(const std::string& database, size_t count, std::string* error) {
    const std::string path = history_path(database);
    if (count == 0 || !file_exists(path)) {
        return {};
    }
    std::unique_ptr<EventStore> store = EventStore::open(path, false, database, error);
    if (!store) {
        return {};
    }
    std::vector<StoredEvent> events = store->page(EventFilter{}, count);
    std::reverse(events.begin(), events.end());
    return events;
}

} // namespace

Service::Service(ServiceOptions options) : options_(std::move(options)) {
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    inotify_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
}

Service::~Service() {
    // Each says "offline" as it goes; a door command still on the way has nowhere to go.
    brokers_.clear();
    for (auto& c : clients_) {
        ::close(c->fd);
    }
    clients_.clear();
    // Their threads end here, while the notices they may still hand on have somewhere to go.
    controllers_.clear();
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
        ::unlink(options_.socket_path.c_str());
    }
    ::close(wake_fd_);
    if (inotify_fd_ >= 0) {
        ::close(inotify_fd_);
    }
}

bool Service::open() {
    SiteProblems problems;
    std::string error;
    std::optional<SiteConfig> site = read_site_file(options_.site_path, &problems, &error);
    for (const std::string& p : problems.lines) {
        std::cerr << "tessaryd: " << p << "\n";
    }
    if (!site) {
        std::cerr << "tessaryd: " << options_.site_path << ": " << error << "\n";
        return false;
    }
    if (!open_socket()) {
        return false;
    }
    apply_site(*site);
    return true;
}

void Service::wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

void Service::stop() {
    stop_.store(true);
    wake();
}

void Service::reload() {
    reload_.store(true);
    wake();
}

void Service::apply_site(const SiteConfig& site) {
    std::vector<std::unique_ptr<ServedController>> kept;
    for (const std::string& path : site.databases) {
        auto same = std::find_if(controllers_.begin(), controllers_.end(),
                                 [&](const auto& s) { return s && s->database_path() == path; });
        if (same != controllers_.end()) {
            kept.push_back(std::move(*same));
            continue;
        }
        if (std::any_of(kept.begin(), kept.end(),
                        [&](const auto& s) { return s->database_path() == path; })) {
            continue; // named twice
        }
        kept.push_back(std::make_unique<ServedController>(path, [this](Notice n) {
            {
                std::lock_guard lock(notices_mutex_);
                notices_.push_back(std::move(n));
            }
            wake();
        }));
        std::cerr << "tessaryd: serving " << path << "\n";
        kept.back()->start();
    }
    for (auto& gone : controllers_) {
        if (gone) {
            std::cerr << "tessaryd: no longer serving " << gone->database_path() << "\n";
            pending_.erase(gone->serial());
            recent_.erase(gone->serial());
        }
    }
    controllers_ = std::move(kept); // the dropped ones end their links here
    last_retry_ms_ = now_ms();
    watch_files();
    apply_mqtt(site);
}

namespace {

// "office, hall" → {"office", "hall"}.
std::set<std::string> name_list(const std::string& text) {
    std::set<std::string> names;
    std::string name;
    for (char c : text + ",") {
        if (c == ',') {
            if (!name.empty()) {
                names.insert(name);
            }
            name.clear();
        } else if (c != ' ' && c != '\t') {
            name += c;
        }
    }
    return names;
}

std::string mqtt_line(const SiteConfig& site, const char* key) {
    auto found = site.mqtt.find(key);
    return found == site.mqtt.end() ? std::string() : found->second;
}

} // namespace

void Service::apply_mqtt(const SiteConfig& site) {
    if (site.mqtt != site_.mqtt || site.name != site_.name) {
        brokers_.clear();
        mqtt_refused_ = false;
    }
    site_ = site;
    std::erase_if(brokers_, [&](const auto& b) {
        return std::none_of(controllers_.begin(), controllers_.end(),
                            [&](const auto& s) { return s->serial() == b.first; });
    });
    const MqttSettings settings{mqtt_line(site, "mqtt"), mqtt_line(site, "mqtt_user"),
                                mqtt_line(site, "mqtt_password_file"),
                                mqtt_line(site, "mqtt_ca_file")};
    if (settings.url.empty() || mqtt_refused_) {
        return;
    }
    const std::set<std::string> doors = name_list(mqtt_line(site, "mqtt_doors"));
    for (auto& s : controllers_) {
        if (brokers_.count(s->serial())) {
            continue;
        }
        const std::string name = mqtt_controller_name(s->database_path());
        auto publisher = std::make_unique<MqttPublisher>(
            settings, "tessary/" + mqtt_site_name(site.name) + "/" + name,
            [path = s->database_path()](const std::string& line) {
                std::cerr << "tessaryd: " << path << ": " << line << "\n";
            });
        if (doors.count(name)) {
            publisher->on_door = [this, serial = s->serial()](char door) {
                Notice n;
                n.kind = Notice::Kind::Door;
                n.controller = serial;
                n.door = door;
                {
                    std::lock_guard lock(notices_mutex_);
                    notices_.push_back(std::move(n));
                }
                wake();
            };
        }
        std::string error;
        if (!publisher->start(&error)) {
            std::cerr << "tessaryd: " << options_.site_path << ": mqtt: " << error
                      << "; the controllers are served without MQTT\n";
            mqtt_refused_ = true;
            brokers_.clear();
            return;
        }
        Broker& b = brokers_[s->serial()];
        b.publisher = std::move(publisher);
        // Until its link runs, a controller is as good as lost to those who watch it.
        const bool up = s->session() && s->session()->link_state() == LinkState::Connected;
        b.status = up ? "online" : "lost";
        b.publisher->publish_status(b.status);
    }
}

void Service::publish_to_mqtt(const Notice& n) {
    auto b = brokers_.find(n.controller);
    if (b == brokers_.end()) {
        return;
    }
    if (n.kind == Notice::Kind::Event) {
        b->second.publisher->publish_event(n.json);
        return;
    }
    const std::string status = n.link == LinkState::Connected ? "online" : "lost";
    if (status != b->second.status) {
        b->second.status = status;
        b->second.publisher->publish_status(status);
    }
}

void Service::door_from_mqtt(const Notice& n) {
    for (auto& s : controllers_) {
        if (s->serial() != n.controller) {
            continue;
        }
        std::cerr << "tessaryd: " << s->database_path() << ": door " << n.door
                  << " asked over MQTT";
        if (!s->session() || s->session()->link_state() != LinkState::Connected) {
            std::cerr << "; the controller is not connected\n";
        } else if (!s->session()->send(n.door == 'B' ? ControllerCommand::OpenDoorB
                                                     : ControllerCommand::OpenDoorA)) {
            std::cerr << "; the command could not be sent\n";
        } else {
            std::cerr << "\n";
        }
    }
}

namespace {

// "/a/b.tsy" → {"/a", "b.tsy"}; a bare name is in the current folder.
std::pair<std::string, std::string> folder_and_name(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

} // namespace

void Service::watch_files() {
    if (inotify_fd_ < 0) {
        return;
    }
    std::vector<std::string> paths{options_.site_path};
    for (auto& s : controllers_) {
        paths.push_back(s->database_path());
    }
    for (const std::string& path : paths) {
        const std::string folder = folder_and_name(path).first;
        const int wd = inotify_add_watch(inotify_fd_, folder.c_str(),
                                         IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR);
        if (wd >= 0) {
            watches_[folder] = wd;
        }
    }
}

void Service::take_file_events() {
    alignas(inotify_event) char buffer[8192];
    bool site_changed = false;
    std::set<ServedController*> saved;
    for (;;) {
        const ssize_t n = ::read(inotify_fd_, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            if (e->len == 0) {
                continue;
            }
            // One folder spelt two ways ("." and its full path) has one watch: the file is
            // known by its watch and name.
            auto is = [&](const std::string& path) {
                const auto [folder, name] = folder_and_name(path);
                auto w = watches_.find(folder);
                return w != watches_.end() && w->second == e->wd && name == e->name;
            };
            site_changed = site_changed || is(options_.site_path);
            for (auto& s : controllers_) {
                if (is(s->database_path())) {
                    saved.insert(s.get());
                }
            }
        }
    }
    for (ServedController* s : saved) {
        s->reload_database();
    }
    if (site_changed) {
        std::cerr << "tessaryd: " << options_.site_path << " changed; reading it again\n";
        reload();
    }
}

bool Service::open_socket() {
    const std::string& path = options_.socket_path;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        std::cerr << "tessaryd: no usable socket path" << (path.empty() ? "" : ": " + path)
                  << "; give --socket PATH\n";
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const bool group = options_.client_group.has_value();
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string folder = path.substr(0, slash);
        // A folder made here, or the service's own one, admits nobody else.
        if (::mkdir(folder.c_str(), 0700) == 0 || path == default_socket_path()) {
            ::chmod(folder.c_str(), group ? 0750 : 0700);
            if (group) {
                [[maybe_unused]] int r = ::chown(folder.c_str(), -1, *options_.client_group);
            }
        }
    }
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        if (::connect(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            std::cerr << "tessaryd: another service listens on " << path << "\n";
            ::close(listen_fd_);
            listen_fd_ = -1;
            return false;
        }
        ::unlink(path.c_str()); // left by a service that ended without cleaning up
        ::close(listen_fd_);
        listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    }
    const mode_t old_mask = ::umask(0177);
    const int bound = ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::umask(old_mask);
    if (bound != 0 || ::listen(listen_fd_, 16) != 0) {
        std::cerr << "tessaryd: " << path << ": " << std::strerror(errno) << "\n";
        ::close(listen_fd_);
        listen_fd_ = -1;
        return false;
    }
    if (group) {
        [[maybe_unused]] int r = ::chown(path.c_str(), -1, *options_.client_group);
        ::chmod(path.c_str(), 0660);
    }
    return true;
}

void Service::run(const std::function<void()>& tick) {
    std::vector<pollfd> fds;
    while (!stop_.load()) {
        if (reload_.exchange(false)) {
            SiteProblems problems;
            std::string error;
            std::optional<SiteConfig> site = read_site_file(options_.site_path, &problems, &error);
            for (const std::string& p : problems.lines) {
                std::cerr << "tessaryd: " << p << "\n";
            }
            if (site) {
                apply_site(*site);
            } else {
                std::cerr << "tessaryd: " << options_.site_path << ": " << error
                          << "; the site is served as before\n";
            }
        }
        fds.assign({{wake_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}, {inotify_fd_, POLLIN, 0}});
        const size_t count = clients_.size();
        for (const auto& c : clients_) {
            fds.push_back({c->fd, static_cast<short>(POLLIN | (c->out.empty() ? 0 : POLLOUT)), 0});
        }
        ::poll(fds.data(), fds.size(), 1000);
        if (fds[0].revents & POLLIN) {
            uint64_t n = 0;
            [[maybe_unused]] ssize_t r = ::read(wake_fd_, &n, sizeof n);
        }
        take_notices();
        if (fds[2].revents & POLLIN) {
            take_file_events();
        }
        for (size_t i = 0; i < count; ++i) {
            Client& c = *clients_[i];
            const short revents = fds[i + 3].revents;
            if (!c.gone && (revents & (POLLIN | POLLHUP | POLLERR))) {
                read_client(c);
            }
            if (!c.gone && (revents & POLLOUT)) {
                write_client(c);
            }
        }
        if (fds[1].revents & POLLIN) {
            accept_clients();
        }
        std::erase_if(clients_, [](const auto& c) {
            if (c->gone) {
                ::close(c->fd);
            }
            return c->gone;
        });
        retry_links();
        if (tick) {
            tick();
        }
    }
}

void Service::retry_links() {
    const uint64_t now = now_ms();
    if (now - last_retry_ms_ < options_.retry_ms) {
        return;
    }
    last_retry_ms_ = now;
    for (auto& s : controllers_) {
        if (!s->running()) {
            s->start();
        }
    }
}

bool Service::peer_allowed(int fd) {
    ucred cred{};
    socklen_t size = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0) {
        return false;
    }
    if (cred.uid == ::geteuid()) {
        return true;
    }
    if (!options_.client_group) {
        return false;
    }
    const gid_t group = *options_.client_group;
    if (cred.gid == group) {
        return true;
    }
    // The groups the peer process holds, as the socket file's mode judged them when it
    // connected: one given by its unit or by newgrp counts, whatever the group file says.
    std::vector<gid_t> groups(64);
    socklen_t bytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes) != 0) {
        if (errno != ERANGE) {
            return false;
        }
        groups.resize(bytes / sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes) != 0) {
            return false;
        }
    }
    groups.resize(bytes / sizeof(gid_t));
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

void Service::accept_clients() {
    for (;;) {
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        if (!peer_allowed(fd)) {
            ucred cred{};
            socklen_t size = sizeof cred;
            ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size);
            std::cerr << "tessaryd: refused a client of user " << cred.uid << " (process "
                      << cred.pid << ")\n";
            ::close(fd);
            continue;
        }
        auto c = std::make_unique<Client>();
        c->serial = next_client_++;
        c->fd = fd;
        clients_.push_back(std::move(c));
    }
}

void Service::read_client(Client& c) {
    char buffer[16384];
    // A bounded share per turn, so that a client that never stops sending holds up nobody.
    for (int turn = 0; turn < 4 && !c.gone; ++turn) {
        const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            c.gone = true;
            return;
        }
        if (n < 0) {
            return;
        }
        c.reader.feed(std::string_view(buffer, static_cast<size_t>(n)));
        while (std::optional<LineReader::Line> line = c.reader.next()) {
            std::string answer;
            if (std::optional<Request> r = read_request(*line, &answer)) {
                handle(c, *r);
            } else {
                send(c, answer);
            }
            if (c.gone) {
                return;
            }
        }
    }
}

void Service::write_client(Client& c) {
    while (!c.out.empty()) {
        const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                c.gone = true;
            }
            return;
        }
        c.out.erase(0, static_cast<size_t>(n));
    }
}

void Service::send(Client& c, const std::string& line) {
    if (c.gone) {
        return;
    }
    c.out += line;
    if (c.out.size() > options_.max_output) {
        drop(c, "it does not read what it is sent");
        return;
    }
    write_client(c);
}

void Service::send_to(uint64_t client, const std::string& line) {
    for (auto& c : clients_) {
        if (c->serial == client) {
            send(*c, line);
        }
    }
}

void Service::drop(Client& c, const char* why) {
    std::cerr << "tessaryd: client " << c.serial << " dropped: " << why << "\n";
    c.gone = true;
    c.out.clear();
}

void Service::handle(Client& c, const Request& r) {
    switch (r.op) {
    case RequestOp::List:
        list(c, r);
        return;
    case RequestOp::Subscribe:
        subscribe(c, r);
        return;
    case RequestOp::Sync:
    case RequestOp::Compare:
        // A database saved just before the request (a desk saves, then synchronizes) is the
        // one the run must see: its file event is already queued.
        take_file_events();
        break;
    default:
        break;
    }
    ServedController* s = chosen(c, r);
    if (!s) {
        return;
    }
    if (!s->session()) {
        send(c, error_answer(r.id, s->database_path() + " is not served: it cannot be read"));
    } else if (r.op == RequestOp::Sync || r.op == RequestOp::Compare) {
        start_run(c, r, *s);
    } else {
        command(c, r, *s);
    }
}

ServedController* Service::chosen(Client& c, const Request& r) {
    if (r.database.empty()) {
        if (controllers_.size() == 1) {
            return controllers_.front().get();
        }
        send(c, error_answer(r.id, "name the \"database\": the service serves " +
                                       std::to_string(controllers_.size()) + " controllers"));
        return nullptr;
    }
    for (auto& s : controllers_) {
        if (s->named_by(r.database)) {
            return s.get();
        }
    }
    send(c, error_answer(r.id, r.database + " is not served"));
    return nullptr;
}

void Service::list(Client& c, const Request& r) {
    std::string items;
    for (auto& s : controllers_) {
        if (r.database.empty() || s->named_by(r.database)) {
            items += (items.empty() ? "" : ", ") + s->list_json();
        }
    }
    if (!r.database.empty() && items.empty()) {
        send(c, error_answer(r.id, r.database + " is not served"));
        return;
    }
    send(c, ok_answer(r.id, "\"controllers\": [" + items + "]"));
}

void Service::subscribe(Client& c, const Request& r) {
    std::vector<ServedController*> chosen_ones;
    if (r.database.empty()) {
        for (auto& s : controllers_) {
            chosen_ones.push_back(s.get());
        }
    } else if (ServedController* s = chosen(c, r)) {
        chosen_ones.push_back(s);
    } else {
        return;
    }
    // The stores first, then the events handed on since: with the controllers held, those
    // handed on and the live ones meet without a gap.
    std::vector<std::vector<StoredEvent>> stored;
    for (ServedController* s : chosen_ones) {
        std::string error;
        stored.push_back(backlog_of(s->database_path(), r.backlog, &error));
        if (!error.empty()) {
            std::cerr << "tessaryd: " << history_path(s->database_path()) << ": " << error << "\n";
        }
    }
    std::vector<std::deque<Recent>> recent(chosen_ones.size());
    holding(chosen_ones, 0, [&] {
        take_notices();
        for (size_t i = 0; r.backlog && i < chosen_ones.size(); ++i) {
            recent[i] = recent_[chosen_ones[i]->serial()];
        }
        c.subscribed_all = c.subscribed_all || r.database.empty();
        if (!r.database.empty()) {
            c.subscriptions.insert(chosen_ones.front()->serial());
        }
        // Answered once subscribed: an event the client causes after the answer reaches it
        // live, with any backlog.
        send(c, ok_answer(r.id));
    });
    std::vector<std::pair<int64_t, std::string>> events;
    for (size_t i = 0; i < chosen_ones.size(); ++i) {
        const std::string more = ", \"database\": " + json_string(chosen_ones[i]->database_path());
        for (const StoredEvent& e : stored[i]) {
            events.emplace_back(e.time_ms, event_json(e, more));
        }
        // The newest stored event among those handed on lately: the ones after it are not
        // stored yet.
        auto after = recent[i].begin();
        if (!stored[i].empty()) {
            const auto& last = events.back();
            auto same = std::find_if(recent[i].rbegin(), recent[i].rend(), [&](const Recent& e) {
                return e.time_ms == last.first && e.json == last.second;
            });
            after = same != recent[i].rend()
                        ? same.base()
                        : std::find_if(recent[i].begin(), recent[i].end(),
                                       [&](const Recent& e) { return e.time_ms > last.first; });
        }
        for (; after != recent[i].end(); ++after) {
            events.emplace_back(after->time_ms, after->json);
        }
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    const size_t skip = events.size() > r.backlog ? events.size() - r.backlog : 0;
    for (size_t i = skip; i < events.size(); ++i) {
        send(c, "{\"event\": " + events[i].second + "}\n");
    }
}

void Service::holding(const std::vector<ServedController*>& controllers, size_t from,
                      const std::function<void()>& body) {
    if (from == controllers.size()) {
        body();
        return;
    }
    controllers[from]->host().run_on_ui([&] { holding(controllers, from + 1, body); });
}

void Service::command(Client& c, const Request& r, ServedController& s) {
    ControllerCommand command = ControllerCommand::Reset;
    if (r.op == RequestOp::Door) {
        command = r.door == 'B' ? ControllerCommand::OpenDoorB : ControllerCommand::OpenDoorA;
    } else if (r.op == RequestOp::Clear) {
        command = ControllerCommand::ClearMemory;
    }
    if (s.session()->link_state() != LinkState::Connected) {
        send(c, error_answer(r.id, s.database_path() + ": the controller is not connected"));
        return;
    }
    if (!s.session()->send(command)) {
        send(c, error_answer(r.id, s.database_path() + ": the command could not be sent"));
        return;
    }
    send(c, ok_answer(r.id));
}

void Service::start_run(Client& c, const Request& r, ServedController& s) {
    if (pending_.count(s.serial())) {
        send(c, error_answer(r.id,
                             s.database_path() + ": a synchronization or comparison is running"));
        return;
    }
    bool started = false;
    s.host().run_on_ui([&] {
        if (r.op == RequestOp::Compare) {
            started = s.session()->compare();
            return;
        }
        SyncOptions options;
        options.extra_keys = r.extras;
        options.verify = r.verify;
        options.on_compared = [&s](const KeyDifference& diff) { s.compared(diff); };
        started = s.session()->synchronize(options);
    });
    if (!started) {
        send(c, error_answer(r.id,
                             s.database_path() + ": a synchronization or comparison is running"));
        return;
    }
    pending_[s.serial()] = Pending{c.serial, r.id, r.op, {}, {}};
}

void Service::take_notices() {
    std::vector<Notice> notices;
    {
        std::lock_guard lock(notices_mutex_);
        notices.swap(notices_);
    }
    for (Notice& n : notices) {
        hand_on(n);
    }
}

void Service::hand_on(Notice& n) {
    auto p = pending_.find(n.controller);
    switch (n.kind) {
    case Notice::Kind::Link:
        publish_to_mqtt(n);
        return;
    case Notice::Kind::Door:
        door_from_mqtt(n);
        return;
    case Notice::Kind::Event: {
        publish_to_mqtt(n);
        // The store is written once a second, or later while it is busy.
        std::deque<Recent>& recent = recent_[n.controller];
        const uint64_t now = now_ms();
        recent.push_back({n.time_ms, now, n.json});
        while (recent.size() > max_recent_events || now - recent.front().taken_ms > recent_ms) {
            recent.pop_front();
        }
        for (auto& c : clients_) {
            if (c->subscribed_all || c->subscriptions.count(n.controller)) {
                send(*c, "{\"event\": " + n.json + "}\n");
            }
        }
        if (p != pending_.end() && n.event_kind == EventKind::Sync) {
            p->second.report += (p->second.report.empty() ? "" : "\n") + n.text;
        }
        return;
    }
    case Notice::Kind::Message:
        if (p != pending_.end()) {
            p->second.report += (p->second.report.empty() ? "" : "\n") + n.text;
            p->second.boxes += std::string(p->second.boxes.empty() ? "" : ", ") +
                               "{\"caption\": " + json_string(n.caption) +
                               ", \"text\": " + json_string(n.text) +
                               ", \"icon\": " + json_string(msg_icon_name(n.icon)) + "}";
        }
        return;
    case Notice::Kind::Status:
        // The run's phase, for a desk's status bar; a status between runs concerns nobody.
        if (p != pending_.end() && p->second.op == RequestOp::Sync) {
            send_to(p->second.client,
                    "{\"id\": " + p->second.id + ", \"status\": " + json_string(n.text) + "}\n");
        }
        return;
    case Notice::Kind::Progress:
        if (p != pending_.end()) {
            send_to(p->second.client, "{\"id\": " + p->second.id +
                                          ", \"progress\": {\"done\": " + std::to_string(n.done) +
                                          ", \"total\": " + std::to_string(n.total) + "}}\n");
        }
        return;
    case Notice::Kind::SyncDone:
    case Notice::Kind::CompareDone:
        break;
    }
    if (p == pending_.end()) {
        return;
    }
    const Pending done = std::move(p->second);
    pending_.erase(p);
    answer_run(done, n);
}

void Service::answer_run(const Pending& done, const Notice& n) {
    const bool ok = n.result == SyncResult::Done || n.result == SyncResult::UpToDate;
    std::string fields = "\"result\": " + json_string(sync_result_text(n.result)) +
                         ", \"code\": " + json_string(sync_result_name(n.result));
    if (n.kind == Notice::Kind::CompareDone && n.result == SyncResult::Done) {
        fields += ", \"lacking\": " + key_list_json(n.diff.to_add) +
                  ", \"extra\": " + key_list_json(n.diff.extra) +
                  ", \"expired\": " + key_list_json(n.diff.expired) +
                  ", \"master\": " + key_list_json({n.diff.master});
    } else if (n.kind == Notice::Kind::SyncDone) {
        fields += ", \"report\": " + json_string(done.report) + ", \"boxes\": [" + done.boxes + "]";
        if (n.result == SyncResult::ExtrasRefused) {
            // Enough for a desk to ask its user, and to keep the keys in its own database.
            fields += ", \"extra\": " + key_list_json(n.diff.extra) +
                      ", \"master\": " + key_list_json({n.diff.master});
        }
    }
    if (ok) {
        send_to(done.client, ok_answer(done.id, fields));
    } else {
        send_to(done.client, "{\"id\": " + done.id + ", \"ok\": false, \"error\": " +
                                 json_string(sync_result_text(n.result)) + ", " + fields + "}\n");
    }
}
