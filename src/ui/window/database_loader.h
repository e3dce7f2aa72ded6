// A database file read on a thread of its own, so that the window shows at once and stays
// responsive while a large database loads: the reader fills a record nobody else sees, and the
// user-interface thread takes its keys in one step when it is complete.
#pragma once

#include "database/key_list.h"
#include "database/tsy_file.h"
#include "platform/file.h"

#include <QObject>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

struct Host;

class DatabaseLoader final : public QObject {
    Q_OBJECT
  public:
    // Told on the user-interface thread, every tick while a load runs, how many bytes of how
    // many have been read.
    using Progress = std::function<void(int64_t bytes_read, int64_t file_size)>;
    // Given the record read and what the reader found besides, on the user-interface thread,
    // once the read is complete.
    using Done = std::function<void(DatabaseContents& loaded, const ReadResult& read)>;

    explicit DatabaseLoader(Host& host);
    // Abandons a running load.
    ~DatabaseLoader() override;
    DatabaseLoader(const DatabaseLoader&) = delete;
    DatabaseLoader& operator=(const DatabaseLoader&) = delete;

    // User-interface thread: reads the open file into contents that start with `log` and `layout`
    // and no keys (boxes of the reader go through the host). Not while a load runs.
    void start(File file, const LogSettings& log, const WindowLayout& layout, Progress progress,
               Done done);
    // From start() until its Done has returned, or until cancel().
    bool loading() const { return loading_; }
    // User-interface thread: ends a running load without its Done, waiting for the reader's
    // thread while serving its boxes.
    void cancel();

  private:
    void finish();
    void tick();

    Host& host_;
    std::thread thread_;
    std::unique_ptr<DatabaseContents> record_;
    // Written by the reader's thread before finished_, read after the join.
    ReadResult read_;
    std::atomic<int64_t> bytes_read_{0};
    std::atomic<int64_t> file_size_{0};
    std::atomic<bool> cancel_{false};
    std::atomic<bool> finished_{false};
    bool loading_ = false;
    Progress progress_;
    Done done_;
    QTimer ticker_;
};
