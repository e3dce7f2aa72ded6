#include "ui/models/key_list_model.h"

#include "ui/models/key_text.h"

namespace {
const char* const headers[4] = {"Key nr.", "Name", "Memo", "Free field"};
}

KeyListModel::KeyListModel(DatabaseRecord& database, QObject* parent)
    : QAbstractTableModel(parent), db_(database) {}

KeyListModel::~KeyListModel() {
    if (db_.keys.observer == this) {
        db_.keys.observer = nullptr;
    }
}

int KeyListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : key_row_count(db_);
}

int KeyListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 4;
}

QVariant KeyListModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid()) {
        return {};
    }
    return display_text(key_cell_text(db_, index.row(), index.column()));
}

QVariant KeyListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < 4) {
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
    emit dataChanged(index(row, 0), index(row, 3), {Qt::DisplayRole});
}

void KeyListModel::rows_about_to_be_reordered() {
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    moving_ = persistentIndexList();
    moving_records_.clear();
    for (const QModelIndex& i : moving_) {
        moving_records_.push_back(key_row(db_, i.row()));
    }
}

void KeyListModel::rows_reordered() {
    QModelIndexList to;
    for (int i = 0; i < moving_.size(); ++i) {
        const int row = key_record_row(db_, moving_records_[static_cast<size_t>(i)]);
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
