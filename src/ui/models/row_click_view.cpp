#include "ui/models/row_click_view.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTimer>

#include <memory>

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
                        // The scroll range must know about the new rows first.
                        executeDelayedItemsLayout();
                        updateGeometries();
                        scrollTo(this->model()->index(row, 0));
                    }
                });
            });
}

QPoint RowClickView::row_point(const QPoint& pos) const {
    // A point right of the last column still names its row: the view is given a point in the
    // first column of that row instead, so it selects (and keeps selected) the whole row.
    if (!indexAt(pos).isValid() && rowAt(pos.y()) >= 0 && indexAt(QPoint(1, pos.y())).isValid()) {
        return QPoint(1, pos.y());
    }
    return pos;
}

std::unique_ptr<QMouseEvent> RowClickView::moved_to_row(const QMouseEvent* event) const {
    const QPoint pos = event->position().toPoint();
    const QPoint target = row_point(pos);
    if (target == pos) {
        return nullptr;
    }
    return std::make_unique<QMouseEvent>(event->type(), QPointF(target), event->globalPosition(),
                                         event->button(), event->buttons(), event->modifiers(),
                                         event->pointingDevice());
}

void RowClickView::mousePressEvent(QMouseEvent* event) {
    auto moved = moved_to_row(event);
    QTableView::mousePressEvent(moved ? moved.get() : event);
    if (event->button() != Qt::LeftButton || !model()) {
        return;
    }
    // The row under the click ends up selected and focused, whatever the view did before.
    int row = rowAt(event->position().toPoint().y());
    if (row < 0) {
        return;
    }
    QModelIndex first = model()->index(row, 0);
    selectionModel()->select(first, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    selectionModel()->setCurrentIndex(first, QItemSelectionModel::NoUpdate);
}

void RowClickView::mouseReleaseEvent(QMouseEvent* event) {
    auto moved = moved_to_row(event);
    QTableView::mouseReleaseEvent(moved ? moved.get() : event);
}

void RowClickView::mouseDoubleClickEvent(QMouseEvent* event) {
    auto moved = moved_to_row(event);
    QTableView::mouseDoubleClickEvent(moved ? moved.get() : event);
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
