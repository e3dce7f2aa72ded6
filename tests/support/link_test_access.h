// The link's insides for tests and the fuzzer that play the comm thread on their own thread:
// they raise the active flag, post raw request bits, hand over a transfer without waiting for
// it, and run a comm engine of their own on the link's state.
#pragma once

#include "controller/link.h"

#include <vector>

struct LinkTestAccess {
    static LinkShared& shared(Link& link) { return link; }
    static void set_active(Link& link, bool active) { link.comm_active_.store(active); }
    static void set_requests(Link& link, uint32_t bits) { link.request_bits_.store(bits); }
    static void start_transfer(Link& link, std::vector<KeyId> keys, bool add) {
        std::lock_guard lock(link.mutex_);
        link.transfer_add_ = add;
        link.transfer_keys_ = std::move(keys);
        link.transfer_acked_ = 0;
    }
    // A stop and a start in one go, as far as a waiter comparing start counts can tell.
    static void count_restart(Link& link) { link.comm_starts_.fetch_add(1); }
};
