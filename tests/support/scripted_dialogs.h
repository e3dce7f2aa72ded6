// Dialogs a test answers: each one set answers for the dialog; the others are the program's.
#pragma once

#include "ui/dialogs/key_usage_dialog.h"
#include "ui/window/app.h"

#include <functional>

struct ScriptedDialogs final : AppDialogs {
    std::function<int(App&, int row)> edit_key_row;
    std::function<bool(const QUrl&)> url;
    std::function<std::optional<std::string>(App&, bool save)> csv;
    std::function<std::vector<SystemPort>()> ports;
    std::function<File(const std::string&)> loading;
    std::function<CsvImportChoice(App&, const CsvImportPlan&)> import_preview;
    std::function<std::optional<size_t>(App&, const std::vector<DatabaseBackup>&)> backup;
    std::function<bool(App&, const KeyDifference&)> comparison;
    std::function<void(KeyUsageDialog&)> usage;

    int edit_key(App& app, int row) override {
        return edit_key_row ? edit_key_row(app, row) : AppDialogs::edit_key(app, row);
    }
    bool open_url(const QUrl& u) override { return url ? url(u) : AppDialogs::open_url(u); }
    std::optional<std::string> csv_file(App& app, bool save) override {
        return csv ? csv(app, save) : AppDialogs::csv_file(app, save);
    }
    std::vector<SystemPort> system_ports() override {
        return ports ? ports() : AppDialogs::system_ports();
    }
    CsvImportChoice csv_import_preview(App& app, const CsvImportPlan& plan) override {
        return import_preview ? import_preview(app, plan)
                              : AppDialogs::csv_import_preview(app, plan);
    }
    std::optional<size_t> choose_backup(App& app,
                                        const std::vector<DatabaseBackup>& backups) override {
        return backup ? backup(app, backups) : AppDialogs::choose_backup(app, backups);
    }
    bool show_comparison(App& app, const KeyDifference& diff) override {
        return comparison ? comparison(app, diff) : AppDialogs::show_comparison(app, diff);
    }
    void key_usage(KeyUsageDialog& dialog) override {
        usage ? usage(dialog) : AppDialogs::key_usage(dialog);
    }
    File open_for_loading(const std::string& path) override {
        return loading ? loading(path) : AppDialogs::open_for_loading(path);
    }
};

// The scripted dialogs of an application, put in on first use.
inline ScriptedDialogs& scripted_dialogs(App& app) {
    if (auto* d = dynamic_cast<ScriptedDialogs*>(app.dialogs.get())) {
        return *d;
    }
    app.dialogs = std::make_unique<ScriptedDialogs>();
    return static_cast<ScriptedDialogs&>(*app.dialogs);
}
