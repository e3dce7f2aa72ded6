#include "ui/window/main_window.h"

#include "ui/commands/command_table.h"
#include "ui/commands/commands.h"
#include "ui/commands/controller_link.h"
#include "ui/models/key_filter_model.h"
#include "ui/models/key_list_model.h"
#include "ui/models/row_click_view.h"
#include "ui/models/screen_log_model.h"
#include "ui/models/validity_columns.h"
#include "ui/window/app.h"
#include "ui/window/document.h"
#include "ui/window/pane_layout.h"
#include "ui/window/recent_files.h"
#include "ui/window/toolbar_images.h"
#include "ui/window/window_properties.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>

#include <functional>
#include <vector>

namespace {

// The central area between the bars; its children are placed by the pane arithmetic, not by a
// layout.
class PaneArea final : public QWidget {
  public:
    explicit PaneArea(std::function<void()> on_resize) : on_resize_(std::move(on_resize)) {}

  protected:
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        on_resize_();
    }

  private:
    std::function<void()> on_resize_;
};

constexpr int initial_column_width = 150;

// The find field; Escape leaves it.
class FindField final : public QLineEdit {
  public:
    explicit FindField(std::function<void()> on_escape, QWidget* parent)
        : QLineEdit(parent), on_escape_(std::move(on_escape)) {}

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape) {
            on_escape_();
            return;
        }
        QLineEdit::keyPressEvent(event);
    }

  private:
    std::function<void()> on_escape_;
};

void set_initial_columns(RowClickView* view, int count) {
    for (int i = 0; i < count; ++i) {
        view->horizontalHeader()->resizeSection(i, initial_column_width);
    }
}

} // namespace

MainWindow::MainWindow(App& app) : app_(app) {
    setWindowTitle(QStringLiteral("Tessary - RD Manager"));
    setWindowIcon(program_icon());
    // No bar-hiding context menu: the view flags alone decide what is shown.
    setContextMenuPolicy(Qt::NoContextMenu);

    // An eighth of the screen left free around the window.
    QRect screen = QGuiApplication::primaryScreen()->geometry();
    const int w = screen.width();
    const int h = screen.height();
    move(w / 16, h / 16);
    resize(w * 7 / 8, h * 7 / 8);

    build_menus();
    build_toolbar();
    status_label_ = new QLabel(QStringLiteral("Ready"));
    status_label_->setTextFormat(Qt::PlainText);
    statusBar()->addWidget(status_label_, 1);
    progress_ = new QProgressBar;
    progress_->setMaximumWidth(200);
    progress_->setMaximumHeight(status_label_->sizeHint().height());
    progress_->hide();
    statusBar()->addPermanentWidget(progress_);
    count_label_ = new QLabel;
    count_label_->setObjectName(QStringLiteral("Key count"));
    count_label_->hide();
    statusBar()->addPermanentWidget(count_label_);
    build_panes();
}

MainWindow::~MainWindow() = default;

QAction* MainWindow::action(int command_id) const {
    return app_.commands.action(command_id);
}

QString MainWindow::status_text() const {
    return status_label_->text();
}

void MainWindow::show_status_text(const QString& text) {
    status_label_->setText(text);
}

void MainWindow::set_command_enabled(int command_id, bool enabled) {
    if (command_id == CmdSynchronize) {
        // Compare runs on the synchronize thread too, which takes one job at a time: while it
        // is busy, Compare would do nothing, so it is greyed along with Synchronize.
        set_command_enabled(CmdCompareWithController, enabled);
    }
    if (loading_ && needs_database(command_id)) {
        enabled_after_load_[command_id] = enabled;
        return;
    }
    if (QAction* a = action(command_id)) {
        a->setEnabled(enabled);
    }
}

void MainWindow::set_loading(bool loading) {
    if (loading == loading_) {
        return;
    }
    if (loading) {
        for (const CommandRow& row : command_table()) {
            if (row.flags & NeedsDatabase) {
                enabled_after_load_[row.id] = action(row.id)->isEnabled();
                action(row.id)->setEnabled(false);
            }
        }
        loading_ = true;
        return;
    }
    loading_ = false;
    for (const auto& [id, enabled] : enabled_after_load_) {
        set_command_enabled(id, enabled);
    }
    enabled_after_load_.clear();
    fill_recent_files();
}

