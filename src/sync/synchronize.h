// Synchronize: makes the controller's key memory hold exactly the keys of the key database.
// Reads the controller's keys back, compares, asks about keys only the controller holds,
// deletes, then adds, and reports. Runs on a thread of its own (SyncThread); it reaches the key
// lists and the window only through Host::run_on_ui, and the comm thread only through request
// bits, key transfers and the decoder's signals.
#pragma once

#include "controller/link.h"

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The message texts, byte for byte as the user sees them.
constexpr const char* sync_caption = "Tessary - Synchronizing with controller";
constexpr const char* compare_caption = "Tessary - Compare with controller";
constexpr const char* sync_no_room_caption = "Tessary - Adding keys to controller";
constexpr const char* sync_status_checking = "Checking the keys in the key controller";
constexpr const char* sync_status_deleting = "Deleting keys from the key controller";
constexpr const char* sync_status_adding = "Adding keys to the key controller";
constexpr const char* sync_status_ready = "Ready";
constexpr const char* sync_text_already_up_to_date =
    "The database and the key controller are already up to date.";
constexpr const char* sync_text_now_up_to_date =
    "The database and the key controller are now up to date.";
constexpr const char* sync_text_extra_keys =
    "The controller contains keys which aren't in the current database.\n"
    "Do you want to keep these keys?\n\n"
    "Choose 'Yes' to add the keys to the current database.\n"
    "Choose 'No'  to remove the keys from the door controller.\n"
    "Choose 'Cancel' to stop the synchronize operation.\n";
constexpr const char* sync_text_no_room =
    "There was no room in the key controller for some of the\n"
    "keys. (Read the documentation for more information).";
constexpr const char* sync_text_data_error =
    "A data error occurred during synchronisation.\nSynchronisation is incomplete.";
constexpr const char* sync_text_readout_incomplete =
    "A data communication problem occurred while Tessary was checking which keys\n"
    "are already in the key controller. Tessary may not have received all of the\n"
    "keys correctly. Press 'OK' to continue with the synchronize operation or\n"
    "'cancel' to abort.";
constexpr const char* sync_text_verify_failed =
    "The key controller was read back after the synchronize operation and does not hold\n"
    "exactly the keys of the database.";
constexpr const char* sync_text_verify_lacks = "Keys the controller lacks:";
constexpr const char* sync_text_verify_extra = "Keys only the controller holds:";
// A report lists at most this many keys per group, then "and N more".
constexpr size_t sync_verify_listed_keys = 20;
constexpr const char* sync_kept_key_name = "<No name yet>";
constexpr const char* sync_kept_master_text =
    "This is the master key, according to the synchronize operation on ";
constexpr const char* sync_kept_key_text = "This key was added by the synchronize operation on ";

// A controller with an empty key memory (after Clear controller memory, before a new master)
// answers the read-out request without a single key line, so no read-out end ever comes.
// When the unit has answered but no read-out line has come for this long, the read-out counts
// as missing.
constexpr uint32_t readout_silence_ms = 5000;

// The difference between the key database and the controller's key memory, as one read-out
// found it.
struct KeyDifference {
    KeyId master;                    // the controller's first key (its master key)
    std::vector<KeyId> to_add;       // database keys valid today that the controller lacks
    std::vector<KeyId> extra;        // controller keys the database lacks
    std::vector<KeyId> expired;      // controller keys whose database row is outside its days
    bool readout_incomplete = false; // the read-out reported a data problem
    bool empty() const { return to_add.empty() && extra.empty() && expired.empty(); }
};

// What to do with keys only the controller holds. Ask: the question (Yes keeps them, No deletes
// them, Cancel stops). Keep: as Yes, without asking: they stay in the controller and become rows
// of the key database in memory (the owner decides whether that is saved). Delete: as No.
// Refuse: stop before anything is sent (ExtrasRefused), for runs where nobody can be asked.
enum class ExtraKeys { Ask, Keep, Delete, Refuse };

