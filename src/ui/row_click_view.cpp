#include "ui/row_click_view.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTimer>

RowClickView::RowClickView(QWidget* parent) : QTableView(parent) {
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(false);
    setWordWrap(false);
    setTabKeyNavigation(false);
    setCornerButtonEnabled(false);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    QHeaderView* header = horizontalHeader();
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setHighlightSections(false);
    header->setSectionsClickable(true);
    header->setStretchLastSection(false);
    // Stored widths must come back exactly as saved, small ones included.
    header->setMinimumSectionSize(0);
    header->setSectionResizeMode(QHeaderView::Interactive);
}

void RowClickView::setModel(QAbstractItemModel* model) {
    QTableView::setModel(model);
    if (!model) {
        return;
    }
    connect(model, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex&, int, int last) {
                bool scheduled = pending_scroll_row_ >= 0;
                pending_scroll_row_ = last;
                if (scheduled) {
                    return;
                }
                // A file load inserts rows one by one; scroll once, to the last of them.
                QTimer::singleShot(0, this, [this] {
                    int row = pending_scroll_row_;
                    pending_scroll_row_ = -1;
                    if (this->model() && row >= 0 && row < this->model()->rowCount()) {
                        scrollTo(this->model()->index(row, 0));
                    }
                });
            });
}

void RowClickView::mousePressEvent(QMouseEvent* event) {
    QTableView::mousePressEvent(event);
    if (event->button() != Qt::LeftButton || !model()) {
        return;
    }
    // Only the height counts, so any place along the row selects it, columns included.
    int row = rowAt(event->position().toPoint().y());
    if (row < 0) {
        return;
    }
    QModelIndex first = model()->index(row, 0);
    selectionModel()->select(first, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    selectionModel()->setCurrentIndex(first, QItemSelectionModel::NoUpdate);
}

void RowClickView::mouseDoubleClickEvent(QMouseEvent* event) {
    QTableView::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton) {
        emit double_clicked();
    }
}

void RowClickView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Delete) {
        emit delete_pressed();
        return;
    }
    QTableView::keyPressEvent(event);
}
