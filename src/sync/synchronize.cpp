#include "sync/synchronize.h"

#include "core/buffer.h"
#include "events/log_file.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

namespace {

bool cancelled(const SyncContext& ctx) {
    return ctx.cancel.load(std::memory_order_acquire);
}

// The window belongs to the user-interface thread; after a cancel it may be going away, so
// nothing more is sent to it.
void on_ui(SyncContext& ctx, const std::function<void()>& fn) {
    if (!cancelled(ctx)) {
        ctx.host.run_on_ui(fn);
    }
}

void show_progress(SyncContext& ctx, int done, int total) {
    if (ctx.observer) {
        on_ui(ctx, [&] { ctx.observer->sync_progress(done, total); });
    }
}

void show_status(SyncContext& ctx, const char* text) {
    on_ui(ctx, [&] { ctx.host.set_status_text(text); });
}

MsgAnswer ask(SyncContext& ctx, const char* caption, const char* text, MsgIcon icon,
              MsgButtons buttons = MsgButtons::Ok, MsgAnswer default_button = MsgAnswer::Ok) {
    if (cancelled(ctx)) {
        return MsgAnswer::Cancel;
    }
    return ctx.host.message_box(caption, text, icon, buttons, default_button);
}

// Ends when the decoder reports the read-out's end or the controller's silence, or when the
// comm thread that was asked for the read-out is gone: a stopped or restarted thread, or one
// whose port broke, never delivers it, and waiting on would leave Synchronize disabled for good.
SyncResult wait_for_readout(SyncContext& ctx, uint32_t starts, uint32_t bytes) {
    DecoderState& s = ctx.decoder_state;
    Link& link = ctx.link;
    uint32_t lines = s.readout_lines.load(std::memory_order_acquire);
    uint32_t last_progress = ctx.clock.tick_ms();
    for (;;) {
        // Taken before the looks below: a change after them ends the wait at once.
        uint64_t seen = link.changes();
        if (s.readout_done.load(std::memory_order_acquire)) {
            break;
        }
        uint32_t now_lines = s.readout_lines.load(std::memory_order_acquire);
        if (now_lines != lines) {
            lines = now_lines;
            last_progress = ctx.clock.tick_ms();
        }
        uint32_t silent = ctx.clock.tick_ms() - last_progress;
        if (silent >= readout_silence_ms && link.bytes_received() != bytes) {
            // The unit talks but sends no key lines; a unit that says nothing at all is left
            // to the no-response report.
            return SyncResult::ReadoutMissing;
        }
        if (s.no_response_seen.load(std::memory_order_acquire)) {
            return SyncResult::NoAnswer;
        }
        if (link.lost()) {
            return SyncResult::ConnectionLost;
        }
        if (!link.active() || link.starts() != starts) {
            return SyncResult::CommStopped;
        }
        if (cancelled(ctx)) {
            return SyncResult::Shutdown;
        }
        link.wait_change(seen, silent >= readout_silence_ms ? readout_silence_ms
                                                            : readout_silence_ms - silent);
    }
    if (s.no_response_seen.load(std::memory_order_acquire)) {
        return SyncResult::NoAnswer;
    }
    return SyncResult::Done;
}

Day sync_day(SyncContext& ctx) {
    if (ctx.today) {
        return ctx.today();
    }
    LocalTime t = ctx.clock.local_time();
    return day_from_date(t.year, t.month, t.day).value_or(Day{});
}

// A database key outside its days counts as absent: not added, and deleted where the
// controller holds it.
void apply_validity(const SyncContext& ctx, KeyDifference& c, Day today) {
    auto invalid = [&](const KeyId& id) {
        const KeyRecord* k = ctx.key_database.keys.row(ctx.key_database.keys.find(id));
        return k && !key_valid_on(*k, today);
    };
    std::erase_if(c.to_add, invalid);
    for (int row = 0; row < ctx.key_database.keys.size(); ++row) {
        const KeyRecord* k = ctx.key_database.keys.row(row);
        if (key_valid_on(*k, today)) {
            continue;
        }
        const KeyRecord* held = ctx.controller_keys.row(ctx.controller_keys.find(k->id));
        if (held && held->id == k->id) {
            c.expired.push_back(held->id);
        }
    }
}

// Both lists are read together on the user-interface thread, so that the decoder cannot change
// one between the two reads. A key outside its days is deleted whatever the answer about extra
// keys, since the database says it must not open today.
KeyDifference compare_lists(SyncContext& ctx) {
    KeyDifference c;
    Day today = sync_day(ctx);
    on_ui(ctx, [&] {
        const KeyRecord* master = ctx.controller_keys.row(0);
        c.master = master ? master->id : KeyId{};
        int count_a = ctx.key_database.keys.size();
        int count_b = ctx.controller_keys.size();
        c.to_add.resize(static_cast<size_t>(count_a));
        c.extra.resize(static_cast<size_t>(count_b));
        key_list_difference(ctx.key_database.keys, ctx.controller_keys, c.to_add.data(),
                            c.extra.data(), &count_a, &count_b);
        c.to_add.resize(static_cast<size_t>(count_a));
        c.extra.resize(static_cast<size_t>(count_b));
        apply_validity(ctx, c, today);
    });
    return c;
}

// Yes to the question: the controller's extra keys become database rows, named as still to be
// named, with a free-field note of where they came from. They stay in the controller.
void keep_extra_keys(SyncContext& ctx, const KeyDifference& c) {
    std::string when = log_time_text(ctx.clock.local_time());
    on_ui(ctx, [&] {
        add_kept_keys(ctx.key_database.keys, c, when);
        if (ctx.observer) {
            ctx.observer->keys_kept();
        }
    });
}

// One phase: the status text, the progress bar from 0 of n, and the transfer. The bar follows
// the acknowledgements as the transfer polls them; an unchanged count is not sent again.
bool transfer_phase(SyncContext& ctx, const char* status, const std::vector<KeyId>& keys,
                    bool add) {
    show_status(ctx, status);
    int32_t count = static_cast<int32_t>(keys.size());
    int32_t shown = 0;
    show_progress(ctx, 0, count);
    TransferProgress progress = [&](int32_t acked, int32_t total) {
        // Acknowledgements are counted, not matched: a stray one must not overfill the bar.
        acked = std::clamp(acked, 0, total);
        if (acked != shown) {
            shown = acked;
            show_progress(ctx, acked, total);
        }
    };
    return add ? send_add_keys(ctx.link, keys, progress)
               : send_delete_keys(ctx.link, keys, progress);
}

// The read-out and the comparison, for Synchronize, its verify and the compare command alike.
// Shows nothing: the callers say what each outcome means to them.
SyncResult read_back(SyncContext& ctx, KeyDifference& diff, bool only_compares) {
    DecoderState& s = ctx.decoder_state;
    s.readout_only_compares.store(only_compares, std::memory_order_release);
    s.readout_done.store(false, std::memory_order_release);
    s.no_response_seen.store(false, std::memory_order_release);
    s.readout_failed.store(false, std::memory_order_release);

    // Taken before the post, so that a restart between the two is taken for a lost request
    // rather than missed.
    uint32_t starts = ctx.link.starts();
    // Also before the post: a unit that answers at once must not count as a silent one.
    uint32_t bytes = ctx.link.bytes_received();
    if (!ctx.link.post(request_readout)) {
        return SyncResult::NoPort;
    }
    SyncResult waited = wait_for_readout(ctx, starts, bytes);
    if (waited != SyncResult::Done) {
        return waited;
    }
    diff = compare_lists(ctx);
    diff.readout_incomplete = s.readout_failed.load(std::memory_order_acquire);
    return cancelled(ctx) ? SyncResult::Shutdown : SyncResult::Done;
}

void append_keys(std::string& text, const char* heading, const std::vector<KeyId>& keys) {
    if (keys.empty()) {
        return;
    }
    text += "\n\n";
    text += heading;
    size_t listed = std::min(keys.size(), sync_verify_listed_keys);
    for (size_t i = 0; i < listed; ++i) {
        text += i % 10 == 0 ? "\n" : " ";
        text += key_number_text(keys[i].number & key_number_mask);
    }
    if (keys.size() > listed) {
        text += " and " + std::to_string(keys.size() - listed) + " more";
    }
}

// The second read-out after a run that would say "now up to date". Only its own finding is
// reported: a read-back that cannot be had leaves the run unconfirmed, which the data error
// says.
SyncResult verify_run(SyncContext& ctx) {
    KeyDifference after;
    SyncResult read = read_back(ctx, after, true);
    if (read == SyncResult::Shutdown || cancelled(ctx)) {
        return SyncResult::Shutdown;
    }
    if (read != SyncResult::Done || after.readout_incomplete) {
        ask(ctx, sync_caption, sync_text_data_error, MsgIcon::Error);
        return SyncResult::DataError;
    }
    if (!after.empty()) {
        KeyDifference shown = after;
        // An expired key still held is one the controller should not hold.
        shown.extra.insert(shown.extra.end(), after.expired.begin(), after.expired.end());
        ask(ctx, sync_caption, verify_failed_text(shown).c_str(), MsgIcon::Error);
        return SyncResult::VerifyFailed;
    }
    ask(ctx, sync_caption, sync_text_now_up_to_date, MsgIcon::Information);
    return SyncResult::Done;
}

// The read-out and its comparison with the database; a result when the run ends there.
std::optional<SyncResult> read_and_compare(SyncContext& ctx, KeyDifference& c) {
    SyncResult read = read_back(ctx, c, false);
    if (read == SyncResult::ReadoutMissing || read == SyncResult::ConnectionLost) {
        // Nothing has been compared or sent; say so rather than end without a word.
        ask(ctx, sync_caption, sync_text_data_error, MsgIcon::Error);
        return read;
    }
    if (read != SyncResult::Done) {
        return read;
    }
    if (c.readout_incomplete) {
        MsgAnswer go_on = ask(ctx, sync_caption, sync_text_readout_incomplete, MsgIcon::Error,
                              MsgButtons::OkCancel, MsgAnswer::Cancel);
        if (cancelled(ctx)) {
            return SyncResult::Shutdown;
        }
        if (go_on != MsgAnswer::Ok) {
            return SyncResult::ReadoutAbandoned;
        }
    }
    if (ctx.on_compared) {
        ctx.on_compared(c);
    }
    if (c.empty()) {
        ask(ctx, sync_caption, sync_text_already_up_to_date, MsgIcon::Information);
        return cancelled(ctx) ? SyncResult::Shutdown : SyncResult::UpToDate;
    }
    return std::nullopt;
}

// Keys only the controller holds are kept (and added to the database) or deleted, as the user
// or the caller chose; a result when the run ends there.
std::optional<SyncResult> decide_extra_keys(SyncContext& ctx, const KeyDifference& c,
                                            bool& delete_extra) {
    delete_extra = false;
    if (c.extra.empty()) {
        return std::nullopt;
    }
    MsgAnswer answer = MsgAnswer::Cancel;
    switch (ctx.extra_keys) {
    case ExtraKeys::Ask:
        answer = ask(ctx, sync_caption, sync_text_extra_keys, MsgIcon::Question,
                     MsgButtons::YesNoCancel, MsgAnswer::No);
        break;
    case ExtraKeys::Keep:
        answer = MsgAnswer::Yes;
        break;
    case ExtraKeys::Delete:
        answer = MsgAnswer::No;
        break;
    case ExtraKeys::Refuse:
        return SyncResult::ExtrasRefused;
    }
    if (cancelled(ctx)) {
        return SyncResult::Shutdown;
    }
    if (answer == MsgAnswer::Yes) {
        keep_extra_keys(ctx, c);
    } else if (answer == MsgAnswer::No) {
        delete_extra = true;
    } else {
        return SyncResult::Cancelled;
    }
    return std::nullopt;
}

// The delete phase, then the add phase; false when either failed.
bool transfer_differences(SyncContext& ctx, const KeyDifference& c, bool delete_extra) {
    bool all_ok = true;
    bool showed_progress = false;
    // Deleting first makes room in the controller's key memory for the adds.
    std::vector<KeyId> to_delete = c.expired;
    if (delete_extra) {
        to_delete.insert(to_delete.end(), c.extra.begin(), c.extra.end());
    }
    if (!to_delete.empty()) {
        showed_progress = true;
        if (!transfer_phase(ctx, sync_status_deleting, to_delete, false)) {
            all_ok = false;
        }
    }
    if (!c.to_add.empty()) {
        showed_progress = true;
        if (!transfer_phase(ctx, sync_status_adding, c.to_add, true)) {
            all_ok = false;
        }
    }
    if (showed_progress) {
        show_progress(ctx, 0, -1);
    }
    return all_ok;
}

SyncResult run_steps(SyncContext& ctx) {
    DecoderState& s = ctx.decoder_state;
    KeyDifference c;
    if (std::optional<SyncResult> ended = read_and_compare(ctx, c)) {
        return *ended;
    }
    bool delete_extra = false;
    if (std::optional<SyncResult> ended = decide_extra_keys(ctx, c, delete_extra)) {
        return *ended;
    }
    s.page_full_seen.store(false, std::memory_order_release);
    const bool all_ok = transfer_differences(ctx, c, delete_extra);
    if (cancelled(ctx)) {
        return SyncResult::Shutdown;
    }
    if (s.page_full_seen.load(std::memory_order_acquire)) {
        ask(ctx, sync_no_room_caption, sync_text_no_room, MsgIcon::Error);
        return SyncResult::NoRoom;
    }
    if (all_ok) {
        if (ctx.verify) {
            return verify_run(ctx);
        }
        ask(ctx, sync_caption, sync_text_now_up_to_date, MsgIcon::Information);
        return SyncResult::Done;
    }
    ask(ctx, sync_caption, sync_text_data_error, MsgIcon::Error);
    return SyncResult::DataError;
}

} // namespace

