#include "ui/window/database_loader.h"

#include "database/tsy_file.h"
#include "platform/host.h"

namespace {

// Often enough for a progress bar to move smoothly, rarely enough to cost nothing.
constexpr int tick_ms = 50;

} // namespace

DatabaseLoader::DatabaseLoader(Host& host) : host_(host) {
    ticker_.setInterval(tick_ms);
    connect(&ticker_, &QTimer::timeout, this, [this] { tick(); });
}

DatabaseLoader::~DatabaseLoader() {
    cancel();
}

void DatabaseLoader::start(File file, const LogSettings& log, const WindowLayout& layout,
                           Progress progress, Done done) {
    cancel();
    record_ = std::make_unique<DatabaseContents>();
    record_->log = log;
    record_->layout = layout;
    progress_ = std::move(progress);
    done_ = std::move(done);
    bytes_read_.store(0, std::memory_order_relaxed);
    file_size_.store(file.size(), std::memory_order_relaxed);
    cancel_.store(false, std::memory_order_relaxed);
    finished_.store(false, std::memory_order_relaxed);
    loading_ = true;
    ticker_.start();
    tick();
    thread_ = std::thread([this, file = std::move(file)]() mutable {
        read_ =
            read_database(*record_, file, false, host_, true, [this](int64_t read, int64_t size) {
                bytes_read_.store(read, std::memory_order_relaxed);
                file_size_.store(size, std::memory_order_relaxed);
                return !cancel_.load(std::memory_order_relaxed);
            });
        file.close();
        finished_.store(true, std::memory_order_release);
        // Queued to this object: a load cancelled meanwhile finds loading_ false. The thread is
        // joined before this object goes, so the call is posted before any destruction.
        QMetaObject::invokeMethod(
            this, [this] { finish(); }, Qt::QueuedConnection);
    });
}

void DatabaseLoader::tick() {
    if (loading_ && progress_) {
        progress_(bytes_read_.load(std::memory_order_relaxed),
                  file_size_.load(std::memory_order_relaxed));
    }
}

void DatabaseLoader::finish() {
    if (!loading_ || !finished_.load(std::memory_order_acquire)) {
        return;
    }
    thread_.join();
    ticker_.stop();
    loading_ = false;
    std::unique_ptr<DatabaseContents> record = std::move(record_);
    Done done = std::move(done_);
    const ReadResult read = std::move(read_);
    progress_ = nullptr;
    done(*record, read);
}

void DatabaseLoader::cancel() {
    ticker_.stop();
    loading_ = false;
    progress_ = nullptr;
    done_ = nullptr;
    if (!thread_.joinable()) {
        return;
    }
    // The reader may be showing the old-format box through this thread: it is served while
    // waiting.
    ask_stop_and_wait(
        host_, [this] { cancel_.store(true, std::memory_order_relaxed); },
        [this] { return finished_.load(std::memory_order_acquire); }, std::nullopt);
    thread_.join();
    record_.reset();
}
