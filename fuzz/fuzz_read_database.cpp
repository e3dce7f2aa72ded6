// libFuzzer target for the .TSY reader. Any input must load without a crash or an out-of-bounds
// access, in both modes; and whatever was loaded must save, load back and save again to the
// very same bytes (a saved database always reads back as it was saved).
#include "database/tsy_file.h"

#include "platform/host.h"
#include "support/quiet_host.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// An in-memory file, reopened through /proc so that each File starts at offset 0.
struct MemFile {
    int fd = memfd_create("tsy", 0);
    std::string path = "/proc/self/fd/" + std::to_string(fd);

    void set(const uint8_t* data, size_t size) {
        if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
            std::abort();
        }
    }
    std::string get() const {
        std::string out(static_cast<size_t>(lseek(fd, 0, SEEK_END)), '\0');
        if (pread(fd, out.data(), out.size(), 0) != static_cast<ssize_t>(out.size())) {
            std::abort();
        }
        return out;
    }
};

std::string save(const DatabaseContents& rec, MemFile& mem) {
    File out = File::create(mem.path);
    if (!out.is_open() || !write_database(rec.keys, rec.log, rec.layout, out)) {
        std::abort();
    }
    out.close();
    return mem.get();
}

void load(DatabaseContents& rec, MemFile& mem, bool import_only) {
    static QuietHost host;
    File in = File::open_read(mem.path);
    if (!in.is_open()) {
        std::abort();
    }
    read_database(rec, in, import_only, host);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemFile mem;
    if (mem.fd < 0) {
        std::abort();
    }
    mem.set(data, size);

    DatabaseContents imported;
    load(imported, mem, true);

    DatabaseContents rec;
    load(rec, mem, false);

    std::string first = save(rec, mem);
    DatabaseContents back;
    load(back, mem, false);
    std::string second = save(back, mem);
    if (first != second || back.keys.size() != rec.keys.size()) {
        std::fprintf(stderr, "save, load, save changed the file (%zu -> %zu bytes)\n", first.size(),
                     second.size());
        std::abort();
    }
    return 0;
}
