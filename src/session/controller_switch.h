// The controller a window drives: its own session, or for a while another that serves the same
// controller (the service's, reached over its socket). The window's commands and its view keep
// one object to talk to while the one behind it changes; the observers follow the change.
#pragma once

#include "session/controller_access.h"

#include <algorithm>
#include <vector>

class ControllerSwitch final : public ControllerAccess {
  public:
    explicit ControllerSwitch(ControllerAccess& own) : own_(own), current_(&own) {}

    // `other` is driven instead of the own session until use_own(); it must outlive that.
    void use(ControllerAccess& other) { move_observers_to(other); }
    void use_own() { move_observers_to(own_); }
    bool using_own() const { return current_ == &own_; }

    void add_observer(SessionObserver* observer) override {
        observers_.push_back(observer);
        current_->add_observer(observer);
    }
    void remove_observer(SessionObserver* observer) override {
        observers_.erase(std::remove(observers_.begin(), observers_.end(), observer),
                         observers_.end());
        current_->remove_observer(observer);
    }
    void start(uint32_t port) override { current_->start(port); }
    void stop() override { current_->stop(); }
    LinkState link_state() const override { return current_->link_state(); }
    bool send(ControllerCommand command) override { return current_->send(command); }
    bool synchronize(const SyncOptions& options) override { return current_->synchronize(options); }
    bool compare() override { return current_->compare(); }

  private:
    void move_observers_to(ControllerAccess& next) {
        if (&next == current_) {
            return;
        }
        for (SessionObserver* o : observers_) {
            current_->remove_observer(o);
            next.add_observer(o);
        }
        current_ = &next;
    }

    ControllerAccess& own_;
    ControllerAccess* current_;
    std::vector<SessionObserver*> observers_;
};
