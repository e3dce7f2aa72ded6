// The window over a database that tessaryd serves: attached instead of opening the port, its
// commands asked of the service with today's questions and boxes, and the port its own again
// when the service stops.
#include "client/service_client.h"
#include "history/event_store.h"
#include "service/service.h"
#include "sim_controller.h"
#include "support/fake_clock.h"
#include "support/scripted_dialogs.h"
#include "support/scripted_qt_host.h"
#include "ui/commands/commands.h"
#include "ui/commands/controller_link.h"
#include "ui/window/app.h"
#include "ui/window/document.h"
#include "ui/window/main_window.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>
#include <thread>

namespace {

bool log_shows(App& app, const std::string& key, const std::string& event) {
    for (const LogRow& row : app.screen_log.rows) {
        if (row.key_text == key && row.event_text == event) {
            return true;
        }
    }
    return false;
}

bool box_shown(App& app, const std::string& text) {
    for (const ShownBox& box : scripted_host(app).boxes()) {
        if (box.text == text) {
            return true;
        }
    }
    return false;
}

} // namespace

class ServiceAttachTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    FakeClock clock;
    std::unique_ptr<SimController> sim;
    std::unique_ptr<Service> service;
    std::thread runner;
    std::unique_ptr<App> app;

    std::string path(const char* name) const { return dir.filePath(name).toStdString(); }
    void stop_service() {
        if (service) {
            service->stop();
        }
        if (runner.joinable()) {
            runner.join();
        }
        service.reset();
    }
    // The service linked to the controller, as a desk would see it.
    bool service_connected() {
        ServiceClient c;
        if (!c.connect(path("tessaryd.sock"))) {
            return false;
        }
        const auto served = c.list(5000);
        return served && served->size() == 1 && served->front().state == "connected";
    }
    size_t stored_events() {
        std::string error;
        auto store =
            EventStore::open(history_path(path("office.tsy")), false, path("office.tsy"), &error);
        return store ? store->page(EventFilter{}, 10).size() : 0;
    }
    void open_window() {
        app = make_scripted_app(clock);
        app->service_socket = path("tessaryd.sock");
        app->settings = std::make_unique<QSettings>(dir.filePath("t.conf"), QSettings::IniFormat);
        app->settings->setValue("sync/verify", false);
        start_up(*app, path("office.tsy"));
        // The database is read on the loader's thread; the link's step follows it.
        QTRY_VERIFY(app->attachment);
    }

  private slots:
    void init() {
        QVERIFY(dir.isValid());
        clock.auto_advance = true;
        qputenv("TESSARY_PORT_DIR", dir.filePath("ports").toLocal8Bit());
        sim = std::make_unique<SimController>();
        QVERIFY(sim->start());
        QVERIFY(sim->link_as(path("ports"), 1));
        sim->set_memory(0x000001, {0x00a3f1});
        std::ofstream(path("office.tsy"))
            << "COM\t1\nKEY\t000001\tManager\t\t\nKEY\t00a3f1\tCaretaker\tNight shift\t\n";
        std::ofstream(path("site.conf")) << "database = office.tsy\n";
        ServiceOptions o;
        o.site_path = path("site.conf");
        o.socket_path = path("tessaryd.sock");
        service = std::make_unique<Service>(o);
        QVERIFY(service->open());
        runner = std::thread([this] { service->run(); });
        QTRY_VERIFY_WITH_TIMEOUT(service_connected(), 20000);
    }
    void cleanup() {
        app.reset();
        stop_service();
        sim.reset();
    }

    // What the service logged before the window opened comes first, then what comes after;
    // the window itself never holds the port.
    void showsTheBacklogThenLiveReportsUnderTheTitleOfTheService() {
        ServiceClient watcher;
        QVERIFY(watcher.connect(path("tessaryd.sock")));
        QVERIFY(watcher.request("\"op\": \"subscribe\"", 5000));
        sim->present_key(0x00a3f1);
        QVERIFY(watcher.next(10000));
        QTRY_VERIFY_WITH_TIMEOUT(stored_events() > 1, 10000); // "Log started" and the key
        open_window();
        const QString title = app->window->windowTitle();
        QVERIFY2(title.endsWith(" [COM1 via service] - Tessary"), qPrintable(title));
        QTRY_VERIFY(log_shows(*app, "00a3f1", "Valid key: Caretaker."));
        sim->present_key(0x000001);
        QTRY_VERIFY(log_shows(*app, "000001", "Master key: Manager."));
        QCOMPARE(app->session.link_state(), LinkState::None);
    }

    void oneShotCommandsReachTheControllerThroughTheService() {
        open_window();
        app->window->action(CmdOpenDoorB)->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(sim->commands('b'), 1, 10000);
        QVERIFY(scripted_host(*app).boxes().empty());
    }

    // The controller's extra key: the same question; Yes keeps it in the window's database,
    // marked changed, and the service's run ends with the same box.
    void synchronizeAsksAboutExtraKeysAndKeepsThemInTheWindowsDatabase() {
        sim->set_memory(0x000001, {0x00a3f1, 0x0badc1});
        open_window();
        app->database.keys.add(KeyId{0, 0x0104bc, 0}, "Cleaner");
        mark_modified(*app);
        // The service runs from the saved file: unsaved, the user is asked first.
        scripted_host(*app).push_answer(MsgAnswer::Cancel);
        app->window->action(CmdSynchronize)->trigger();
        QVERIFY(box_shown(*app, service_unsaved_text));
        QVERIFY(app->window->action(CmdSynchronize)->isEnabled());
        scripted_host(*app).push_answer(MsgAnswer::Ok);
        scripted_host(*app).push_answer(MsgAnswer::Yes);
        app->window->action(CmdSynchronize)->trigger();
        QVERIFY(!app->document.modified);
        QVERIFY(!app->window->action(CmdSynchronize)->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(
            box_shown(*app, "The database and the key controller are now up to date."), 20000);
        QVERIFY(box_shown(*app, sync_text_extra_keys));
        QTRY_VERIFY(app->window->action(CmdSynchronize)->isEnabled());
        QVERIFY(app->document.modified);
        const KeyRecord* kept = app->database.keys.row(app->database.keys.find({0, 0x0badc1, 0}));
        QVERIFY(kept);
        QCOMPARE(std::string(kept->name), std::string(sync_kept_key_name));
        const std::vector<uint32_t> memory = sim->memory();
        QVERIFY(std::find(memory.begin(), memory.end(), 0x0104bcu) != memory.end());
        QVERIFY(std::find(memory.begin(), memory.end(), 0x0badc1u) != memory.end());
        QCOMPARE(app->window->status_text(), QStringLiteral("Ready"));
    }

    void compareHandsTheServicesDifferenceToTheDialog() {
        sim->set_memory(0x000001, {0x0badc1});
        open_window();
        std::vector<KeyDifference> shown;
        scripted_dialogs(*app).comparison = [&shown](App&, const KeyDifference& d) {
            shown.push_back(d);
            return false;
        };
        app->window->action(CmdCompareWithController)->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(shown.size(), size_t{1}, 20000);
        QCOMPARE(shown[0].to_add.size(), size_t{1});
        QCOMPARE(shown[0].to_add[0].number, 0x00a3f1u);
        QCOMPARE(shown[0].extra.size(), size_t{1});
        QCOMPARE(shown[0].extra[0].number, 0x0badc1u);
        QCOMPARE(shown[0].master.number, 0x000001u);
        QTRY_VERIFY(app->window->action(CmdSynchronize)->isEnabled());
    }

    // Once, and the window's own link takes over the port the service let go.
    void whenTheServiceStopsTheWindowSaysSoOnceAndOpensThePort() {
        open_window();
        stop_service();
        const std::string said = std::string(service_stopped_text) + "COM1 itself.";
        QTRY_VERIFY(box_shown(*app, said));
        QVERIFY(!app->attachment);
        QVERIFY(app->window->windowTitle().endsWith(" [COM1] - Tessary"));
        QTRY_COMPARE_WITH_TIMEOUT(app->session.link_state(), LinkState::Connected, 20000);
        sim->present_key(0x00a3f1);
        QTRY_VERIFY(log_shows(*app, "00a3f1", "Valid key: Caretaker."));
        int told = 0;
        for (const ShownBox& box : scripted_host(*app).boxes()) {
            told += box.text == said;
        }
        QCOMPARE(told, 1);
    }
};

QTEST_MAIN(ServiceAttachTest)
#include "service_attach_threads_test.moc"
