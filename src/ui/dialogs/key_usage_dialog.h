// Keys › Key usage: each key of the database with its last use (time and door) and its number of
// uses in the last days chosen, from the event history; and, ticked, only the keys not used for
// some days, the ones to consider taking back. Sortable by any column, exported to CSV as shown.
#pragma once

#include "history/event_store.h"

#include <QDialog>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class HistoryReader;
class KeyList;
class QCheckBox;
class QLabel;
class QPushButton;
class QSortFilterProxyModel;
class QSpinBox;
class QTableView;
class KeyUsageModel;
class UnusedKeysFilter;

struct KeyUsageRow {
    uint32_t key = 0;
    std::string name;
    std::string memo;
    std::optional<int64_t> last_ms; // none: never used in the history
    char last_door = 0;
    int64_t uses = 0; // in the period chosen
};

// The keys of the list, in its order, with their last use ever and their uses in the period
// (both as key_usage gives them: ordered by key).
std::vector<KeyUsageRow> key_usage_rows(const KeyList& keys, const std::vector<KeyUsage>& ever,
                                        const std::vector<KeyUsage>& period);
// Whether a key counts as unused for that many days at the time.
bool unused_for(const KeyUsageRow& row, int days, int64_t now_ms);

class KeyUsageDialog final : public QDialog {
    Q_OBJECT
  public:
    // history_path: the store of the database; the counts are made on a reader thread.
    KeyUsageDialog(const KeyList& keys, const std::string& history_path, QWidget* parent);
    ~KeyUsageDialog() override;

    QSpinBox* period_days() const { return period_days_; }
    QCheckBox* only_unused() const { return only_unused_; }
    QSpinBox* unused_days() const { return unused_days_; }
    QLabel* status() const { return status_; }
    QTableView* view() const { return view_; }
    QPushButton* export_button() const { return export_; }
    // The rows as shown: filtered and sorted.
    QSortFilterProxyModel* shown() const;
    // The shown rows as CSV text, the key-list export's quoting.
    std::string csv() const;
    // Asks the store again (the period changed).
    void count_uses();
    // Whether the counts asked last are in.
    bool counted() const { return counted_; }

    // The time "the last N days" end at; tests put in their own.
    std::function<int64_t()> now_ms;
    // Export to CSV: hands over the shown rows' CSV text for the file the user chooses.
    std::function<void(const std::string& csv)> on_export;

  private:
    void apply_unused();

    const KeyList& keys_;
    std::unique_ptr<HistoryReader> reader_;
    KeyUsageModel* model_ = nullptr;
    UnusedKeysFilter* filter_ = nullptr;
    QSpinBox* period_days_ = nullptr;
    QCheckBox* only_unused_ = nullptr;
    QSpinBox* unused_days_ = nullptr;
    QLabel* status_ = nullptr;
    QTableView* view_ = nullptr;
    QPushButton* export_ = nullptr;
    uint64_t generation_ = 0;
    bool counted_ = false;
};
