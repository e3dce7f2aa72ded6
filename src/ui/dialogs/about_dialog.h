// The About box: the program's name, version and where to read more. Only OK (or Enter)
// closes it; Esc and the close box leave it open.
#pragma once

#include <QDialog>

class AboutDialog final : public QDialog {
    Q_OBJECT
  public:
    explicit AboutDialog(QWidget* owner);

    void reject() override;
};
