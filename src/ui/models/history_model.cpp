#include "ui/models/history_model.h"

#include "core/text_encoding.h"
#include "database/csv.h"
#include "ui/models/history_reader.h"
#include "ui/models/key_text.h"

#include <QColor>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

namespace {

const char* const headers[] = {"Time", "Key", "Name", "Memo", "Kind", "Door", "Text"};

// How long live events are kept for a first page read meanwhile: the recorder writes at least
// once a second, a slow disk given some seconds more.
constexpr int64_t recent_ms = 10'000;
constexpr size_t recent_max = 10'000;
constexpr size_t export_rows = 5'000;

// As the store's LIKE finds it: A-Z against a-z, other bytes exactly.
bool contains_text(const std::string& haystack, const std::string& needle) {
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                       [&](char a, char b) { return fold(a) == fold(b); }) != haystack.end();
}

bool same_event(const StoredEvent& a, const StoredEvent& b) {
    return a.time_ms == b.time_ms && a.key == b.key && a.text == b.text;
}

} // namespace

bool event_matches(const EventFilter& f, const StoredEvent& e) {
    if ((f.since_ms && e.time_ms < *f.since_ms) || (f.until_ms && e.time_ms >= *f.until_ms)) {
        return false;
    }
    if ((f.key && e.key != f.key) || (f.door && e.door != f.door)) {
        return false;
    }
    if (!f.kinds.empty() && std::find(f.kinds.begin(), f.kinds.end(), e.kind) == f.kinds.end()) {
        return false;
    }
    return f.text.empty() || (e.key && contains_text(event_key_text(e.key), f.text)) ||
           contains_text(e.name, f.text) || contains_text(e.memo, f.text);
}