SyncResult synchronize_keys(SyncContext& ctx) {
    on_ui(ctx, [&] {
        if (ctx.observer) {
            ctx.observer->sync_running(true);
        }
        ctx.host.set_status_text(sync_status_checking);
    });
    SyncResult result = run_steps(ctx);
    if (cancelled(ctx)) {
        return SyncResult::Shutdown;
    }
    on_ui(ctx, [&] {
        ctx.host.set_status_text(sync_status_ready);
        if (ctx.observer) {
            ctx.observer->sync_running(false);
        }
    });
    return result;
}

SyncResult compare_with_controller(SyncContext& ctx, KeyDifference& diff) {
    diff = KeyDifference{};
    return read_back(ctx, diff, true);
}

std::string verify_failed_text(const KeyDifference& diff) {
    std::string text = sync_text_verify_failed;
    append_keys(text, sync_text_verify_lacks, diff.to_add);
    append_keys(text, sync_text_verify_extra, diff.extra);
    return text;
}

void add_kept_keys(KeyList& keys, const KeyDifference& diff, const std::string& when) {
    for (const KeyId& key : diff.extra) {
        keys.add(key, sync_kept_key_name, {},
                 (key == diff.master ? sync_kept_master_text : sync_kept_key_text) + when);
    }
}

namespace {

constexpr std::array<const char*, 14> sync_result_names = {
    "no-port",         "no-answer",       "comm-stopped",
    "connection-lost", "readout-missing", "readout-abandoned",
    "up-to-date",      "cancelled",       "done",
    "no-room",         "data-error",      "shutdown",
    "verify-failed",   "extras-refused"};
static_assert(sync_result_names.size() == static_cast<size_t>(SyncResult::ExtrasRefused) + 1);

} // namespace

const char* sync_result_name(SyncResult result) {
    return sync_result_names[static_cast<size_t>(result)];
}

std::optional<SyncResult> parse_sync_result_name(std::string_view name) {
    for (size_t i = 0; i < sync_result_names.size(); ++i) {
        if (name == sync_result_names[i]) {
            return static_cast<SyncResult>(i);
        }
    }
    return std::nullopt;
}
