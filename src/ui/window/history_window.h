// View › History: the event history of the open database in a window of its own beside the main
// window, newest first, with a filter bar (period, text, kinds, door), the count of the events
// shown, an export of them to CSV, and Enter or a double-click on a key's event selecting that
// key in the key list.
#pragma once

#include "history/event_store.h"
#include "history/history_period.h"

#include <QWidget>

#include <memory>

class HistoryModel;
class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class HistoryReader;
class QTableView;
struct App;

// The kind boxes of the filter bar, each standing for the store's kinds of that group.
enum class KindGroup { Valid, Invalid, Doors, Alarms, Connection };
constexpr int kind_group_count = 5;
// Ticked groups to the store's kinds; every box ticked filters nothing, so that manual
// additions, the key memory and the like show too.
std::vector<EventKind> kinds_of_groups(const bool ticked[kind_group_count]);

class HistoryWindow final : public QWidget {
    Q_OBJECT
  public:
    HistoryWindow(App& app, QWidget* parent);
    ~HistoryWindow() override;

    // The store of the database open now; shown anew when it changed.
    void follow_database();

    HistoryModel* model() const { return model_; }
    QTableView* view() const { return view_; }
    QComboBox* period() const { return period_; }
    QDateTimeEdit* from() const { return from_; }
    QDateTimeEdit* until() const { return until_; }
    QLineEdit* text() const { return text_; }
    QCheckBox* kind_box(KindGroup group) const { return kinds_[static_cast<int>(group)]; }
    QComboBox* door() const { return door_; }
    QLabel* count_label() const { return count_; }
    QPushButton* export_button() const { return export_; }
    // Keep events for [N] months (0 keeps all): the store's retention, read when the store is
    // shown and written when changed.
    QSpinBox* keep_months() const { return keep_months_; }
    // Whether the retention read last is in.
    bool retention_read() const { return retention_read_; }
    // The filter the bar shows, at the time given (UTC milliseconds) for the periods.
    EventFilter filter_at(int64_t now_ms) const;
    // Applies the bar's filter now (the bar does it on each change).
    void apply_filter();
    // The time the periods are computed from; tests put in their own.
    std::function<int64_t()> now_ms;

  private:
    std::string store_path() const;
    QWidget* build_filter_bar();
    void export_rows();
    void select_key(int row);
    void read_retention();
    void write_retention(int months);

    App& app_;
    HistoryModel* model_ = nullptr;
    QTableView* view_ = nullptr;
    QComboBox* period_ = nullptr;
    QDateTimeEdit* from_ = nullptr;
    QDateTimeEdit* until_ = nullptr;
    QLineEdit* text_ = nullptr;
    QCheckBox* kinds_[kind_group_count] = {};
    QComboBox* door_ = nullptr;
    QLabel* count_ = nullptr;
    QPushButton* export_ = nullptr;
    QSpinBox* keep_months_ = nullptr;
    std::unique_ptr<HistoryReader> settings_; // reads and writes the retention off this thread
    bool retention_read_ = false;
};
