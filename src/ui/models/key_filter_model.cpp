#include "ui/models/key_filter_model.h"

#include "ui/models/key_list_model.h"

#include <QItemSelectionModel>

KeyFilterModel::KeyFilterModel(KeyList& keys, KeyListModel* source, QObject* parent)
    : QSortFilterProxyModel(parent), keys_(keys), filter_(keys, source) {
    // The store sorts itself (header clicks); this model only leaves rows out.
    setDynamicSortFilter(true);
    setSourceModel(source);
    // The source's signals, connected after the proxy's own: a removal is taken out of the
    // proxy before the store erases the row, so its own signals come too early for the count.
    for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved}) {
        connect(source, signal, this, &KeyFilterModel::count_changed);
    }
    connect(source, &QAbstractItemModel::modelReset, this, &KeyFilterModel::count_changed);
    connect(source, &QAbstractItemModel::layoutChanged, this, &KeyFilterModel::count_changed);
    connect(source, &QAbstractItemModel::dataChanged, this, &KeyFilterModel::count_changed);
    // The expiry filter moves on with the key list's day (its new day repaints every row).
    connect(source, &QAbstractItemModel::dataChanged, this, [this, source] {
        if (filter_.expiring_from() && *filter_.expiring_from() != source->today()) {
            set_expiring_from(source->today());
        }
    });
}

KeyFilterModel::~KeyFilterModel() {
    if (keys_.observer() == &filter_) {
        keys_.set_observer(nullptr);
    }
}

void KeyFilterModel::set_query(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    if (filter_.query() == std::string_view(utf8.constData(), static_cast<size_t>(utf8.size()))) {
        return;
    }
    filter_.set_query(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())));
    invalidateRowsFilter();
    emit count_changed();
}

void KeyFilterModel::set_expiring_from(std::optional<Day> today) {
    if (filter_.expiring_from() == today) {
        return;
    }
    filter_.set_expiring_from(today);
    invalidateRowsFilter();
    emit count_changed();
}

QString KeyFilterModel::count_text() const {
    if (!filter_.active()) {
        return {};
    }
    return QStringLiteral("%1 of %2 keys").arg(rowCount()).arg(keys_.size());
}

int KeyFilterModel::store_row(int view_row) const {
    return mapToSource(index(view_row, 0)).row();
}

int KeyFilterModel::view_row(int store_row) const {
    return mapFromSource(sourceModel()->index(store_row, 0)).row();
}

bool KeyFilterModel::store_row_selected(const QItemSelectionModel* selection, int store_row) const {
    const int row = view_row(store_row);
    return selection && row >= 0 && selection->isRowSelected(row, QModelIndex());
}

bool KeyFilterModel::filterAcceptsRow(int source_row, const QModelIndex&) const {
    return filter_.row_matches(source_row);
}
