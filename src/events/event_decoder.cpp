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

// Steps that touch the key lists and the log; run on the user-interface thread.
void decode_on_ui(DecoderContext& ctx, const EventRecord& rec, const KeyId& key,
                  const KeyId& manual_key, uint32_t now) {
    DecoderState& st = ctx.state;
    bool door_open = rec.door_open;
    int door = rec.door_b ? 1 : 0;
    const char* door_name = rec.door_b ? "Door B " : "Door A ";

    BufferPtr key_text = make_buffer(key_text_cap);
    BufferPtr event_text = make_buffer(event_text_cap);

    // Key line (and its memo line).
    if (rec.key_event) {
        bool repeat =
            st.last_key_seen && now - st.last_key_time < key_repeat_window_ms && key == st.last_key;
        if (!repeat) {
            append_key_text(key_text.get(), key);
            bool highlight = false;
            if (rec.key_master) {
                buffer_append_text(event_text.get(), "Master key");
            } else if (rec.key_valid) {
                buffer_append_text(event_text.get(), "Valid key");
            } else {
                buffer_append_text(event_text.get(), "Invalid key detected");
                highlight = true;
            }
            BufferPtr memo = make_buffer(key_text_capacity);
            int row = find_key(ctx.key_database, key);
            if (row >= 0) {
                BufferPtr name = make_buffer(key_text_capacity);
                BufferPtr free_field = make_buffer(key_text_capacity);
                KeyId found;
                read_key_row(ctx.key_database, row, &found, name.get(), memo.get(),
                             free_field.get());
                buffer_append_text(event_text.get(), ": ");
                buffer_append(event_text.get(), name.get());
            }
            buffer_append_text(event_text.get(), ".");
            if (door_open) {
                buffer_append_text(event_text.get(),
                                   rec.door_b ? "  Door B is open." : "  Door A is open.");
                st.door_open_time[door] = now;
                st.door_open_seen[door] = true;
                door_open = false; // reported with the key; the door line must not repeat it
            }
            log_line(ctx, key_text.get(), event_text.get(), highlight);
            if (buffer_remaining(memo.get()) > 0) {
                buffer_clear(key_text.get());
                buffer_clear(event_text.get());
                buffer_append_text(event_text.get(), "Memo: \"");
                buffer_append(event_text.get(), memo.get());
                buffer_append_text(event_text.get(), "\"");
                log_line(ctx, key_text.get(), event_text.get(), highlight);
            }
            st.last_key_time = now;
            st.last_key = key;
            st.last_key_seen = true;
        }
    }

    // Door line.
    if (door_open) {
        if (st.door_open_seen[door] && now - st.door_open_time[door] < door_repeat_window_ms) {
            door_open = false;
        } else {
            st.door_open_time[door] = now;
            st.door_open_seen[door] = true;
        }
    }
    bool shorted = rec.contact_shorted;
    if (shorted) {
        if (st.contact_shorted_seen && now - st.contact_shorted_time <= contact_shorted_window_ms) {
            shorted = false;
        } else {
            st.contact_shorted_time = now;
            st.contact_shorted_seen = true;
        }
    }
    if (door_open || rec.door_closed || shorted || rec.penalty) {
        buffer_clear(key_text.get());
        buffer_clear(event_text.get());
        buffer_append_text(event_text.get(), door_name);
        if (door_open) {
            buffer_append_text(event_text.get(), "is open ");
        }
        if (rec.door_closed) {
            buffer_append_text(event_text.get(), "closed ");
        }
        if (shorted) {
            buffer_append_text(event_text.get(), "contact shorted ");
        }
        if (rec.penalty) {
            buffer_append_text(event_text.get(), "temporarily blocked as penalty ");
        }
        log_line(ctx, key_text.get(), event_text.get(), shorted || rec.penalty);
    }

    // Controller-state line.
    const char* state_text = nullptr;
    if (rec.master_programming) {
        state_text = "The key controller is being initialized with a new master key";
    } else if (rec.master_initialized) {
        state_text =
            "The key controller's memory has been initialized with this key as the new master";
    } else if (rec.memory_cleared) {
        state_text = "The key controller's memory was cleared, including the master";
    } else if (rec.manual_add && rec.page_full) {
        state_text = "Attempt to add key manually failed: EEPROM key memory page is full";
    } else if (rec.manual_add) {
        state_text = "Key added manually";
    } else if (rec.manual_delete) {
        state_text = "Key deleted manually";
    }
    if (state_text) {
        buffer_clear(key_text.get());
        buffer_clear(event_text.get());
        if (rec.manual_add || rec.manual_delete) {
            append_key_text(key_text.get(), manual_key);
        }
        buffer_append_text(event_text.get(), state_text);
        log_line(ctx, key_text.get(), event_text.get(), true);
    }

    // Read-out collection.
    if (rec.readout_key || rec.readout_end) {
        st.readout_lines.fetch_add(1, std::memory_order_release);
    }
    if (rec.readout_key) {
        if (!st.readout_collecting) {
            clear_key_list(ctx.controller_keys);
            st.readout_collecting = true;
            st.readout_failed.store(false, std::memory_order_release);
        }
        BufferPtr empty_name = make_buffer(key_text_capacity);
        BufferPtr empty_memo = make_buffer(key_text_capacity);
        BufferPtr empty_free = make_buffer(key_text_capacity);
        add_key(ctx.controller_keys, key, empty_name.get(), empty_memo.get(), empty_free.get());
    }
    if (rec.readout_incomplete) {
        st.readout_failed.store(true, std::memory_order_release);
    }
    if (rec.readout_end) {
        st.readout_collecting = false;
        buffer_clear(key_text.get());
        buffer_clear(event_text.get());
        buffer_append_text(key_text.get(), " - ");
        buffer_append_text(event_text.get(),
                           st.readout_only_compares.load(std::memory_order_acquire)
                               ? readout_compared_line
                               : "Performed synchronization with RD-unit.");
        // Raised before the line so that a waiter never sees the line without the signal; the
        // controller key list is complete at this point.
        st.readout_done.store(true, std::memory_order_release);
        log_line(ctx, key_text.get(), event_text.get(), true);
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
