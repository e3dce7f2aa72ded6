// The key list as the view shows it: the rows whose texts hold the find field's text. The view's
// rows are not the store's rows while a filter is on; commands that work on the selection ask
// store_row_selected() and the double-click maps its row back with store_row().
#pragma once

#include "database/key_filter.h"

#include <QSortFilterProxyModel>

class KeyListModel;
class QItemSelectionModel;

class KeyFilterModel final : public QSortFilterProxyModel {
    Q_OBJECT
  public:
    KeyFilterModel(KeyList& keys, KeyListModel* source, QObject* parent = nullptr);

    ~KeyFilterModel() override;

    // The key list's observer: it follows the rows, then hands every call on to the source model.
    KeyListObserver* observer() { return &filter_; }
    const KeyFilter& filter() const { return filter_; }

    void set_query(const QString& text);
    // The "expires within 14 days" filter from the given day; none turns it off.
    void set_expiring_from(std::optional<Day> today);
    void prepare() { filter_.prepare(); }
    // "12 of 340 keys" while a query or the expiry filter is set; empty otherwise.
    QString count_text() const;

    // The store row under a view row, or -1.
    int store_row(int view_row) const;
    bool store_row_selected(const QItemSelectionModel* selection, int store_row) const;
    // The view row of a store row; -1 when the filter hides it.
    int view_row(int store_row) const;

  signals:
    void count_changed();

  protected:
    bool filterAcceptsRow(int source_row, const QModelIndex& source_parent) const override;

  private:
    KeyList& keys_;
    KeyFilter filter_;
};
