// The key list's rows for a view: "Key nr.", "Name", "Memo", "Free field", "Valid from", "Valid
// until", texts made on demand from each row's key record. A sort keeps the selection with its
// keys. Against the model's day, an expired key is grey and a key that starts later italic.
#pragma once

#include "database/key_list.h"

#include <QAbstractTableModel>

#include <vector>

class KeyListModel final : public QAbstractTableModel, public KeyListObserver {
    Q_OBJECT
  public:
    explicit KeyListModel(KeyList& keys, QObject* parent = nullptr);
    ~KeyListModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void rows_about_to_be_inserted(int first, int last) override;
    void rows_inserted(int first, int last) override;
    void rows_about_to_be_removed(int first, int last) override;
    void rows_removed(int first, int last) override;
    void row_changed(int row) override;
    void rows_about_to_be_reordered() override;
    void rows_reordered() override;
    void rows_about_to_be_reset() override;
    void rows_reset() override;

    // The first of the validity columns; the two are the last columns of the model.
    static constexpr int valid_from_column = 4;
    Day today() const { return today_; }
    void set_today(Day day);

  private:
    KeyList& keys_;
    Day today_;
    // Records under the persistent indexes (selection, current row) while a sort runs.
    QModelIndexList moving_;
    std::vector<const KeyRecord*> moving_records_;
};