void MainWindow::show_progress(int done, int total) {
    progress_->setRange(0, total > 0 ? total : 1);
    progress_->setValue(done < 0 ? 0 : (done > total ? total : done));
    progress_->show();
}

void MainWindow::hide_progress() {
    progress_->hide();
}

void MainWindow::build_menus() {
    std::vector<QMenu*> menus;
    for (const char* title : menu_titles()) {
        QMenu* menu = menuBar()->addMenu(QString::fromLatin1(title));
        // A popup title and a separator have no help; a command shows its help string.
        connect(menu, &QMenu::aboutToShow, this, [this] { show_status_text(QString()); });
        connect(menu, &QMenu::hovered, this,
                [this](QAction* a) { show_status_text(a ? a->statusTip() : QString()); });
        connect(menu, &QMenu::aboutToHide, this, &MainWindow::menu_closed);
        menus.push_back(menu);
    }
    for (const CommandRow& row : command_table()) {
        QMenu* menu = menus.at(static_cast<size_t>(row.menu));
        if (row.flags & SeparatorBefore) {
            menu->addSeparator();
        }
        menu->addAction(action(row.id));
        if (row.flags & Submenu) {
            auto* submenu = new QMenu(this);
            connect(submenu, &QMenu::hovered, this,
                    [this](QAction* a) { show_status_text(a ? a->statusTip() : QString()); });
            action(row.id)->setMenu(submenu);
            // Filled when its menu opens, so that a file deleted meanwhile shows greyed.
            connect(menu, &QMenu::aboutToShow, this, &MainWindow::fill_recent_files);
        }
    }
    fill_recent_files();
}

void MainWindow::fill_recent_files() {
    QAction* entry = action(CmdOpenRecent);
    const QStringList files = app_.settings ? RecentFiles(*app_.settings).files() : QStringList();
    fill_recent_menu(*entry->menu(), files, [this](const QString& path) {
        open_recent(app_, QFile::encodeName(path).toStdString());
    });
    set_command_enabled(CmdOpenRecent, !files.isEmpty());
}

bool MainWindow::event(QEvent* event) {
    // The actions carry their help as status tips, but the help is shown in the status label
    // and only while a menu entry is highlighted: Qt's own status-tip message would cover the
    // label, and would also appear for toolbar buttons.
    if (event->type() == QEvent::StatusTip) {
        return true;
    }
    return QMainWindow::event(event);
}

void MainWindow::menu_closed() {
    // Moving from one menu to the next closes one popup and opens another; "Ready" belongs to
    // the moment no popup is left.
    QTimer::singleShot(0, this, [this] {
        if (!QApplication::activePopupWidget()) {
            show_status_text(QStringLiteral("Ready"));
        }
    });
}

void MainWindow::build_toolbar() {
    tool_bar_ = addToolBar(QStringLiteral("Toolbar"));
    tool_bar_->setObjectName(QStringLiteral("toolbar"));
    tool_bar_->setMovable(false);
    tool_bar_->setFloatable(false);
    tool_bar_->setIconSize(QSize(toolbar_image_width, toolbar_image_height));
    tool_bar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    for (const ToolbarEntry& entry : toolbar_table()) {
        if (entry.image < 0) {
            tool_bar_->addSeparator();
            continue;
        }
        QAction* a = action(entry.id);
        a->setIcon(toolbar_icon(entry.image));
        tool_bar_->addAction(a);
    }
}

