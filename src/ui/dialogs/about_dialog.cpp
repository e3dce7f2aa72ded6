#include "ui/dialogs/about_dialog.h"

#include "ui/commands/commands.h"
#include "ui/window/app.h"
#include "ui/window/main_window.h"
#include "ui/window/toolbar_images.h"
#include "ui/window/window_properties.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

AboutDialog::AboutDialog(QWidget* owner) : QDialog(owner) {
    setWindowTitle(QStringLiteral("About Tessary"));
    setModal(true);
    auto* icon = new QLabel;
    icon->setPixmap(program_icon_pixmap(32, devicePixelRatioF()));
    icon->setAlignment(Qt::AlignTop);
    auto* text = new QLabel(QStringLiteral(
        "Tessary\nVersion 2.6\n\nKey database manager for the RD family of door-access key "
        "controllers.\n\nMore information is in the manual: Help > Manual in Browser."));
    text->setTextFormat(Qt::PlainText);
    text->setObjectName(QStringLiteral("about_text"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* top = new QHBoxLayout;
    top->addWidget(icon);
    top->addSpacing(12);
    top->addWidget(text, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    place_dialog(this);
}

void AboutDialog::reject() {
    // Esc and the close box do nothing here: only OK ends the box.
}

void about_box(App& app) {
    AboutDialog dialog(app.window.get());
    dialog.exec();
}
