// Keys > Compare with controller's answer: how the controller's key memory differs from the key
// database, counts at the top and the keys below in three groups (the controller lacks them,
// only the controller holds them, the controller still holds them past their last day), each
// key with its name where the database knows it. Its Synchronize button ends the dialog with
// Accepted, for the caller to start Synchronize.
#pragma once

#include "database/key_list.h"
#include "sync/synchronize.h"

#include <QDialog>

class QLabel;
class QPushButton;
class QTreeWidget;

constexpr const char* compare_text_same = "The database and the key controller hold the same keys.";
constexpr const char* compare_text_expired = "Expired keys the controller still holds:";
// The name shown for the controller's master key when the database has no row for it.
constexpr const char* compare_text_master = "(master key)";
constexpr const char* compare_text_incomplete =
    "A data communication problem occurred while the keys were read back: the lists may be "
    "incomplete.";

class CompareDialog final : public QDialog {
    Q_OBJECT
  public:
    CompareDialog(const KeyList& keys, const KeyDifference& diff, QWidget* parent = nullptr);

    QLabel* counts_label() const { return counts_; }
    // One top-level item per group that has keys; its children are "Key nr." and "Name".
    QTreeWidget* key_tree() const { return tree_; }
    QPushButton* synchronize_button() const { return synchronize_; }

  private:
    QLabel* counts_ = nullptr;
    QTreeWidget* tree_ = nullptr;
    QPushButton* synchronize_ = nullptr;
};
