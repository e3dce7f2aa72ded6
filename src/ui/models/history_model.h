// The event history as the History window shows it: one filter's events, newest first, fetched
// a page at a time as the view scrolls (never all of them: a history holds millions), with the
// counts of "n of m events" and the pages found on reader threads. Events the recorder keeps
// while the window is open come in at the top when they match the filter.
#pragma once

#include "history/event_store.h"

#include <QAbstractTableModel>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class HistoryReader;

// Whether a kept event belongs to what the filter shows, as the store's query would find it.
bool event_matches(const EventFilter& filter, const StoredEvent& event);
// The local time of an event as the window and its exports show it: "2026-01-14 09:05:00".
std::string local_time_text(int64_t utc_ms);
// An export's first line and one line per event, with the key-list export's quoting.
std::string history_csv_header();
std::string history_csv_line(const StoredEvent& event);

class HistoryModel final : public QAbstractTableModel {
    Q_OBJECT
  public:
    enum Column {
        TimeColumn,
        KeyColumn,
        NameColumn,
        MemoColumn,
        KindColumn,
        DoorColumn,
        TextColumn,
        ColumnCount
    };
    static constexpr size_t page_rows = 200;

    explicit HistoryModel(QObject* parent = nullptr);
    ~HistoryModel() override;

    // The store shown (empty: none, for a database without a file); shows the filter anew.
    void set_store(const std::string& path);
    const std::string& store_path() const { return path_; }
    void set_filter(const EventFilter& filter);
    const EventFilter& filter() const { return filter_; }
    // An event as the recorder keeps it.
    void add_live(const StoredEvent& event);
    // Null for a row not shown.
    const StoredEvent* event(int row) const;
    // "n of m events"; a count still being made shows as "…".
    QString count_text() const;
    bool first_page_shown() const { return first_shown_; }
    // A page asked for is not in yet.
    bool fetching() const { return fetching_; }

    // Writes every event of the filter (not only the rows fetched so far) to the file a page at
    // a time on a reader thread; done is told on the user-interface thread with the reason
    // the file could not be written, or an empty one.
    void export_csv(const std::string& path, std::function<void(const std::string& error)> done);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

  signals:
    void counts_changed();
    // The first page of a filter is in (tests and the bench wait for it).
    void first_page_arrived();

  private:
    void restart();
    void ask_page();
    void take_page(uint64_t generation, std::vector<StoredEvent> page);
    void ask_counts();
    void take_count(uint64_t generation, bool total, int64_t count);

    std::string path_;
    EventFilter filter_;
    uint64_t generation_ = 0; // an answer to an older filter is dropped
    std::unique_ptr<HistoryReader> pages_;
    std::unique_ptr<HistoryReader> counts_;
    std::unique_ptr<HistoryReader> exporter_;
    std::deque<StoredEvent> rows_;
    std::optional<EventCursor> cursor_; // the oldest row fetched from the store
    bool fetching_ = false;
    bool more_ = false;
    bool first_shown_ = false;
    std::optional<int64_t> shown_;
    std::optional<int64_t> total_;
    // The last seconds of live events: those not yet written when a first page is read are
    // added to it from here.
    std::deque<StoredEvent> recent_;
};
