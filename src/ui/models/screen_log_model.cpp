#include "ui/models/screen_log_model.h"

#include "ui/models/key_text.h"

#include <QColor>

namespace {
const char* const headers[3] = {"Key nr.", "Event", "Time"};
}

ScreenLogModel::ScreenLogModel(ScreenLog& log, QObject* parent)
    : QAbstractTableModel(parent), log_(log), rows_(screen_log_row_count(log)) {
    log_.observer = this;
}

ScreenLogModel::~ScreenLogModel() {
    if (log_.observer == this) {
        log_.observer = nullptr;
    }
}

int ScreenLogModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : rows_;
}

int ScreenLogModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 3;
}

QVariant ScreenLogModel::data(const QModelIndex& index, int role) const {
    const LogRow* row = screen_log_row(log_, index.row());
    if (!row || index.row() >= rows_) {
        return {};
    }
    if (role == Qt::DisplayRole) {
        const std::string& text = index.column() == 0   ? row->key_text
                                  : index.column() == 1 ? row->event_text
                                                        : row->time_text;
        return display_text(text);
    }
    if (role == Qt::ForegroundRole && row->highlight) {
        return QColor(255, 0, 0);
    }
    return {};
}

QVariant ScreenLogModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < 3) {
        return QString::fromLatin1(headers[section]);
    }
    return {};
}

void ScreenLogModel::log_rows_inserted(int first, int last) {
    beginInsertRows({}, first, last);
    rows_ += last - first + 1;
    endInsertRows();
}

void ScreenLogModel::log_rows_removed(int first, int last) {
    beginRemoveRows({}, first, last);
    rows_ -= last - first + 1;
    endRemoveRows();
}

void ScreenLogModel::log_rows_reset() {
    beginResetModel();
    rows_ = screen_log_row_count(log_);
    endResetModel();
}
