#include "ui/models/validity_columns.h"

#include "platform/clock.h"
#include "ui/models/key_list_model.h"

#include <QAction>
#include <QHeaderView>
#include <QMenu>
#include <QSettings>
#include <QTableView>
#include <QTimer>

#include <algorithm>

namespace {

constexpr int day_check_ms = 60 * 1000;

struct ColumnEntry {
    const char* text;
    const char* help;
    const char* setting;
};

constexpr ColumnEntry entries[] = {
    {"Valid &from", "Show or hide the first day on which each key opens", "keyList/hideValidFrom"},
    {"Valid &until", "Show or hide the last day on which each key opens", "keyList/hideValidUntil"},
};

QSettings settings() {
    return QSettings(QStringLiteral("tessary"), QStringLiteral("tessary"));
}

} // namespace

Day clock_day(Clock& clock) {
    LocalTime t = clock.local_time();
    return day_from_date(t.year, t.month, t.day).value_or(Day{});
}

QMenu* install_validity_columns(QTableView* view, KeyListModel* model, Clock& clock) {
    QHeaderView* header = view->horizontalHeader();
    auto* menu = new QMenu(header);
    menu->setObjectName(QStringLiteral("validity columns"));
    int column = KeyListModel::valid_from_column;
    // Wide enough for a day or the caption, whichever is wider; the database keeps no width for
    // these columns.
    const int day_width = header->fontMetrics().horizontalAdvance(QStringLiteral("0000-00-00"));
    for (const ColumnEntry& e : entries) {
        const QString caption =
            model->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
        header->resizeSection(
            column, std::max(day_width, header->fontMetrics().horizontalAdvance(caption)) +
                        header->fontMetrics().averageCharWidth() * 3);
        auto* a = menu->addAction(QString::fromLatin1(e.text));
        a->setCheckable(true);
        a->setStatusTip(QString::fromLatin1(e.help));
        const bool hidden = settings().value(QString::fromLatin1(e.setting), false).toBool();
        a->setChecked(!hidden);
        header->setSectionHidden(column, hidden);
        QObject::connect(a, &QAction::toggled, header, [header, column, key = e.setting](bool on) {
            header->setSectionHidden(column, !on);
            settings().setValue(QString::fromLatin1(key), !on);
        });
        ++column;
    }
    header->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(header, &QHeaderView::customContextMenuRequested, menu,
                     [menu, header](const QPoint& at) { menu->popup(header->mapToGlobal(at)); });

    model->set_today(clock_day(clock));
    auto* timer = new QTimer(view);
    timer->setInterval(day_check_ms);
    QObject::connect(timer, &QTimer::timeout, model,
                     [model, &clock] { model->set_today(clock_day(clock)); });
    timer->start();
    return menu;
}
