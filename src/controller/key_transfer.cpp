// Key transfers: the synchronize thread hands an array of keys to the comm thread, which loads
// one "n"/"d" command per key, last element first; the reply parser counts acknowledgements.
#include "controller/link_steps.h"

namespace {

bool wait_for_transfer(LinkContext& link, const KeyId* keys, int32_t count, bool add,
                       const TransferProgress* progress) {
    link.transfer_add.store(add, std::memory_order_relaxed);
    link.transfer_keys.store(keys, std::memory_order_relaxed);
    link.transfer_acked.store(0, std::memory_order_relaxed);
    // The count goes last and with release: it starts the comm thread's transfer step, which
    // must then see the mode, the array and the zeroed acknowledgements.
    link.transfer_remaining.store(count, std::memory_order_release);

    auto all_acked = [&] { return link.transfer_acked.load(std::memory_order_acquire) == count; };
    auto report = [&] {
        if (progress && *progress) {
            (*progress)(link.transfer_acked.load(std::memory_order_acquire), count);
        }
    };
    if (count != 0) {
        for (;;) {
            if (!comm_active(link)) {
                return false;
            }
            link.clock.sleep_ms(transfer_poll_ms);
            report();
            if (link.transfer_remaining.load(std::memory_order_acquire) == 0) {
                break;
            }
        }
    }
    uint32_t start = link.clock.tick_ms();
    if (all_acked()) {
        return true;
    }
    for (;;) {
        if (link.clock.tick_ms() - start >= transfer_ack_ms) {
            return all_acked();
        }
        if (!comm_active(link)) {
            return false;
        }
        link.clock.sleep_ms(transfer_poll_ms);
        report();
        if (all_acked()) {
            return true;
        }
    }
}

// The last report comes after the result is known, so that a caller showing progress sees the
// final count even when the acknowledgements completed between two polls.
bool send_keys(LinkContext& link, const KeyId* keys, int32_t count, bool add,
               const TransferProgress* progress) {
    bool ok = wait_for_transfer(link, keys, count, add, progress);
    if (progress && *progress) {
        (*progress)(link.transfer_acked.load(std::memory_order_acquire), count);
    }
    return ok;
}

} // namespace

bool send_add_keys(LinkContext& link, const KeyId* keys, int32_t count) {
    return send_keys(link, keys, count, true, nullptr);
}

bool send_delete_keys(LinkContext& link, const KeyId* keys, int32_t count) {
    return send_keys(link, keys, count, false, nullptr);
}

bool send_add_keys(LinkContext& link, const KeyId* keys, int32_t count,
                   const TransferProgress& progress) {
    return send_keys(link, keys, count, true, &progress);
}

bool send_delete_keys(LinkContext& link, const KeyId* keys, int32_t count,
                      const TransferProgress& progress) {
    return send_keys(link, keys, count, false, &progress);
}

void transfer_step(LinkContext& link) {
    if (command_has_unsent(link.comm)) {
        return;
    }
    int32_t remaining = link.transfer_remaining.load(std::memory_order_acquire);
    if (remaining <= 0) {
        return;
    }
    bool add = link.transfer_add.load(std::memory_order_relaxed);
    const KeyId* keys = link.transfer_keys.load(std::memory_order_relaxed);
    BufferPtr text = make_buffer(2000);
    buffer_push(text.get(), add ? 'n' : 'd');
    --remaining;
    buffer_append_hex(text.get(), static_cast<int32_t>(keys[remaining].number), 6);
    // The element is read before the count is published: once the caller sees 0 it may return
    // (a time-out, or acknowledgements counted early) and free the array.
    link.transfer_remaining.store(remaining, std::memory_order_release);
    buffer_push(text.get(), '\r');
    load_command(link, buffer_text(text.get()));
}
