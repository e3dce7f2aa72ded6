// Runs a piece of a test in a forked child (to change what only a process can change: its
// user, its network namespace) and hands back the text it produced.
#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>

// The child runs `prepare` (false: it cannot, and nothing is returned), then `work`, whose text
// comes back. Nothing as well when the child did not finish cleanly.
inline std::optional<std::string> text_from_child(const std::function<bool()>& prepare,
                                                  const std::function<std::string()>& work) {
    int out[2];
    if (pipe(out) != 0) {
        return std::nullopt;
    }
    pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        if (!prepare()) {
            _exit(2);
        }
        const std::string text = work();
        ssize_t n = write(out[1], text.data(), text.size());
        _exit(n == static_cast<ssize_t>(text.size()) ? 0 : 3);
    }
    close(out[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) {
        text.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    return text;
}

// For `prepare`: the identity of an unprivileged user (nobody), without root's groups.
inline bool become_nobody() {
    return setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
}
