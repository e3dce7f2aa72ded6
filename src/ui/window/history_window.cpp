#include "ui/window/history_window.h"

#include "ui/commands/commands.h"
#include "ui/models/history_model.h"
#include "ui/models/history_reader.h"
#include "ui/window/app.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QVBoxLayout>

#include <chrono>

namespace {

const char* const export_caption = "Tessary - Export to CSV";
const char* const window_caption = "Tessary - History";

// The period box's entries, in the order of HistoryPeriod, then the free range.
const char* const period_names[] = {"Today", "Last night 18:00\u201306:00", "Last 7 days", "All",
                                    "From/until"};
constexpr int free_range = 4;

const char* const group_names[] = {"Valid", "Invalid", "Doors", "Alarms", "Connection"};

int64_t utc_now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Six hex digits with a digit among them are a key number, found by the store's key index
// rather than by a search through every name; a word such as "facade" stays a text.
std::optional<uint32_t> key_number_text(const QString& text) {
    bool ok = false;
    const uint32_t number = text.toUInt(&ok, 16);
    const bool digit = std::any_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); });
    return ok && digit && text.size() == 6 ? std::optional(number) : std::nullopt;
}

} // namespace

std::vector<EventKind> kinds_of_groups(const bool ticked[kind_group_count]) {
    using K = EventKind;
    // Invalid takes the door blocked after repeated invalid keys; Connection the link lost or
    // restored, the log started or ended and the synchronizations, all news of the program's
    // work with the controller rather than of a door.
    const std::vector<EventKind> groups[kind_group_count] = {{K::ValidKey, K::MasterKey},
                                                             {K::InvalidKey, K::Penalty},
                                                             {K::Door},
                                                             {K::Alarm},
                                                             {K::Link, K::Log, K::Sync}};
    if (std::all_of(ticked, ticked + kind_group_count, [](bool t) { return t; })) {
        return {};
    }
    std::vector<EventKind> kinds;
    for (int g = 0; g < kind_group_count; ++g) {
        if (ticked[g]) {
            kinds.insert(kinds.end(), groups[g].begin(), groups[g].end());
        }
    }
    // None ticked shows none: a kind no event has.
    return kinds.empty() ? std::vector<EventKind>{static_cast<EventKind>(event_kind_count)} : kinds;
}

HistoryWindow::HistoryWindow(App& app, QWidget* parent)
    : QWidget(parent, Qt::Window), now_ms(utc_now_ms), app_(app) {
    setWindowTitle(QStringLiteral("Tessary - History"));
    setObjectName(QStringLiteral("History"));
    model_ = new HistoryModel(this);
    view_ = new QTableView;
    view_->setObjectName(QStringLiteral("History listview"));
    view_->setModel(model_);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setSelectionMode(QAbstractItemView::SingleSelection);
    view_->setShowGrid(false);
    view_->verticalHeader()->hide();
    view_->verticalHeader()->setDefaultSectionSize(view_->fontMetrics().height() + 4);
    view_->horizontalHeader()->setStretchLastSection(true);
    const int widths[] = {140, 60, 140, 140, 80, 45};
    for (int c = 0; c < 6; ++c) {
        view_->horizontalHeader()->resizeSection(c, widths[c]);
    }
    // Enter and a double-click both activate.
    connect(view_, &QAbstractItemView::activated, this,
            [this](const QModelIndex& index) { select_key(index.row()); });
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(build_filter_bar());
    layout->addWidget(view_, 1);
    connect(model_, &HistoryModel::counts_changed, this,
            [this] { count_->setText(model_->count_text()); });
    // A closed window takes no rows: reopened, it reads its filter anew.
    app_.session.watch_history([this](const StoredEvent& e) {
        if (isVisible()) {
            follow_database();
            model_->add_live(e);
        }
    });
    resize(1000, 600);
    apply_filter();
    model_->set_store(store_path());
    read_retention();
}

HistoryWindow::~HistoryWindow() {
    app_.session.watch_history({});
    settings_.reset();
}

