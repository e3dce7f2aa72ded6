// Key transfers: the synchronize thread hands its keys to the comm thread, which loads one
// "n"/"d" command per key, last element first; the reply parser counts acknowledgements.
#include "controller/link.h"

#include <algorithm>

namespace {

// Long enough that the loading wait looks at the link seldom when nothing moves; every change
// of the comm thread (a key loaded, its end) wakes it at once.
constexpr uint32_t loading_recheck_ms = 5000;

} // namespace

int32_t Link::transfer_remaining() const {
    std::lock_guard lock(mutex_);
    return static_cast<int32_t>(transfer_keys_.size());
}

int32_t Link::transfer_acked() const {
    std::lock_guard lock(mutex_);
    return transfer_acked_;
}

std::optional<TransferKey> Link::take_transfer_key() {
    std::optional<TransferKey> taken;
    {
        std::lock_guard lock(mutex_);
        if (transfer_keys_.empty()) {
            return taken;
        }
        taken = TransferKey{transfer_add_, transfer_keys_.back()};
        transfer_keys_.pop_back();
        ++change_count_;
    }
    changed_.notify_all();
    return taken;
}

void Link::count_acknowledgement() {
    {
        std::lock_guard lock(mutex_);
        ++transfer_acked_;
        ++change_count_;
    }
    changed_.notify_all();
}

bool Link::take_request(uint32_t bit) {
    // An atomic AND: a bit posted while the comm thread clears another is never lost.
    return (request_bits_.fetch_and(~bit, std::memory_order_acq_rel) & bit) != 0;
}

void Link::forget_requests() {
    request_bits_.store(0, std::memory_order_release);
    std::lock_guard lock(mutex_);
    transfer_keys_.clear();
}

bool Link::transfer(bool add, std::vector<KeyId> keys, const TransferProgress* progress) {
    const int32_t count = static_cast<int32_t>(keys.size());
    {
        std::lock_guard lock(mutex_);
        transfer_add_ = add;
        transfer_keys_ = std::move(keys);
        transfer_acked_ = 0;
    }
    wake();
    auto report = [&] {
        if (progress && *progress) {
            (*progress)(transfer_acked(), count);
        }
    };
    // Loading: as long as the comm thread lives; a silent controller never takes the next key,
    // and only a stop ends that.
    for (;;) {
        uint64_t seen = changes();
        if (transfer_remaining() == 0) {
            break;
        }
        if (!active() || lost()) {
            return false;
        }
        report();
        wait_change(seen, loading_recheck_ms);
    }
    // Then up to 5000 ms for the acknowledgements still missing.
    uint32_t start = clock.tick_ms();
    for (;;) {
        uint64_t seen = changes();
        if (transfer_acked() == count) {
            return true;
        }
        if (!active() || lost()) {
            return false;
        }
        uint32_t spent = clock.tick_ms() - start;
        if (spent >= transfer_ack_ms) {
            return false;
        }
        report();
        wait_change(seen, transfer_ack_ms - spent);
    }
}

namespace {

// The last report comes after the result is known, so that a caller showing progress sees the
// final count even when the acknowledgements completed without a wait.
bool send_keys(Link& link, std::vector<KeyId> keys, bool add, const TransferProgress& progress) {
    const int32_t count = static_cast<int32_t>(keys.size());
    bool ok = link.transfer(add, std::move(keys), &progress);
    if (progress) {
        progress(link.transfer_acked(), count);
    }
    return ok;
}

} // namespace

bool send_add_keys(Link& link, std::vector<KeyId> keys, const TransferProgress& progress) {
    return send_keys(link, std::move(keys), true, progress);
}

bool send_delete_keys(Link& link, std::vector<KeyId> keys, const TransferProgress& progress) {
    return send_keys(link, std::move(keys), false, progress);
}

void CommEngine::transfer_step() {
    if (command_has_unsent(c_)) {
        return;
    }
    std::optional<TransferKey> next = link_.take_transfer_key();
    if (!next) {
        return;
    }
    BufferPtr text = make_buffer(2000);
    buffer_push(text.get(), next->add ? 'n' : 'd');
    buffer_append_hex(text.get(), static_cast<int32_t>(next->key.number), 6);
    buffer_push(text.get(), '\r');
    load_command(buffer_text(text.get()));
}
