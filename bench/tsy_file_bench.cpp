// Loading and saving large key databases: writes a file of N keys, then loads it into a fresh
// database record and saves that record again, several times each, and prints the times.
// Usage: tsy_file_bench [key count ...]   (default: 100000 1000000)
#include "core/buffer.h"
#include "database/tsy_file.h"

#include "support/fake_host.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Texts of realistic lengths, different for every key.
void fill(DatabaseContents& rec, int count) {
    auto name = make_buffer(key_text_capacity);
    auto memo = make_buffer(key_text_capacity);
    auto free_field = make_buffer(key_text_capacity);
    for (int i = 0; i < count; ++i) {
        buffer_clear(name.get());
        buffer_clear(memo.get());
        buffer_clear(free_field.get());
        buffer_append_text(name.get(), "Employee ");
        buffer_append_decimal(name.get(), i, 0);
        buffer_append_text(memo.get(), i % 3 ? "Day shift" : "Night shift, building B");
        buffer_append_text(free_field.get(), "Room ");
        buffer_append_decimal(free_field.get(), i % 997, 0);
        // Spread the numbers over the 24-bit range so that the index sees realistic keys.
        uint32_t number = (static_cast<uint32_t>(i) * 2654435761u) & key_number_mask;
        if (rec.keys.add(KeyId{0, number, 0}, buffer_view(name.get()), buffer_view(memo.get()),
                         buffer_view(free_field.get())) < 0) {
            // A collision of the spread: take the next free number.
            while (rec.keys.add(KeyId{0, ++number & key_number_mask, 0}, buffer_view(name.get()),
                                buffer_view(memo.get()), buffer_view(free_field.get())) < 0) {
            }
        }
    }
}

struct Times {
    std::vector<double> runs;
    double min() const { return *std::min_element(runs.begin(), runs.end()); }
    double median() const {
        std::vector<double> s = runs;
        std::sort(s.begin(), s.end());
        return s[s.size() / 2];
    }
};

bool run(int count, const fs::path& dir) {
    std::string first = (dir / "first.TSY").string();
    std::string second = (dir / "second.TSY").string();
    const int repeats = count >= 1000000 ? 3 : 7;

    DatabaseContents source;
    source.log.com_port = 1;
    fill(source, count);

    auto start = Clock::now();
    File out = File::create(first);
    bool ok = write_database(source.keys, source.log, source.layout, out) && out.close();
    double write_time = seconds_since(start);
    if (!ok) {
        std::fprintf(stderr, "writing %s failed\n", first.c_str());
        return false;
    }

    Times load, save;
    FakeHost host;
    for (int r = 0; r < repeats; ++r) {
        DatabaseContents rec;
        start = Clock::now();
        File in = File::open_read(first);
        read_database(rec, in, false, host);
        in.close();
        load.runs.push_back(seconds_since(start));
        if (rec.keys.size() != count) {
            std::fprintf(stderr, "loaded %d keys of %d\n", rec.keys.size(), count);
            return false;
        }

        start = Clock::now();
        File again = File::create(second);
        ok = write_database(rec.keys, rec.log, rec.layout, again) && again.close();
        save.runs.push_back(seconds_since(start));
        if (!ok) {
            std::fprintf(stderr, "saving %s failed\n", second.c_str());
            return false;
        }
        // Release the record outside the timed regions.
    }
    if (fs::file_size(first) != fs::file_size(second)) {
        std::fprintf(stderr, "the saved file differs in size from the loaded one\n");
        return false;
    }

    // Synchronization compares the database with a controller list of the same size of which
    // half the keys differ.
    DatabaseContents other;
    for (int i = 0; i < count; ++i) {
        KeyId id;
        id = source.keys.row(i)->id;
        if (i % 2) {
            id.number ^= 0x1000000; // same low bits, another identifier
        }
        int row = other.keys.append();
        other.keys.replace(row, id, {}, {}, {});
    }
    std::vector<KeyId> array_a(static_cast<size_t>(count)), array_b(static_cast<size_t>(count));
    int count_a = count, count_b = count;
    start = Clock::now();
    key_list_difference(source.keys, other.keys, array_a.data(), array_b.data(), &count_a,
                        &count_b);
    double difference_time = seconds_since(start);
    if (count_a != count / 2 || count_b != count / 2) {
        std::fprintf(stderr, "difference left %d and %d keys\n", count_a, count_b);
        return false;
    }

    std::printf("%8d keys, %6.1f MB: first write %.3f s; load min %.3f s median %.3f s; "
                "save min %.3f s median %.3f s (%d runs); difference %.3f s\n",
                count, static_cast<double>(fs::file_size(first)) / 1e6, write_time, load.min(),
                load.median(), save.min(), save.median(), repeats, difference_time);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i) {
        counts.push_back(std::atoi(argv[i]));
    }
    if (counts.empty()) {
        counts = {100000, 1000000};
    }
    std::string pattern = (fs::temp_directory_path() / "tsy_bench_XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    fs::path dir = pattern;
    bool ok = true;
    for (int count : counts) {
        ok = run(count, dir) && ok;
    }
    fs::remove_all(dir);
    return ok ? 0 : 1;
}