void MainWindow::build_panes() {
    auto* area = new PaneArea([this] { relayout(); });
    panes_ = area;
    setCentralWidget(area);

    log_model_ = new ScreenLogModel(app_.screen_log, this);
    log_view_ = new RowClickView(area);
    log_view_->setObjectName(QStringLiteral("Log listview"));
    log_view_->setModel(log_model_);
    set_initial_columns(log_view_, 3);

    key_model_ = new KeyListModel(app_.database.keys, this);
    key_view_ = new RowClickView(area);
    key_view_->setObjectName(QStringLiteral("Users listview"));
    key_filter_ = new KeyFilterModel(app_.database.keys, key_model_, this);
    key_view_->setModel(key_filter_);
    find_field_ = new FindField([this] { close_find_field(); }, area);
    find_field_->setObjectName(QStringLiteral("Find keys"));
    find_field_->setPlaceholderText(QStringLiteral("Find keys"));
    find_field_->setClearButtonEnabled(true);
    find_field_->hide();
    connect(find_field_, &QLineEdit::textChanged, key_filter_, &KeyFilterModel::set_query);
    connect(key_filter_, &KeyFilterModel::count_changed, this, [this] {
        count_label_->setText(key_filter_->count_text());
        count_label_->setVisible(!count_label_->text().isEmpty());
    });
    set_initial_columns(key_view_, 4);
    QMenu* columns = install_validity_columns(key_view_, key_model_, app_.clock);
    connect(columns, &QMenu::hovered, this,
            [this](QAction* a) { show_status_text(a ? a->statusTip() : QString()); });
    connect(columns, &QMenu::aboutToHide, this, &MainWindow::menu_closed);
    // Created hidden; start-up shows it.
    key_view_->hide();

    connect(log_view_, &RowClickView::double_clicked, this,
            [this] { dispatch_command(app_, CmdCopyFromLog); });
    connect(key_view_, &RowClickView::delete_pressed, this,
            [this] { dispatch_command(app_, CmdDeleteKeys); });
    connect(key_view_, &RowClickView::double_clicked, this, [this] {
        QModelIndex focused = key_view_->currentIndex();
        if (focused.isValid()) {
            app_.dialogs->edit_key(app_, key_filter_->store_row(focused.row()));
        }
    });
    connect(key_view_->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int column) { app_.database.keys.sort(column); });
    watch_presented_keys(app_, *this);
    for (RowClickView* view : {log_view_, key_view_}) {
        connect(view->horizontalHeader(), &QHeaderView::sectionResized, this,
                [this] { has_unsaved_changes(app_); });
    }
}

void MainWindow::relayout() {
    const ViewFlags& v = app_.view;
    const int toolbar = v.toolbar ? tool_bar_->frameGeometry().height() : 0;
    const int status = v.status_bar ? statusBar()->frameGeometry().height() : 0;
    // The pane area is what the bars leave of the client area below the menu.
    const int height = panes_->height() + toolbar + status;
    PaneGeometry g =
        compute_panes(panes_->width(), height, toolbar, status, v.log_window, v.key_list);
    if (v.log_window) {
        log_view_->setGeometry(g.log.x, g.log.y - toolbar, g.log.width, g.log.height);
    }
    find_field_->setVisible(v.key_list && find_open_);
    if (v.key_list) {
        // The find field, while open, takes the top of the key list's pane.
        const int find = find_open_ ? std::min(find_field_->sizeHint().height(), g.keys.height) : 0;
        find_field_->setGeometry(g.keys.x, g.keys.y - toolbar, g.keys.width, find);
        key_view_->setGeometry(g.keys.x, g.keys.y - toolbar + find, g.keys.width,
                               g.keys.height - find);
    }
}

void MainWindow::show_find_field() {
    key_filter_->prepare();
    find_open_ = true;
    relayout();
    find_field_->setFocus(Qt::ShortcutFocusReason);
    find_field_->selectAll();
}

void MainWindow::close_find_field() {
    find_field_->clear();
    find_open_ = false;
    relayout();
    key_view_->setFocus(Qt::OtherFocusReason);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // A database half read holds nothing the user changed, and saving it would cut the file
    // short: the load is abandoned and the file left as it is.
    if (loading_) {
        app_.loader.cancel();
        set_loading(false);
    } else if (!ask_save_changes(app_)) {
        event->ignore();
        return;
    }
    // A running Synchronize ends before the comm thread: stopping the link under it would
    // otherwise fail its transfer and raise a data-error box over a closing window.
    app_.sync.shut_down();
    // The comm thread goes first, so that no controller report reopens the log file after its
    // "Log ended" line.
    stop_link(app_);
    app_.logger.end_log();
    event->accept();
}

void MainWindow::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    has_unsaved_changes(app_);
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    has_unsaved_changes(app_);
}
