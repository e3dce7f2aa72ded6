#include "ui/dialogs/key_usage_dialog.h"

#include "database/csv.h"
#include "database/key_list.h"
#include "ui/models/history_model.h"
#include "ui/models/history_reader.h"
#include "ui/models/key_text.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>

namespace {

constexpr int64_t day_ms = 86'400'000;
const char* const headers[] = {"Key", "Name", "Memo", "Last use", "Door", "Uses"};
enum Column { KeyColumn, NameColumn, MemoColumn, LastUseColumn, DoorColumn, UsesColumn };
constexpr int column_count = 6;

int64_t utc_now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

const KeyUsage* usage_of(const std::vector<KeyUsage>& usage, uint32_t key) {
    auto u = std::lower_bound(usage.begin(), usage.end(), key,
                              [](const KeyUsage& x, uint32_t k) { return x.key < k; });
    return u != usage.end() && u->key == key ? &*u : nullptr;
}

} // namespace

std::vector<KeyUsageRow> key_usage_rows(const KeyList& keys, const std::vector<KeyUsage>& ever,
                                        const std::vector<KeyUsage>& period) {
    std::vector<KeyUsageRow> rows;
    rows.reserve(static_cast<size_t>(keys.size()));
    for (const KeyRecord& k : keys) {
        KeyUsageRow row;
        row.key = k.id.number & key_number_mask;
        row.name = k.name;
        row.memo = k.memo;
        if (const KeyUsage* u = usage_of(ever, row.key)) {
            row.last_ms = u->last_ms;
            row.last_door = u->last_door;
        }
        if (const KeyUsage* u = usage_of(period, row.key)) {
            row.uses = u->uses;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

bool unused_for(const KeyUsageRow& row, int days, int64_t now_ms) {
    return !row.last_ms || *row.last_ms < now_ms - days * day_ms;
}

// The rows; each column sorts by its value (times and counts as numbers), not by its text.
class KeyUsageModel final : public QAbstractTableModel {
  public:
    using QAbstractTableModel::QAbstractTableModel;
    void set_rows(std::vector<KeyUsageRow> rows) {
        beginResetModel();
        rows_ = std::move(rows);
        endResetModel();
    }
    const KeyUsageRow& row(int r) const { return rows_[static_cast<size_t>(r)]; }
    int rowCount(const QModelIndex& p = {}) const override {
        return p.isValid() ? 0 : static_cast<int>(rows_.size());
    }
    int columnCount(const QModelIndex& p = {}) const override { return p.isValid() ? 0 : 6; }
    QVariant headerData(int section, Qt::Orientation o, int role) const override {
        if (o == Qt::Horizontal && role == Qt::DisplayRole && section < column_count) {
            return QString::fromLatin1(headers[section]);
        }
        return {};
    }
    QVariant data(const QModelIndex& index, int role) const override {
        const KeyUsageRow& r = row(index.row());
        if (role == Qt::UserRole) {
            switch (index.column()) {
            case LastUseColumn:
                return QVariant::fromValue<qint64>(r.last_ms.value_or(-1));
            case UsesColumn:
                return QVariant::fromValue<qint64>(r.uses);
            case KeyColumn:
                return r.key;
            default:
                break;
            }
        } else if (role != Qt::DisplayRole) {
            return {};
        }
        return QString::fromStdString(text(r, index.column()));
    }
    // The text of a cell, as shown and exported (names and memos as UTF-8).
    static std::string text(const KeyUsageRow& r, int column) {
        switch (column) {
        case KeyColumn:
            return event_key_text(r.key);
        case NameColumn:
            return display_text(r.name).toStdString();
        case MemoColumn:
            return display_text(r.memo).toStdString();
        case LastUseColumn:
            return r.last_ms ? local_time_text(*r.last_ms) : std::string();
        case DoorColumn:
            return r.last_ms && r.last_door ? std::string(1, r.last_door) : std::string();
        default:
            return std::to_string(r.uses);
        }
    }

  private:
    std::vector<KeyUsageRow> rows_;
};

class UnusedKeysFilter final : public QSortFilterProxyModel {
  public:
    using QSortFilterProxyModel::QSortFilterProxyModel;
    void set_unused(std::optional<int> days, int64_t now_ms) {
        days_ = days;
        now_ms_ = now_ms;
        invalidateFilter();
    }

  protected:
    bool filterAcceptsRow(int row, const QModelIndex&) const override {
        const auto* m = static_cast<const KeyUsageModel*>(sourceModel());
        return !days_ || unused_for(m->row(row), *days_, now_ms_);
    }

  private:
    std::optional<int> days_;
    int64_t now_ms_ = 0;
};

KeyUsageDialog::KeyUsageDialog(const KeyList& keys, const std::string& history_path,
                               QWidget* parent)
    : QDialog(parent), now_ms(utc_now_ms), keys_(keys),
      reader_(std::make_unique<HistoryReader>(history_path)) {
    setWindowTitle(QStringLiteral("Tessary - Key usage"));
    model_ = new KeyUsageModel(this);
    filter_ = new UnusedKeysFilter(this);
    filter_->setSourceModel(model_);
    filter_->setSortRole(Qt::UserRole);
    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    layout->addLayout(top);
    auto days_box = [](int value) {
        auto* box = new QSpinBox;
        box->setRange(1, 36500);
        box->setValue(value);
        return box;
    };
    period_days_ = days_box(30);
    auto* period_label = new QLabel(QStringLiteral("Uses in the last"));
    top->addWidget(period_label);
    top->addWidget(period_days_);
    top->addWidget(new QLabel(QStringLiteral("days")));
    top->addSpacing(20);
    only_unused_ = new QCheckBox(QStringLiteral("&Only keys unused for"));
    unused_days_ = days_box(90);
    top->addWidget(only_unused_);
    top->addWidget(unused_days_);
    top->addWidget(new QLabel(QStringLiteral("days")));
    top->addStretch(1);
    status_ = new QLabel;
    top->addWidget(status_);
    view_ = new QTableView;
    view_->setModel(filter_);
    view_->setSortingEnabled(true);
    view_->sortByColumn(KeyColumn, Qt::AscendingOrder);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->verticalHeader()->hide();
    view_->verticalHeader()->setDefaultSectionSize(view_->fontMetrics().height() + 4);
    view_->setShowGrid(false);
    view_->horizontalHeader()->setStretchLastSection(true);
    const int widths[] = {70, 160, 160, 140, 45};
    for (int c = 0; c < 5; ++c) {
        view_->horizontalHeader()->resizeSection(c, widths[c]);
    }
    layout->addWidget(view_, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    export_ = buttons->addButton(QStringLiteral("&Export to CSV..."), QDialogButtonBox::ActionRole);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(export_, &QPushButton::clicked, this, [this] {
        if (on_export) {
            on_export(csv());
        }
    });
    connect(period_days_, &QSpinBox::valueChanged, this, &KeyUsageDialog::count_uses);
    connect(only_unused_, &QCheckBox::toggled, this, &KeyUsageDialog::apply_unused);
    connect(unused_days_, &QSpinBox::valueChanged, this, &KeyUsageDialog::apply_unused);
    resize(780, 500);
    count_uses();
}

KeyUsageDialog::~KeyUsageDialog() {
    reader_.reset();
}

QSortFilterProxyModel* KeyUsageDialog::shown() const {
    return filter_;
}

void KeyUsageDialog::count_uses() {
    counted_ = false;
    status_->setText(QStringLiteral("Counting uses\u2026"));
    reader_->cancel();
    const int64_t since = now_ms() - period_days_->value() * day_ms;
    reader_->post([this, generation = ++generation_, since](const EventStore* store) {
        std::vector<KeyUsage> ever;
        std::vector<KeyUsage> period;
        if (store) {
            ever = store->last_uses();
            period = store->key_usage(since);
        }
        QMetaObject::invokeMethod(
            this,
            [this, generation, ever = std::move(ever), period = std::move(period)] {
                if (generation != generation_) {
                    return;
                }
                model_->set_rows(key_usage_rows(keys_, ever, period));
                counted_ = true;
                apply_unused();
            },
            Qt::QueuedConnection);
    });
}

void KeyUsageDialog::apply_unused() {
    filter_->set_unused(
        only_unused_->isChecked() ? std::optional(unused_days_->value()) : std::nullopt, now_ms());
    if (counted_) {
        status_->setText(
            QStringLiteral("%1 of %2 keys").arg(filter_->rowCount()).arg(model_->rowCount()));
    }
}

std::string KeyUsageDialog::csv() const {
    std::string out = "key,name,memo,last_use,door,uses\r\n";
    for (int r = 0; r < filter_->rowCount(); ++r) {
        const KeyUsageRow& row = model_->row(filter_->mapToSource(filter_->index(r, 0)).row());
        std::vector<std::string> fields;
        for (int c = 0; c < column_count; ++c) {
            fields.push_back(KeyUsageModel::text(row, c));
        }
        out += csv_line(fields);
    }
    return out;
}