// What a run tells its owner, who may show it in a window, print it or pass it on to a client
// elsewhere. Every call comes on the user-interface thread (through Host::run_on_ui) and none
// after the run was cancelled.
struct SyncObserver {
    virtual ~SyncObserver() = default;
    // Synchronize began (true) or ended (false); a second run must not be started meanwhile.
    virtual void sync_running(bool running) = 0;
    // How many keys of a transfer the controller has acknowledged, out of total; a total below
    // zero: the transfers are over.
    virtual void sync_progress(int done, int total) = 0;
    // Keys only the controller held became rows of the key database: the database changed.
    virtual void keys_kept() = 0;
};

struct SyncContext {
    // The host and the clock are the link's; the key lists are those of the session that runs
    // Synchronize. The observer, when there is one, outlives the context.
    SyncContext(Link& link, KeyDatabase& key_database, KeyList& controller_keys,
                SyncObserver* observer = nullptr)
        : link(link), host(link.host), clock(link.clock), decoder_state(link.decoder.state),
          key_database(key_database), controller_keys(controller_keys), observer(observer) {}
    SyncContext(const SyncContext&) = delete;
    SyncContext& operator=(const SyncContext&) = delete;

    Link& link;
    Host& host;
    Clock& clock;
    DecoderState& decoder_state;
    KeyDatabase& key_database;
    KeyList& controller_keys;
    SyncObserver* observer;
    // The day against which keys' days of validity are checked; empty: today by the clock.
    std::function<Day()> today;
    ExtraKeys extra_keys = ExtraKeys::Ask;
    // After a run that would report "now up to date", read the controller back once more and
    // compare; a difference is reported with the keys concerned instead.
    bool verify = false;
    // Told the difference the run's read-out found, on the run's thread, before anything is
    // sent (not the verify read-back's): for owners that say what a run is about to do.
    std::function<void(const KeyDifference&)> on_compared;

    // Set when the window goes away: the run ends at its next look, shows nothing more and
    // leaves the window alone.
    std::atomic<bool> cancel{false};
};

// How a run ended; the user saw the corresponding message (or none) already.
enum class SyncResult {
    NoPort,           // the read-out request could not be posted (no comm thread)
    NoAnswer,         // the controller did not answer the read-out (no-response report)
    CommStopped,      // the comm thread stopped or was restarted during the read-out wait
    ConnectionLost,   // the port broke during the read-out wait (data-error report shown)
    ReadoutMissing,   // the controller answered, but no read-out line came (no master key)
    ReadoutAbandoned, // the read-out was incomplete and the user chose not to go on
    UpToDate,         // nothing to do
    Cancelled,        // the user answered Cancel to the question about extra keys
    Done,             // every transfer was acknowledged
    NoRoom,           // the controller reported its key memory page full
    DataError,        // a transfer was not fully acknowledged
    Shutdown,         // the window went away meanwhile
    VerifyFailed,     // every transfer was acknowledged, but the read-back differs
    ExtrasRefused,    // extra_keys is Refuse and the controller holds extras: nothing was sent
};

// A result as one word ("done", "extras-refused"), for a peer in another process, and back.
const char* sync_result_name(SyncResult result);
std::optional<SyncResult> parse_sync_result_name(std::string_view name);

// Keys only the controller holds, added to `keys` as Synchronize keeps them; `when` is the
// log's time text of the run.
void add_kept_keys(KeyList& keys, const KeyDifference& diff, const std::string& when);

// The whole operation, on the calling thread (never the user-interface thread: it blocks in
// message boxes and waits). The observer hears "running" at its first step and "ended" at its
// last on every path but Shutdown.
SyncResult synchronize_keys(SyncContext& ctx);

// Reads the controller's keys back exactly as Synchronize's read-out does, sends nothing else,
// shows no message box, touches neither the status text nor the commands, and changes no list
// but the controller-keys list the read-out fills. Done with `diff` filled, or NoPort, NoAnswer,
// CommStopped, ConnectionLost, ReadoutMissing or Shutdown. On the calling thread, never the
// user-interface thread; the owner keeps it from overlapping a Synchronize run (both use the
// one read-out).
SyncResult compare_with_controller(SyncContext& ctx, KeyDifference& diff);

// The verify report's text: sync_text_verify_failed, then the keys the controller lacks and the
// keys only it holds, six hexadecimal digits each as the key list shows them, at most
// sync_verify_listed_keys per group.
std::string verify_failed_text(const KeyDifference& diff);
