#include "ui/dialogs/compare_dialog.h"

#include "ui/models/key_text.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

struct Group {
    const char* heading;
    const std::vector<KeyId>* keys;
};

QString key_number_text(const KeyId& id) {
    return QStringLiteral("%1").arg(id.number & key_number_mask, 6, 16, QLatin1Char('0'));
}

} // namespace

CompareDialog::CompareDialog(const KeyList& keys, const KeyDifference& diff, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QString::fromLatin1(compare_caption));
    auto* layout = new QVBoxLayout(this);

    const Group groups[] = {{sync_text_verify_lacks, &diff.to_add},
                            {sync_text_verify_extra, &diff.extra},
                            {compare_text_expired, &diff.expired}};
    QStringList counts;
    for (const Group& g : groups) {
        counts << QStringLiteral("%1 %2").arg(QString::fromLatin1(g.heading)).arg(g.keys->size());
    }
    if (diff.empty()) {
        counts = QStringList{QString::fromLatin1(compare_text_same)};
    }
    if (diff.readout_incomplete) {
        counts << QString() << QString::fromLatin1(compare_text_incomplete);
    }
    counts_ = new QLabel(counts.join(QLatin1Char('\n')));
    counts_->setTextFormat(Qt::PlainText);
    counts_->setObjectName(QStringLiteral("Compare counts"));
    layout->addWidget(counts_);

    tree_ = new QTreeWidget;
    tree_->setObjectName(QStringLiteral("Compare keys"));
    tree_->setHeaderLabels({QStringLiteral("Key nr."), QStringLiteral("Name")});
    tree_->setRootIsDecorated(true);
    tree_->setUniformRowHeights(true);
    for (const Group& g : groups) {
        if (g.keys->empty()) {
            continue;
        }
        auto* top = new QTreeWidgetItem(tree_, {QString::fromLatin1(g.heading).chopped(1) +
                                                QStringLiteral(" (%1)").arg(g.keys->size())});
        top->setFirstColumnSpanned(true);
        for (const KeyId& id : *g.keys) {
            const KeyRecord* row = keys.row(keys.find(id));
            QString name = row ? display_text(row->name) : QString();
            if (!row && id == diff.master) {
                name = QString::fromLatin1(compare_text_master);
            }
            new QTreeWidgetItem(top, {key_number_text(id), name});
        }
        top->setExpanded(true);
    }
    tree_->setVisible(!diff.empty());
    // The group headings span both columns; the numbers need little room.
    tree_->setColumnWidth(0, tree_->indentation() +
                                 tree_->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) +
                                 24);
    layout->addWidget(tree_, 1);

    auto* buttons = new QDialogButtonBox;
    synchronize_ = buttons->addButton(QStringLiteral("&Synchronize"), QDialogButtonBox::AcceptRole);
    synchronize_->setEnabled(!diff.empty());
    // Looking is what the user came for: Enter closes, Synchronize takes a deliberate press.
    synchronize_->setAutoDefault(false);
    QPushButton* close = buttons->addButton(QDialogButtonBox::Close);
    close->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(520, diff.empty() ? 140 : 420);
}