std::string local_time_text(int64_t utc_ms) {
    const std::time_t seconds = static_cast<std::time_t>(utc_ms / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string history_csv_header() {
    return "time,key,name,memo,kind,door,text\r\n";
}

std::string history_csv_line(const StoredEvent& e) {
    return csv_line({local_time_text(e.time_ms), event_key_text(e.key), utf8_from_key_text(e.name),
                     utf8_from_key_text(e.memo), event_kind_name(e.kind), event_door_text(e.door),
                     utf8_from_key_text(e.text)});
}

HistoryModel::HistoryModel(QObject* parent) : QAbstractTableModel(parent) {}

HistoryModel::~HistoryModel() {
    // The readers end before anything their jobs reach.
    exporter_.reset();
    pages_.reset();
    counts_.reset();
}

void HistoryModel::set_store(const std::string& path) {
    path_ = path;
    exporter_.reset();
    pages_ = std::make_unique<HistoryReader>(path);
    counts_ = std::make_unique<HistoryReader>(path);
    recent_.clear();
    restart();
}

void HistoryModel::set_filter(const EventFilter& filter) {
    filter_ = filter;
    restart();
}

void HistoryModel::restart() {
    ++generation_;
    if (pages_) {
        pages_->cancel();
        counts_->cancel();
    }
    beginResetModel();
    rows_.clear();
    cursor_.reset();
    more_ = false;
    fetching_ = false;
    first_shown_ = false;
    shown_.reset();
    total_.reset();
    endResetModel();
    emit counts_changed();
    ask_page();
    ask_counts();
}

void HistoryModel::ask_page() {
    if (!pages_) {
        return;
    }
    fetching_ = true;
    pages_->post([this, generation = generation_, filter = filter_,
                  after = cursor_](const EventStore* store) {
        std::vector<StoredEvent> page;
        if (store) {
            page = store->page(filter, page_rows, after);
        }
        QMetaObject::invokeMethod(
            this,
            [this, generation, page = std::move(page)]() mutable {
                take_page(generation, std::move(page));
            },
            Qt::QueuedConnection);
    });
}

void HistoryModel::take_page(uint64_t generation, std::vector<StoredEvent> page) {
    if (generation != generation_) {
        return;
    }
    fetching_ = false;
    more_ = page.size() == page_rows;
    if (!page.empty()) {
        cursor_ = EventCursor{page.back().time_ms, page.back().id};
    }
    if (first_shown_) {
        if (!page.empty()) {
            const int first = static_cast<int>(rows_.size());
            beginInsertRows({}, first, first + static_cast<int>(page.size()) - 1);
            rows_.insert(rows_.end(), page.begin(), page.end());
            endInsertRows();
        }
        return;
    }
    // The live events not yet written when the page was read go above it, newest first.
    beginResetModel();
    rows_.clear();
    for (auto it = recent_.rbegin(); it != recent_.rend(); ++it) {
        const bool newer = page.empty() || it->time_ms >= page.front().time_ms;
        if (newer && event_matches(filter_, *it) &&
            std::none_of(page.begin(), page.end(),
                         [&](const StoredEvent& p) { return same_event(p, *it); })) {
            rows_.push_back(*it);
        }
    }
    rows_.insert(rows_.end(), page.begin(), page.end());
    first_shown_ = true;
    endResetModel();
    emit first_page_arrived();
}

void HistoryModel::ask_counts() {
    if (!counts_) {
        return;
    }
    const bool everything = filter_.since_ms == std::nullopt && filter_.until_ms == std::nullopt &&
                            !filter_.key && filter_.text.empty() && filter_.kinds.empty() &&
                            !filter_.door;
    counts_->post(
        [this, generation = generation_, filter = filter_, everything](const EventStore* store) {
            const int64_t total = store ? store->count({}) : 0;
            QMetaObject::invokeMethod(
                this, [this, generation, total] { take_count(generation, true, total); },
                Qt::QueuedConnection);
            const int64_t shown = everything ? total : (store ? store->count(filter) : 0);
            QMetaObject::invokeMethod(
                this, [this, generation, shown] { take_count(generation, false, shown); },
                Qt::QueuedConnection);
        });
}

void HistoryModel::take_count(uint64_t generation, bool total, int64_t count) {
    if (generation != generation_) {
        return;
    }
    (total ? total_ : shown_) = count;
    emit counts_changed();
}

void HistoryModel::add_live(const StoredEvent& event) {
    while (!recent_.empty() &&
           (recent_.size() >= recent_max || recent_.front().time_ms < event.time_ms - recent_ms)) {
        recent_.pop_front();
    }
    recent_.push_back(event);
    if (total_) {
        ++*total_;
    }
    const bool matches = event_matches(filter_, event);
    if (matches && shown_) {
        ++*shown_;
    }
    if (total_ || matches) {
        emit counts_changed();
    }
    // Before its first page the filter shows nothing: the event is added with the page.
    if (!matches || !first_shown_) {
        return;
    }
    beginInsertRows({}, 0, 0);
    rows_.push_front(event);
    endInsertRows();
}

const StoredEvent* HistoryModel::event(int row) const {
    return row >= 0 && static_cast<size_t>(row) < rows_.size() ? &rows_[row] : nullptr;
}

QString HistoryModel::count_text() const {
    auto number = [](const std::optional<int64_t>& n) {
        return n ? QString::number(*n) : QStringLiteral("\u2026");
    };
    return QStringLiteral("%1 of %2 events").arg(number(shown_), number(total_));
}

int HistoryModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int HistoryModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant HistoryModel::data(const QModelIndex& index, int role) const {
    const StoredEvent* e = event(index.row());
    if (!e) {
        return {};
    }
    if (role == Qt::ForegroundRole && e->highlight) {
        return QColor(255, 0, 0);
    }
    if (role != Qt::DisplayRole) {
        return {};
    }
    switch (index.column()) {
    case TimeColumn:
        return QString::fromStdString(local_time_text(e->time_ms));
    case KeyColumn:
        return QString::fromStdString(event_key_text(e->key));
    case NameColumn:
        return display_text(e->name);
    case MemoColumn:
        return display_text(e->memo);
    case KindColumn:
        return QString::fromLatin1(event_kind_name(e->kind));
    case DoorColumn:
        return QString::fromStdString(event_door_text(e->door));
    default:
        return display_text(e->text);
    }
}

QVariant HistoryModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < ColumnCount) {
        return QString::fromLatin1(headers[section]);
    }
    return {};
}

bool HistoryModel::canFetchMore(const QModelIndex& parent) const {
    return !parent.isValid() && more_ && !fetching_;
}

void HistoryModel::fetchMore(const QModelIndex& parent) {
    if (canFetchMore(parent)) {
        ask_page();
    }
}

void HistoryModel::export_csv(const std::string& path,
                              std::function<void(const std::string&)> done) {
    exporter_ = std::make_unique<HistoryReader>(path_);
    exporter_->post(
        [this, path, filter = filter_, done = std::move(done)](const EventStore* store) {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out << history_csv_header();
            std::optional<EventCursor> after;
            while (store && out) {
                const std::vector<StoredEvent> page = store->page(filter, export_rows, after);
                for (const StoredEvent& e : page) {
                    out << history_csv_line(e);
                }
                if (page.size() < export_rows) {
                    break;
                }
                after = EventCursor{page.back().time_ms, page.back().id};
            }
            out.flush();
            const std::string error = out ? std::string() : std::strerror(errno);
            QMetaObject::invokeMethod(
                this, [done, error] { done(error); }, Qt::QueuedConnection);
        });
}
