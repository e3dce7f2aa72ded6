#include "ui/models/key_list_model.h"

#include "ui/models/key_text.h"

#include <QColor>
#include <QFont>
#include <QString>

namespace {
constexpr int column_count = 6;
const char* const headers[column_count] = {"Key nr.",    "Name",       "Memo",
                                           "Free field", "Valid from", "Valid until"};

QString day_cell(const std::optional<Day>& day) {
    return day ? QString::fromStdString(day_text(*day)) : QString();
}
} // namespace

KeyListModel::KeyListModel(KeyList& keys, QObject* parent)
    : QAbstractTableModel(parent), keys_(keys) {}

KeyListModel::~KeyListModel() {
    if (keys_.observer() == this) {
        keys_.set_observer(nullptr);
    }
}

int KeyListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : keys_.size();
}

int KeyListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : column_count;
}

QVariant KeyListModel::data(const QModelIndex& index, int role) const {
    // A view asks for many roles per cell; only these three look at the record.
    if (role != Qt::DisplayRole && role != Qt::ForegroundRole && role != Qt::FontRole) {
        return {};
    }
    const KeyRecord* key = index.isValid() ? keys_.row(index.row()) : nullptr;
    if (!key) {
        return {};
    }
    switch (role) {
    case Qt::DisplayRole:
        if (index.column() == valid_from_column) {
            return day_cell(key->valid_from);
        }
        if (index.column() == valid_from_column + 1) {
            return day_cell(key->valid_until);
        }
        return display_text(keys_.cell_text(index.row(), index.column()));
    case Qt::ForegroundRole:
        if (key->valid_until && *key->valid_until < today_) {
            return QColor(Qt::gray);
        }
        return {};
    case Qt::FontRole:
        if (key->valid_from && today_ < *key->valid_from) {
            QFont italic;
            italic.setItalic(true);
            return italic;
        }
        return {};
    default:
        return {};
    }
}

QVariant KeyListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < column_count) {
        return QString::fromLatin1(headers[section]);
    }
    return {};
}

void KeyListModel::rows_about_to_be_inserted(int first, int last) {
    beginInsertRows({}, first, last);
}

void KeyListModel::rows_inserted(int, int) {
    endInsertRows();
}

void KeyListModel::rows_about_to_be_removed(int first, int last) {
    beginRemoveRows({}, first, last);
}

void KeyListModel::rows_removed(int, int) {
    endRemoveRows();
}

void KeyListModel::row_changed(int row) {
    emit dataChanged(index(row, 0), index(row, column_count - 1));
}

void KeyListModel::rows_about_to_be_reordered() {
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    moving_ = persistentIndexList();
    moving_records_.clear();
    for (const QModelIndex& i : moving_) {
        moving_records_.push_back(keys_.row(i.row()));
    }
}

void KeyListModel::rows_reordered() {
    QModelIndexList to;
    for (int i = 0; i < moving_.size(); ++i) {
        const int row = keys_.record_row(moving_records_[static_cast<size_t>(i)]);
        to.append(row < 0 ? QModelIndex() : index(row, moving_[i].column()));
    }
    changePersistentIndexList(moving_, to);
    moving_.clear();
    moving_records_.clear();
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void KeyListModel::rows_about_to_be_reset() {
    beginResetModel();
}

void KeyListModel::rows_reset() {
    endResetModel();
}

void KeyListModel::set_today(Day day) {
    if (day == today_) {
        return;
    }
    today_ = day;
    if (rowCount() > 0) {
        emit dataChanged(index(0, 0), index(rowCount() - 1, column_count - 1),
                         {Qt::ForegroundRole, Qt::FontRole});
    }
}
