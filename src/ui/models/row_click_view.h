// The report list used for the screen log and the key list: whole rows, no grid, columns the
// user can widen. A click anywhere along a row (also right of the last column) selects and
// focuses that row; a double-click anywhere and the Delete key are reported.
#pragma once

#include <QMouseEvent>
#include <QTableView>

#include <memory>

class RowClickView final : public QTableView {
    Q_OBJECT
  public:
    explicit RowClickView(QWidget* parent = nullptr);

    // Follows the model's inserted rows: the newest row is scrolled into view once the
    // current batch of insertions is over.
    void setModel(QAbstractItemModel* model) override;

  signals:
    void delete_pressed();
    void double_clicked();

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    QPoint row_point(const QPoint& pos) const;
    // The event moved to the first column of its row, or null when it needs no moving.
    std::unique_ptr<QMouseEvent> moved_to_row(const QMouseEvent* event) const;

    int pending_scroll_row_ = -1;
};
