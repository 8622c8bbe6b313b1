// fuzz_cache_file: the cache file loader on file bytes, then a save and a
// reload: whatever one load takes in, a save must write so that the next load
// takes in the same entries, in the same order (compared through
// verdict_walk).  The clock stands still, so nothing expires between the two.
// Files live in a temporary directory of the process (on /dev/shm if it can),
// removed at exit.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "cache/cache_file.h"
#include "cache/verdict_cache.h"
#include "common/clock.h"
#include "common/log.h"

namespace {

using namespace kelvantor;

std::string work_dir;
std::string input_path;
std::string saved_path;

wall_time fixed_now() {
    return wall_time(std::chrono::seconds(1'000'000));
}

void no_log(int, const char*) {}

using entry_list = std::vector<std::pair<std::uint32_t, std::string>>;

entry_list live_entries() {
    entry_list out;
    auto collect = [&out](std::uint32_t status, const char* address) {
        out.emplace_back(status, address);
        return true;
    };
    verdict_walk(collect);
    return out;
}

entry_list load(const char* path) {
    if (verdict_cache_init(86400, 3000) != 0) std::abort();
    if (cache_load(path) != 0) std::abort();
    return live_entries();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    set_log_sink(no_log);
    set_clock_source(fixed_now);
    // On tmpfs the save's fsync costs nothing.
    char pattern[] = "/dev/shm/kv_fuzz_cache_XXXXXX";
    char fallback[] = "/tmp/kv_fuzz_cache_XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (dir == nullptr) dir = mkdtemp(fallback);
    if (dir == nullptr) std::abort();
    work_dir = dir;
    input_path = work_dir + "/input";
    saved_path = work_dir + "/saved";
    std::atexit([] {
        unlink(input_path.c_str());
        unlink(saved_path.c_str());
        rmdir(work_dir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(input_path.c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    if (std::fclose(file) != 0) std::abort();

    const entry_list first = load(input_path.c_str());
    if (cache_save(saved_path.c_str()) != 0) std::abort();
    const entry_list second = load(saved_path.c_str());
    if (first != second) {
        std::fprintf(stderr, "loaded %zu entries, reloaded %zu\n", first.size(), second.size());
        for (std::size_t i = 0; i < first.size() || i < second.size(); ++i) {
            if (i < first.size() && (i >= second.size() || first[i] != second[i])) {
                std::fprintf(stderr, "first differs at %zu: %u '%s'\n", i, first[i].first,
                             first[i].second.c_str());
                break;
            }
        }
        std::abort();
    }
    return 0;
}
