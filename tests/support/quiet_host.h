// A Host that shows nothing: every box takes its default answer and run_on_ui runs inline.
// For fuzz targets and benchmarks, where nobody answers and nothing is checked.
#pragma once

#include "platform/host.h"

struct QuietHost final : Host {
    MsgAnswer message_box(const std::string&, const std::string&, MsgIcon, MsgButtons,
                          MsgAnswer default_button) override {
        return default_button;
    }
    void run_on_ui(const std::function<void()>& fn) override { fn(); }
    bool wait_serving_ui(const std::function<bool()>& done, uint32_t) override { return done(); }
    void set_status_text(const std::string&) override {}
    void set_title(const std::string&) override {}
    std::optional<FileChoice> open_file_dialog() override { return std::nullopt; }
    std::optional<FileChoice> save_file_dialog() override { return std::nullopt; }
};
