// The main window: menu bar, toolbar, the screen log above the key list, and the status bar.
// Menu entries and toolbar buttons are the command table's actions; the window's own events
// (moving, resizing, closing) go to the window-property and save-changes logic.
#pragma once

#include "ui/host/qt_host.h"

#include <QMainWindow>

#include <map>

class QLabel;
class QMenu;
class QProgressBar;
class QToolBar;
class RowClickView;
class ScreenLogModel;
class KeyListModel;
class KeyFilterModel;
class QLineEdit;
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
    // What the key view shows: the key list through the find field's filter.
    KeyFilterModel* key_filter() const { return key_filter_; }
    QLineEdit* find_field() const { return find_field_; }
    QLabel* count_label() const { return count_label_; }
    // Ctrl+F: shows the find field above the key list and puts the cursor in it. Escape in the
    // field clears the filter and hides the field again.
    void show_find_field();
    void close_find_field();

    // While a database loads, the commands that need it are greyed; what they were asked to show
    // meanwhile is what they show afterwards.
    void set_loading(bool loading);
    bool loading() const { return loading_; }

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
    // File > Open Recent from the recent-files list; greyed while the list is empty.
    void fill_recent_files();
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
    KeyFilterModel* key_filter_ = nullptr;
    QLineEdit* find_field_ = nullptr;
    QLabel* count_label_ = nullptr;
    bool find_open_ = false;
    bool loading_ = false;
    std::map<int, bool> enabled_after_load_;
};
