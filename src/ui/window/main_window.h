// The main window: menu bar, toolbar, the screen log above the key list, and the status bar.
// Menu entries and toolbar buttons are the command table's actions; the window's own events
// (moving, resizing, closing) go to the window-property and save-changes logic.
#pragma once

#include "ui/host/qt_host.h"

#include <QMainWindow>

class QLabel;
class QMenu;
class QProgressBar;
class QToolBar;
class RowClickView;
class ScreenLogModel;
class KeyListModel;
struct App;

class MainWindow final : public QMainWindow, public HostWindow {
    Q_OBJECT
  public:
    explicit MainWindow(App& app);
    ~MainWindow() override;

    QAction* action(int command_id) const;
    QToolBar* tool_bar() const { return tool_bar_; }
    QLabel* status_label() const { return status_label_; }
    QString status_text() const;
    QWidget* pane_area() const { return panes_; }
    RowClickView* log_view() const { return log_view_; }
    RowClickView* key_view() const { return key_view_; }
    ScreenLogModel* log_model() const { return log_model_; }
    KeyListModel* key_model() const { return key_model_; }

    // Lays the panes out again after a bar or a pane was shown or hidden.
    void relayout();

    QWidget* owner_widget() override { return this; }
    void show_status_text(const QString& text) override;
    void set_command_enabled(int command_id, bool enabled) override;
    void show_progress(int done, int total) override;
    void hide_progress() override;
    QProgressBar* progress_bar() const { return progress_; }

  protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void build_menus();
    void build_toolbar();
    void build_panes();
    void menu_closed();

    App& app_;
    QToolBar* tool_bar_ = nullptr;
    QLabel* status_label_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QWidget* panes_ = nullptr;
    RowClickView* log_view_ = nullptr;
    RowClickView* key_view_ = nullptr;
    ScreenLogModel* log_model_ = nullptr;
    KeyListModel* key_model_ = nullptr;
};
