// The Qt host with its boxes and file dialogs scripted: every box asked for is recorded; in
// scripted mode nothing is shown, a box takes the next queued answer (its default button when
// none is queued) and a file dialog the next queued choice (cancelled when none is queued).
#pragma once

#include "ui/host/qt_host.h"
#include "ui/window/app.h"

#include <deque>
#include <mutex>
#include <optional>
#include <vector>

class ScriptedQtHost final : public QtHost {
  public:
    void set_scripted(bool scripted) {
        std::lock_guard lock(mutex_);
        scripted_ = scripted;
    }
    void push_answer(MsgAnswer answer) {
        std::lock_guard lock(mutex_);
        answers_.push_back(answer);
    }
    void push_file_choice(std::optional<FileChoice> choice) {
        std::lock_guard lock(mutex_);
        file_choices_.push_back(std::move(choice));
    }
    // Every box asked for so far, shown or scripted, in order.
    std::vector<ShownBox> boxes() const {
        std::lock_guard lock(mutex_);
        return boxes_;
    }
    void clear_boxes() {
        std::lock_guard lock(mutex_);
        boxes_.clear();
    }

  protected:
    MsgAnswer show_box(const ShownBox& box) override {
        {
            std::lock_guard lock(mutex_);
            boxes_.push_back(box);
            if (scripted_) {
                if (answers_.empty()) {
                    return box.default_button;
                }
                MsgAnswer answer = answers_.front();
                answers_.pop_front();
                return answer;
            }
        }
        return QtHost::show_box(box);
    }
    void show_notice(const ShownBox& box) override {
        {
            std::lock_guard lock(mutex_);
            boxes_.push_back(box);
            if (scripted_) {
                return;
            }
        }
        QtHost::show_notice(box);
    }
    std::optional<FileChoice> file_dialog(bool save) override {
        {
            std::lock_guard lock(mutex_);
            if (scripted_) {
                if (file_choices_.empty()) {
                    return std::nullopt;
                }
                auto choice = file_choices_.front();
                file_choices_.pop_front();
                return choice;
            }
        }
        return QtHost::file_dialog(save);
    }

  private:
    mutable std::mutex mutex_; // the queues and the record; boxes come from any thread
    bool scripted_ = false;
    std::deque<MsgAnswer> answers_;
    std::deque<std::optional<FileChoice>> file_choices_;
    std::vector<ShownBox> boxes_;
};

// An application with a scripted host, and that host.
inline std::unique_ptr<App> make_scripted_app(Clock& clock) {
    auto app = std::make_unique<App>(clock, std::make_unique<ScriptedQtHost>());
    static_cast<ScriptedQtHost&>(app->host).set_scripted(true);
    return app;
}
inline ScriptedQtHost& scripted_host(App& app) {
    return dynamic_cast<ScriptedQtHost&>(app.host);
}
