// What a session tells those who follow it: a window, a command-line run printing events, and
// later a client at the other end of a socket. Everything a watcher needs to show the
// controller comes through here; the calls carry values, never references into the session,
// so that an observer in another process can be fed the same way.
#pragma once

#include "events/screen_log.h"
#include "sync/synchronize.h"

// none: no link is running; lost: it runs but its device or endpoint broke and it is trying to
// reopen it.
// The caption of the box that says the event history cannot be written.
extern const char* const history_caption;

enum class LinkState { None, Connected, Lost };

const char* link_state_name(LinkState state);

// Every call comes on the session's user-interface thread. The defaults ignore the call, so a
// watcher overrides only what it shows.
struct SessionObserver {
    virtual ~SessionObserver() = default;
    // A line the screen log took: a report, a door or alarm line, a connection line, a
    // synchronization line, the log's start and end.
    virtual void report(const LogRow& row) { (void)row; }
    virtual void link_state(LinkState state) { (void)state; }
    // Synchronize began (true) or ended (false).
    virtual void sync_running(bool running) { (void)running; }
    // Keys acknowledged by the controller out of total; a total below zero: the transfers ended.
    virtual void sync_progress(int done, int total) {
        (void)done;
        (void)total;
    }
    // The session changed the database's keys itself (Synchronize kept the controller's keys):
    // whoever saves the database should know it changed.
    virtual void database_changed() {}
    // How a Synchronize run started through the session ended.
    virtual void sync_finished(SyncResult result) { (void)result; }
    // How a comparison started through the session ended, and what it found.
    virtual void compare_finished(SyncResult result, const KeyDifference& diff) {
        (void)result;
        (void)diff;
    }
};
