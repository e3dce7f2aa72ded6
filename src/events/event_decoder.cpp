#include "events/event_decoder.h"

#include "core/buffer.h"

namespace {

constexpr uint32_t key_text_cap = 100;
constexpr uint32_t event_text_cap = 2100;

void append_key_text(Buffer* b, const KeyId& key) {
    buffer_append_hex(b, static_cast<int32_t>(key.number), 6);
}

void log_line(DecoderContext& ctx, const Buffer* key_text, const Buffer* event_text,
              bool highlight) {
    ctx.log.add_log_line(buffer_view(key_text), buffer_view(event_text), highlight);
}

// A repeat of the same key within the window is dropped; all three words of the key must match.
bool is_key_repeat(const DecoderState& st, const KeyId& key, uint32_t now) {
    return st.last_key_seen && now - st.last_key_time < key_repeat_window_ms && key == st.last_key;
}

// Appends ": " and the name when the key database knows the key, and hands back its memo for
// the memo line.
void append_known_name(DecoderContext& ctx, const KeyId& key, Buffer* event_text, Buffer* memo) {
    const KeyList& keys = ctx.key_database.keys;
    if (const KeyRecord* known = keys.row(keys.find(key))) {
        buffer_append_bytes(memo, known->memo);
        buffer_append_text(event_text, ": ");
        buffer_append_bytes(event_text, known->name);
    }
}

void log_memo_line(DecoderContext& ctx, const Buffer* memo, Buffer* key_text, Buffer* event_text,
                   bool highlight) {
    buffer_clear(key_text);
    buffer_clear(event_text);
    buffer_append_text(event_text, "Memo: \"");
    buffer_append(event_text, memo);
    buffer_append_text(event_text, "\"");
    log_line(ctx, key_text, event_text, highlight);
}

// The key line and its memo line. Returns true when the door's opening went into the key line,
// so that the door line does not repeat it.
bool report_key_event(DecoderContext& ctx, const EventRecord& rec, const KeyId& key, uint32_t now,
                      Buffer* key_text, Buffer* event_text) {
    DecoderState& st = ctx.state;
    if (is_key_repeat(st, key, now)) {
        return false;
    }
    append_key_text(key_text, key);
    // Only the controller's flags decide the verdict, not the key database.
    bool highlight = false;
    if (rec.key_master) {
        buffer_append_text(event_text, "Master key");
    } else if (rec.key_valid) {
        buffer_append_text(event_text, "Valid key");
    } else {
        buffer_append_text(event_text, "Invalid key detected");
        highlight = true;
    }
    BufferPtr memo = make_buffer(key_text_capacity);
    append_known_name(ctx, key, event_text, memo.get());
    buffer_append_text(event_text, ".");
    const bool door_reported = rec.door_open;
    if (door_reported) {
        int door = rec.door_b ? 1 : 0;
        buffer_append_text(event_text, rec.door_b ? "  Door B is open." : "  Door A is open.");
        st.door_open_time[door] = now;
        st.door_open_seen[door] = true;
    }
    log_line(ctx, key_text, event_text, highlight);
    if (buffer_remaining(memo.get()) > 0) {
        log_memo_line(ctx, memo.get(), key_text, event_text, highlight);
    }
    st.last_key_time = now;
    st.last_key = key;
    st.last_key_seen = true;
    return door_reported;
}

// Doors A and B are timed separately; a repeat within the window is dropped.
bool door_open_is_new(DecoderState& st, int door, uint32_t now) {
    if (st.door_open_seen[door] && now - st.door_open_time[door] < door_repeat_window_ms) {
        return false;
    }
    st.door_open_time[door] = now;
    st.door_open_seen[door] = true;
    return true;
}

// A shorted contact keeps reporting; it is logged at most once a window.
bool contact_shorted_is_new(DecoderState& st, uint32_t now) {
    if (st.contact_shorted_seen && now - st.contact_shorted_time <= contact_shorted_window_ms) {
        return false;
    }
    st.contact_shorted_time = now;
    st.contact_shorted_seen = true;
    return true;
}

// `door_open` is false when the key line has already told of the opening.
void report_door(DecoderContext& ctx, const EventRecord& rec, bool door_open, uint32_t now,
                 Buffer* key_text, Buffer* event_text) {
    DecoderState& st = ctx.state;
    int door = rec.door_b ? 1 : 0;
    if (door_open) {
        door_open = door_open_is_new(st, door, now);
    }
    bool shorted = rec.contact_shorted;
    if (shorted) {
        shorted = contact_shorted_is_new(st, now);
    }
    if (!(door_open || rec.door_closed || shorted || rec.penalty)) {
        return;
    }
    buffer_clear(key_text);
    buffer_clear(event_text);
    // Each piece keeps its trailing space.
    buffer_append_text(event_text, rec.door_b ? "Door B " : "Door A ");
    if (door_open) {
        buffer_append_text(event_text, "is open ");
    }
    if (rec.door_closed) {
        buffer_append_text(event_text, "closed ");
    }
    if (shorted) {
        buffer_append_text(event_text, "contact shorted ");
    }
    if (rec.penalty) {
        buffer_append_text(event_text, "temporarily blocked as penalty ");
    }
    log_line(ctx, key_text, event_text, shorted || rec.penalty);
}

// The first flag that applies decides; null when the record tells nothing of the controller.
const char* controller_state_text(const EventRecord& rec) {
    if (rec.master_programming) {
        return "The key controller is being initialized with a new master key";
    }
    if (rec.master_initialized) {
        return "The key controller's memory has been initialized with this key as the new master";
    }
    if (rec.memory_cleared) {
        return "The key controller's memory was cleared, including the master";
    }
    if (rec.manual_add && rec.page_full) {
        return "Attempt to add key manually failed: EEPROM key memory page is full";
    }
    if (rec.manual_add) {
        return "Key added manually";
    }
    if (rec.manual_delete) {
        return "Key deleted manually";
    }
    return nullptr;
}

void report_controller_state(DecoderContext& ctx, const EventRecord& rec, const KeyId& manual_key,
                             Buffer* key_text, Buffer* event_text) {
    const char* state_text = controller_state_text(rec);
    if (!state_text) {
        return;
    }
    buffer_clear(key_text);
    buffer_clear(event_text);
    if (rec.manual_add || rec.manual_delete) {
        append_key_text(key_text, manual_key);
    }
    buffer_append_text(event_text, state_text);
    log_line(ctx, key_text, event_text, true);
}

// Gathers a read-out into the controller key list; its first key replaces the previous one.
void collect_readout(DecoderContext& ctx, const EventRecord& rec, const KeyId& key) {
    DecoderState& st = ctx.state;
    if (rec.readout_key || rec.readout_end) {
        st.readout_lines.fetch_add(1, std::memory_order_release);
    }
    if (rec.readout_key) {
        if (!st.readout_collecting) {
            ctx.controller_keys.clear();
            st.readout_collecting = true;
            st.readout_failed.store(false, std::memory_order_release);
        }
        ctx.controller_keys.add(key);
    }
    if (rec.readout_incomplete) {
        st.readout_failed.store(true, std::memory_order_release);
    }
}

void end_readout(DecoderContext& ctx, Buffer* key_text, Buffer* event_text) {
    DecoderState& st = ctx.state;
    st.readout_collecting = false;
    buffer_clear(key_text);
    buffer_clear(event_text);
    buffer_append_text(key_text, " - ");
    buffer_append_text(event_text, st.readout_only_compares.load(std::memory_order_acquire)
                                       ? readout_compared_line
                                       : "Performed synchronization with RD-unit.");
    // Raised before the line so that a waiter never sees the line without the signal; the
    // controller key list is complete at this point.
    st.readout_done.store(true, std::memory_order_release);
    log_line(ctx, key_text, event_text, true);
}

// Steps that touch the key lists and the log; run on the user-interface thread. The steps run
// in this order so that one report's lines come as key, memo, door, controller state, read-out
// end.
void decode_on_ui(DecoderContext& ctx, const EventRecord& rec, const KeyId& key,
                  const KeyId& manual_key, uint32_t now) {
    BufferPtr key_text = make_buffer(key_text_cap);
    BufferPtr event_text = make_buffer(event_text_cap);

    bool door_open = rec.door_open;
    if (rec.key_event && report_key_event(ctx, rec, key, now, key_text.get(), event_text.get())) {
        door_open = false; // reported with the key; the door line must not repeat it
    }
    report_door(ctx, rec, door_open, now, key_text.get(), event_text.get());
    report_controller_state(ctx, rec, manual_key, key_text.get(), event_text.get());
    collect_readout(ctx, rec, key);
    if (rec.readout_end) {
        end_readout(ctx, key_text.get(), event_text.get());
    }
}

} // namespace

void decode_event(DecoderContext& ctx, const EventRecord& record, const KeyId& key,
                  const KeyId& manual_key) {
    if (!event_has_flags(record)) {
        return;
    }
    uint32_t now = ctx.clock.tick_ms();

    if (record.page_full) {
        ctx.state.page_full_seen.store(true, std::memory_order_release);
    }
    if (record.no_response) {
        ctx.host.message_box("Tessary - Serial communications",
                             "Tessary didn't get a response from the key controller.\n"
                             "Is the controller properly connected to this computer?",
                             MsgIcon::Error);
        ctx.state.no_response_seen.store(true, std::memory_order_release);
    }
    if (record.key_event || record.door_open || record.door_closed || record.contact_shorted ||
        record.penalty || record.master_programming || record.master_initialized ||
        record.memory_cleared || record.manual_add || record.manual_delete || record.readout_key ||
        record.readout_end || record.readout_incomplete) {
        ctx.host.run_on_ui([&] { decode_on_ui(ctx, record, key, manual_key, now); });
    }
}
