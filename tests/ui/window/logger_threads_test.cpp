// Log lines from several threads at once: each line reaches the screen log and the file whole.
#include "ui/window_test_support.h"

#include "events/log_file.h"
#include "ui/models/row_click_view.h"

#include <QTemporaryDir>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

class LoggerThreadsTest : public QObject {
    Q_OBJECT
  private slots:
    void lines_from_many_threads_never_mix();
};

void LoggerThreadsTest::lines_from_many_threads_never_mix() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    TestApp t;
    t.app->database.file_name = dir.filePath("threads.tsy").toStdString();
    t.app->logger.start_log();

    constexpr int threads = 4;
    constexpr int lines = 60;
    std::atomic<int> finished{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < threads; ++w) {
        workers.emplace_back([&, w] {
            for (int i = 0; i < lines; ++i) {
                // Lengths vary around the column widths, long ones included.
                std::string event = "w" + std::to_string(w) + "-" + std::to_string(i) + " " +
                                    std::string(static_cast<size_t>(i % 70), 'x');
                t.app->logger.add_log_line("k" + std::to_string(w), event, i % 5 == 0);
            }
            ++finished;
        });
    }
    // The user-interface thread serves the lines while the workers wait on it.
    QTRY_VERIFY_WITH_TIMEOUT(finished.load() == threads, 60000);
    for (std::thread& worker : workers) {
        worker.join();
    }

    std::string file = read_file(dir.filePath("threads.log").toStdString());
    std::set<std::string> expected;
    expected.insert(log_file_line("2003/7/4 9:05", " - ", "Log started"));
    for (int w = 0; w < threads; ++w) {
        for (int i = 0; i < lines; ++i) {
            expected.insert(log_file_line("2003/7/4 9:05", "k" + std::to_string(w),
                                          "w" + std::to_string(w) + "-" + std::to_string(i) + " " +
                                              std::string(static_cast<size_t>(i % 70), 'x')));
        }
    }
    std::multiset<std::string> found;
    size_t pos = 0;
    while (pos < file.size()) {
        size_t end = file.find("\r\n", pos);
        QVERIFY(end != std::string::npos);
        found.insert(file.substr(pos, end + 2 - pos));
        pos = end + 2;
    }
    QCOMPARE(found.size(), expected.size());
    for (const std::string& line : found) {
        QVERIFY2(expected.count(line) == 1, line.c_str());
    }
    QCOMPARE(t.app->screen_log.rows.size(), size_t(1 + threads * lines));
    QCOMPARE(t.window().log_view()->model()->rowCount(), 1 + threads * lines);
}

QTEST_MAIN(LoggerThreadsTest)
#include "logger_threads_test.moc"
