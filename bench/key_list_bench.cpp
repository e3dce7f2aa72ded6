// The key list at scale: the column-click sort of N keys by every column (from a shuffled
// order each time), and the find filter's work per keystroke as a query is typed and erased.
// Usage: key_list_bench [key count ...]   (default: 100000 1000000)
#include "core/buffer.h"
#include "database/key_database.h"
#include "database/key_filter.h"
#include "database/key_list.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// On a busy machine the wall time says more about the other programs; the thread's own CPU
// time is printed beside it.
double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

const char* const first_names[] = {"Anna",   "bernd", "Carla",  "Dieter", "Émile", "Frank",
                                   "Gisela", "hans",  "Ingrid", "Jürgen", "KARL",  "Lena"};
const char* const last_names[] = {"Schmidt", "müller",   "Weber",   "Fischer", "Wagner",
                                  "BECKER",  "Hoffmann", "Schäfer", "Koch",    "Richter"};

// Names drawn from small lists, so that many share long prefixes or are equal, in mixed case
// and with some UTF-8; memo and free field as a building's staff would fill them.
void fill(DatabaseContents& rec, int count) {
    std::mt19937 random(12345);
    auto name = make_buffer(key_text_capacity);
    auto memo = make_buffer(key_text_capacity);
    auto free_field = make_buffer(key_text_capacity);
    for (int i = 0; i < count; ++i) {
        buffer_clear(name.get());
        buffer_clear(memo.get());
        buffer_clear(free_field.get());
        buffer_append_text(name.get(), last_names[random() % std::size(last_names)]);
        buffer_append_text(name.get(), ", ");
        buffer_append_text(name.get(), first_names[random() % std::size(first_names)]);
        buffer_append_text(name.get(), " ");
        buffer_append_decimal(name.get(), static_cast<int32_t>(random() % 1000), 0);
        buffer_append_text(memo.get(), i % 3 ? "Day shift" : "Night shift, building B");
        buffer_append_text(free_field.get(), "Room ");
        buffer_append_decimal(free_field.get(), i % 997, 0);
        uint32_t number = (static_cast<uint32_t>(i) * 2654435761u) & key_number_mask;
        while (rec.keys.add(KeyId{0, number, 0}, buffer_view(name.get()), buffer_view(memo.get()),
                            buffer_view(free_field.get())) < 0) {
            number = (number + 1) & key_number_mask;
        }
    }
}

// Rebuilt in a random order, so that every sort starts from the records scattered in memory.
void shuffle_rows(KeyList& keys, std::mt19937& random) {
    std::vector<int> order(static_cast<size_t>(keys.size()));
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), random);
    KeyList shuffled;
    shuffled.reserve(order.size());
    for (int row : order) {
        const KeyRecord* key = keys.row(row);
        shuffled.replace(shuffled.append(), key->id, key->name, key->memo, key->free_field);
    }
    keys = std::move(shuffled);
}

double median(std::vector<double> runs) {
    std::sort(runs.begin(), runs.end());
    return runs[runs.size() / 2];
}

bool bench_sort(DatabaseContents& rec, int count) {
    const char* const columns[] = {"Key nr.", "Name", "Memo", "Free field"};
    std::mt19937 random(777);
    const int repeats = count >= 1000000 ? 3 : 7;
    std::printf("%8d keys, sort:", count);
    for (int column = 0; column < 4; ++column) {
        std::vector<double> runs, cpu_runs;
        for (int r = 0; r < repeats; ++r) {
            shuffle_rows(rec.keys, random);
            auto start = Clock::now();
            double cpu_start = cpu_seconds();
            rec.keys.sort(column);
            cpu_runs.push_back(cpu_seconds() - cpu_start);
            runs.push_back(seconds_since(start));
        }
        for (int row = 1; row < count; ++row) {
            if (compare_key_rows(*rec.keys.row(row - 1), *rec.keys.row(row), column) > 0) {
                std::fprintf(stderr, "column %d: rows %d and %d out of order\n", column, row - 1,
                             row);
                return false;
            }
        }
        std::printf("  %s %.3f s (CPU %.3f s)", columns[column], median(runs), median(cpu_runs));
    }
    std::printf("  (median of %d)\n", repeats);
    return true;
}

// Types a query one character at a time, then erases it again, as a user at the filter field
// would; reports the slowest keystroke.
bool bench_filter(DatabaseContents& rec, int count) {
    auto start = Clock::now();
    KeyFilter filter(rec.keys);
    double attach_time = seconds_since(start);
    // The first query folds every row's texts.
    start = Clock::now();
    double cpu_start = cpu_seconds();
    filter.set_query("m");
    double first_cpu = cpu_seconds() - cpu_start;
    double first_time = seconds_since(start);
    const std::string queries[] = {"müller, jür", "night shift", "room 99", "a1b2", "zzz"};
    double slowest = 0, slowest_cpu = 0;
    std::string slowest_query;
    for (const std::string& query : queries) {
        for (size_t n = 1; n <= query.size() * 2; ++n) {
            size_t length = n <= query.size() ? n : query.size() * 2 - n;
            start = Clock::now();
            cpu_start = cpu_seconds();
            filter.set_query(query.substr(0, length));
            slowest_cpu = std::max(slowest_cpu, cpu_seconds() - cpu_start);
            double t = seconds_since(start);
            if (t > slowest) {
                slowest = t;
                slowest_query = query.substr(0, length);
            }
        }
    }
    filter.set_query("ller, j");
    size_t matches = filter.matching_rows().size();
    std::printf("%8d keys, filter: attach %.3f s; first keystroke %.4f s (CPU %.4f s); slowest "
                "keystroke after it %.4f s (\"%s\"; slowest CPU %.4f s); \"ller, j\" matches "
                "%zu\n",
                count, attach_time, first_time, first_cpu, slowest, slowest_query.c_str(),
                slowest_cpu, matches);
    return matches > 0;
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
    bool ok = true;
    for (int count : counts) {
        DatabaseContents rec;
        fill(rec, count);
        ok = bench_sort(rec, count) && ok;
        ok = bench_filter(rec, count) && ok;
    }
    return ok ? 0 : 1;
}