QWidget* HistoryWindow::build_filter_bar() {
    auto* bar = new QWidget;
    auto* rows = new QVBoxLayout(bar);
    rows->setContentsMargins(0, 0, 0, 0);
    auto* top = new QHBoxLayout;
    auto* bottom = new QHBoxLayout;
    rows->addLayout(top);
    rows->addLayout(bottom);
    auto labelled = [](QHBoxLayout* row, const char* text, QWidget* field) {
        auto* label = new QLabel(QString::fromUtf8(text));
        label->setBuddy(field);
        row->addWidget(label);
        row->addWidget(field);
    };
    period_ = new QComboBox;
    for (const char* name : period_names) {
        period_->addItem(QString::fromUtf8(name));
    }
    period_->setCurrentIndex(static_cast<int>(HistoryPeriod::All));
    labelled(top, "&Period:", period_);
    const QDateTime midnight(QDate::currentDate(), QTime(0, 0));
    from_ = new QDateTimeEdit(midnight.addDays(-1));
    until_ = new QDateTimeEdit(midnight);
    for (QDateTimeEdit* edit : {from_, until_}) {
        edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm"));
        edit->setCalendarPopup(true);
        edit->setEnabled(false);
    }
    labelled(top, "&From:", from_);
    labelled(top, "&Until:", until_);
    text_ = new QLineEdit;
    text_->setPlaceholderText(QStringLiteral("Key number, name or memo"));
    text_->setClearButtonEnabled(true);
    labelled(top, "&Text:", text_);
    door_ = new QComboBox;
    door_->addItems({QStringLiteral("Any"), QStringLiteral("A"), QStringLiteral("B")});
    labelled(top, "&Door:", door_);
    bottom->addWidget(new QLabel(QStringLiteral("Kinds:")));
    for (int g = 0; g < kind_group_count; ++g) {
        kinds_[g] = new QCheckBox(QString::fromLatin1(group_names[g]));
        kinds_[g]->setChecked(true);
        bottom->addWidget(kinds_[g]);
        connect(kinds_[g], &QCheckBox::toggled, this, &HistoryWindow::apply_filter);
    }
    bottom->addStretch(1);
    count_ = new QLabel;
    bottom->addWidget(count_);
    keep_months_ = new QSpinBox;
    keep_months_->setRange(0, EventStore::max_retention_months);
    keep_months_->setKeyboardTracking(false);
    labelled(bottom, "&Keep events for", keep_months_);
    bottom->addWidget(new QLabel(QStringLiteral("months (0 keeps all)")));
    connect(keep_months_, &QSpinBox::valueChanged, this, &HistoryWindow::write_retention);
    bottom->addSpacing(20);
    export_ = new QPushButton(QStringLiteral("&Export shown rows to CSV..."));
    bottom->addWidget(export_);
    connect(export_, &QPushButton::clicked, this, &HistoryWindow::export_rows);
    connect(period_, &QComboBox::currentIndexChanged, this, [this](int index) {
        from_->setEnabled(index == free_range);
        until_->setEnabled(index == free_range);
        apply_filter();
    });
    connect(from_, &QDateTimeEdit::dateTimeChanged, this, &HistoryWindow::apply_filter);
    connect(until_, &QDateTimeEdit::dateTimeChanged, this, &HistoryWindow::apply_filter);
    connect(text_, &QLineEdit::textChanged, this, &HistoryWindow::apply_filter);
    connect(door_, &QComboBox::currentIndexChanged, this, &HistoryWindow::apply_filter);
    return bar;
}

EventFilter HistoryWindow::filter_at(int64_t now) const {
    EventFilter f;
    if (period_->currentIndex() == free_range) {
        f.since_ms = from_->dateTime().toMSecsSinceEpoch();
        f.until_ms = until_->dateTime().toMSecsSinceEpoch();
    } else {
        const TimeRange r = period_range(static_cast<HistoryPeriod>(period_->currentIndex()), now);
        f.since_ms = r.since_ms;
        f.until_ms = r.until_ms;
    }
    const QString text = text_->text().trimmed();
    if (std::optional<uint32_t> key = key_number_text(text)) {
        f.key = key;
    } else {
        f.text = text.toStdString();
    }
    bool ticked[kind_group_count];
    for (int g = 0; g < kind_group_count; ++g) {
        ticked[g] = kinds_[g]->isChecked();
    }
    f.kinds = kinds_of_groups(ticked);
    f.door = door_->currentIndex() == 1 ? 'A' : door_->currentIndex() == 2 ? 'B' : 0;
    return f;
}

void HistoryWindow::apply_filter() {
    model_->set_filter(filter_at(now_ms()));
}

std::string HistoryWindow::store_path() const {
    const std::string& file = app_.database.file_name;
    return file.empty() ? std::string() : history_path(file);
}

void HistoryWindow::follow_database() {
    const std::string path = store_path();
    if (path != model_->store_path()) {
        model_->set_store(path);
        read_retention();
    }
}

void HistoryWindow::read_retention() {
    retention_read_ = false;
    keep_months_->setEnabled(false);
    settings_ = std::make_unique<HistoryReader>(model_->store_path());
    settings_->post([this](const EventStore* store) {
        const int months = store ? store->retention_months() : 0;
        const bool known = store != nullptr;
        QMetaObject::invokeMethod(
            this,
            [this, months, known] {
                const QSignalBlocker quiet(keep_months_);
                keep_months_->setValue(months);
                keep_months_->setEnabled(known);
                retention_read_ = true;
            },
            Qt::QueuedConnection);
    });
}

void HistoryWindow::write_retention(int months) {
    if (!settings_) {
        return;
    }
    // A writing connection of its own, on the reader's thread: another process's long write
    // keeps it waiting, never the window.
    settings_->post([this, months, path = model_->store_path(),
                     database = app_.database.file_name](const EventStore*) {
        std::string error;
        std::unique_ptr<EventStore> store = EventStore::open(path, false, database, &error);
        if (store) {
            store->set_retention_months(months, &error);
        }
        QMetaObject::invokeMethod(
            this,
            [this, path, error] {
                if (!error.empty()) {
                    app_.host.message_box(window_caption,
                                          "The event history " + path +
                                              " can't be written: " + error + ".",
                                          MsgIcon::Error);
                }
            },
            Qt::QueuedConnection);
    });
}

void HistoryWindow::select_key(int row) {
    const StoredEvent* e = model_->event(row);
    if (e && e->key) {
        select_key_in_list(app_, *e->key);
    }
}

void HistoryWindow::export_rows() {
    std::optional<std::string> path = app_.dialogs->csv_file(app_, true);
    if (!path) {
        return;
    }
    export_->setEnabled(false);
    model_->export_csv(*path, [this](const std::string& error) {
        export_->setEnabled(true);
        if (!error.empty()) {
            app_.host.message_box(export_caption,
                                  "The file couldn't be written.\n\nReason: " + error,
                                  MsgIcon::Error);
        }
    });
}
