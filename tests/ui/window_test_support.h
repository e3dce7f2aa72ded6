// Shared pieces of the window tests: a clock the test moves, and an application started with a
// scripted host and shown offscreen.
#pragma once

#include "platform/clock.h"
#include "support/scripted_dialogs.h"
#include "support/scripted_qt_host.h"
#include "ui/window/app.h"
#include "ui/window/main_window.h"

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

struct TestClock final : Clock {
    LocalTime now{2003, 7, 4, 9, 5, 0};
    uint32_t tick = 0;
    uint32_t tick_ms() override { return tick; }
    LocalTime local_time() override { return now; }
    void sleep_ms(uint32_t ms) override { tick += ms; }
};

// A fresh application per test: scripted boxes and file dialogs, the manual viewer replaced, window
// shown.
struct TestApp {
    explicit TestApp(const std::string& command_line = {}, bool show = true) {
        app = make_scripted_app(clock);
        // Recent files and the last folder go to a file of the test's own.
        app->settings = std::make_unique<QSettings>(settings_dir.filePath("tessary.conf"),
                                                    QSettings::IniFormat);
        // No serial device of the machine the tests run on reaches a Settings list.
        scripted_dialogs(*app).ports = [] { return std::vector<SystemPort>{}; };
        scripted_dialogs(*app).url = [this](const QUrl& url) {
            opened_urls.push_back(url);
            return open_url_result;
        };
        start_up(*app, command_line);
        wait_loaded();
        if (show) {
            QVERIFY(QTest::qWaitForWindowExposed(app->window.get()));
        }
    }
    ~TestApp() {
        // The window is closed without the close path (no prompt, no "Log ended").
        app.reset();
    }
    MainWindow& window() { return *app->window; }
    // An open reads its file on another thread; the test goes on once the keys are in.
    void wait_loaded() { QTRY_VERIFY_WITH_TIMEOUT(!app->loader.loading(), 20000); }
    ScriptedQtHost& host() { return scripted_host(*app); }
    std::vector<ShownBox> boxes() { return host().boxes(); }

    TestClock clock;
    QTemporaryDir settings_dir;
    std::unique_ptr<App> app;
    std::vector<QUrl> opened_urls;
    bool open_url_result = true;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}
