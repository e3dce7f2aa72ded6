// The Compare with controller dialog's content from a difference: counts at the top, the keys
// in their groups with the database's names, Synchronize offered only when there is a
// difference.
#include "ui/dialogs/compare_dialog.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

class CompareDialogTest : public QObject {
    Q_OBJECT
  private slots:
    void showsCountsAndNamedKeysPerGroup();
    void sameKeysOfferNoSynchronize();
};

void CompareDialogTest::showsCountsAndNamedKeysPerGroup() {
    DatabaseContents db;
    for (auto [number, name] : {std::pair{0x12u, "Anna"}, {0x13u, "Ben"}, {0x44u, "Old tenant"}}) {
        db.keys.add(KeyId{0, number, 0}, name);
    }
    KeyDifference diff;
    diff.to_add = {KeyId{0, 0x12, 0}, KeyId{0, 0x13, 0}};
    diff.master = KeyId{7, 0x000100, 3};
    diff.extra = {diff.master, KeyId{7, 0x00ab01, 3}};
    diff.expired = {KeyId{7, 0x44, 3}};
    CompareDialog dialog(db.keys, diff);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Tessary - Compare with controller"));
    QCOMPARE(dialog.counts_label()->text(),
             QStringLiteral("Keys the controller lacks: 2\nKeys only the controller holds: 2\n"
                            "Expired keys the controller still holds: 1"));
    QTreeWidget* tree = dialog.key_tree();
    const struct {
        const char* heading;
        std::vector<std::pair<const char*, const char*>> keys;
    } groups[] = {
        {"Keys the controller lacks (2)", {{"000012", "Anna"}, {"000013", "Ben"}}},
        {"Keys only the controller holds (2)", {{"000100", "(master key)"}, {"00ab01", ""}}},
        {"Expired keys the controller still holds (1)", {{"000044", "Old tenant"}}}};
    QCOMPARE(tree->topLevelItemCount(), 3);
    for (int g = 0; g < 3; ++g) {
        QTreeWidgetItem* top = tree->topLevelItem(g);
        QCOMPARE(top->text(0), QString::fromLatin1(groups[g].heading));
        QCOMPARE(top->childCount(), static_cast<int>(groups[g].keys.size()));
        for (int k = 0; k < top->childCount(); ++k) {
            QCOMPARE(top->child(k)->text(0), QString::fromLatin1(groups[g].keys[k].first));
            QCOMPARE(top->child(k)->text(1), QString::fromLatin1(groups[g].keys[k].second));
        }
    }
    QVERIFY(dialog.synchronize_button()->isEnabled());
}

void CompareDialogTest::sameKeysOfferNoSynchronize() {
    DatabaseContents db;
    KeyDifference diff;
    diff.readout_incomplete = true;
    CompareDialog dialog(db.keys, diff);
    QCOMPARE(dialog.counts_label()->text(),
             QStringLiteral("The database and the key controller hold the same keys.\n\nA data "
                            "communication problem occurred while the keys were read back: the "
                            "lists may be incomplete."));
    QCOMPARE(dialog.key_tree()->topLevelItemCount(), 0);
    QVERIFY(!dialog.synchronize_button()->isEnabled());
}

QTEST_MAIN(CompareDialogTest)
#include "compare_dialog_test.moc"
