#include "cli/database_input.h"
#include "cli/cli_host.h"
#include "cli/exit_codes.h"

#include "database/database_save.h"
#include "database/tsy_file.h"
#include "platform/file.h"
#include "platform/host.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

// No window: a message box becomes a line on standard error and takes its default answer.
struct StderrHost final : Host {
    explicit StderrHost(std::ostream& err, std::string prefix)
        : err(err), prefix(std::move(prefix)) {}
    MsgAnswer message_box(const std::string&, const std::string& text, MsgIcon, MsgButtons,
                          MsgAnswer default_button) override {
        err << prefix << one_line(text) << "\n";
        return default_button;
    }
    void run_on_ui(const std::function<void()>& fn) override { fn(); }
    bool wait_serving_ui(const std::function<bool()>& done, uint32_t) override { return done(); }
    void set_status_text(const std::string&) override {}
    void set_title(const std::string&) override {}
    std::optional<FileChoice> open_file_dialog() override { return std::nullopt; }
    std::optional<FileChoice> save_file_dialog() override { return std::nullopt; }

    std::ostream& err;
    std::string prefix;
};

int open_failure(const std::string& path, const File& file, std::ostream& err) {
    const std::error_code& cause = file.open_error();
    err << "tessary-cli: " << path << ": " << cause.message() << "\n";
    if (cause.category() == file_kind_category()) {
        return ExitDataError;
    }
    return cause.value() == EIO ? ExitIoError : ExitNoInput;
}

} // namespace

int load_database_file(DatabaseContents& rec, const std::string& path, std::ostream& err) {
    File file = File::open_database(path);
    if (!file.is_open()) {
        return open_failure(path, file, err);
    }
    remove_save_leftovers(path);
    rec.reset();
    StderrHost host(err, "tessary-cli: " + path + ": ");
    const ReadResult read = read_database(rec, file, false, host);
    if (!read.is_database()) {
        err << "tessary-cli: " << path << ": not a Tessary database: " << read.not_a_database
            << "\n";
        return ExitDataError;
    }
    // The window's warning, a line at a time, each naming the file as the other messages do.
    const std::string warning = read_problems_text(read, false);
    for (size_t start = 0; start < warning.size();) {
        size_t end = std::min(warning.find('\n', start), warning.size());
        if (end > start) {
            err << "tessary-cli: " << path << ": " << warning.substr(start, end - start) << "\n";
        }
        start = end + 1;
    }
    return ExitOk;
}

int read_input_file(const std::string& path, std::string& text, std::ostream& err) {
    File file;
    int fd = STDIN_FILENO;
    if (path != "-") {
        file = File::open_read(path);
        if (!file.is_open()) {
            return open_failure(path, file, err);
        }
        fd = file.fd();
    }
    text.clear();
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            err << "tessary-cli: " << path << ": " << std::strerror(errno) << "\n";
            return errno == EISDIR ? ExitNoInput : ExitIoError;
        }
        if (n == 0) {
            return ExitOk;
        }
        text.append(chunk, static_cast<size_t>(n));
    }
}
