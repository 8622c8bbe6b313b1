// The cache file: what a save writes and a load reads back, the reader's
// line limits, and the safety of a save (the old file survives a failed
// write, modes and links are kept, a file of a group not ours is replaced,
// in-place rewriting only at exit where no new file can be made, nothing
// written through planted links, FIFOs or hard links), and the removal of the
// temporary files a killed save left.  Each
// test works in a temporary directory of its own.
#include "cache/cache_file.h"

#include <grp.h>
#include <limits.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cache_fixture.h"
#include "support/log_capture.h"

namespace kelvantor::testing {
namespace {

namespace fs = std::filesystem;

class cache_file_test : public cache_test {
protected:
    void SetUp() override {
        cache_test::SetUp();
        char pattern[] = "/tmp/kv_cache_file_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        use_path(dir_ / "verdicts");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
        cache_test::TearDown();
    }

    void use_path(const fs::path& path) { path_ = path; }
    static std::string read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }
    static void write(const fs::path& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }
    entry_list load(const std::string& content) {
        write(path_, content);
        start(86400, 3000);
        EXPECT_EQ(cache_load(path_.c_str()), 0);
        return live_entries();
    }
    std::size_t files_in_dir() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), {}));
    }
    static struct stat stat_of(const fs::path& path) {
        struct stat st {};
        EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
        return st;
    }

    fs::path dir_;
    fs::path path_;
};

TEST_F(cache_file_test, SaveThenLoadKeepsEveryEntryInOrder) {
    log_capture log;
    const entry_list entries = {{0, "a@x"},   {1, "B@Y"},       {1, "a@x"},
                                {7, "odd@x"}, {0, "sp ace \r"}, {0, "a@x"}};
    for (const auto& [status, address] : entries) verdict_add(address, status);
    ASSERT_EQ(cache_save(path_.c_str()), 0);
    EXPECT_TRUE(log.contains(LOG_INFO, "saving cache " + path_.string())) << log.dump();
    EXPECT_EQ(read(path_), "0 a@x\n1 B@Y\n1 a@x\n7 odd@x\n0 sp ace \r\n0 a@x\n");
    EXPECT_EQ(files_in_dir(), 1u);

    start(86400, 3000);
    set_time(2000000);
    ASSERT_EQ(cache_load(path_.c_str()), 0);
    EXPECT_EQ(live_entries(), entries);
    // Loaded entries start a new lifetime at the load.
    set_time(2000000 + 3000);
    EXPECT_EQ(verdict_lookup("b@y"), VERDICT_INVALID);
    EXPECT_EQ(verdict_lookup("odd@x"), 7u);
}

struct load_case {
    const char* name;
    std::string content;
    entry_list expected;
};

class load_test : public cache_file_test, public ::testing::WithParamInterface<load_case> {};

TEST_P(load_test, ReadsLinesAsTheFormatSays) {
    EXPECT_EQ(load(GetParam().content), GetParam().expected);
}

const std::string a500(500, 'a');
const std::string a254(254, 'a');

INSTANTIATE_TEST_SUITE_P(
    lines, load_test,
    ::testing::Values(load_case{"shortest_loaded", "0 abc\n", {{0, "abc"}}},
                      load_case{"too_short_skipped", "0 ab\n1 xyz\n", {{1, "xyz"}}},
                      load_case{"six_without_line_feed", "0 abcd", {{0, "abcd"}}},
                      load_case{"status_then_address_without_blank", "1abc@d\n", {{1, "abc@d"}}},
                      load_case{"blanks_and_cr_kept", " 3 \t x y \r\n", {{3, "x y \r"}}},
                      load_case{"unparseable_skipped", "x 0 abc\n0\n-\n0 ok@x\n", {{0, "ok@x"}}},
                      load_case{"duplicates_kept", "0 a@x\n0 a@x\n", {{0, "a@x"}, {0, "a@x"}}},
                      // Never a cut address: it would be a verdict nobody gave.
                      load_case{"address_over_500_skipped",
                                "0 " + std::string(501, 'a') + "\n0 " + a254 + "\n",
                                {{0, a254}}},
                      // Not cached, so not loaded either.
                      load_case{"address_over_254_skipped",
                                "0 " + a254 + "b\n0 " + a500 + "\n1 next@x\n",
                                {{1, "next@x"}}},
                      load_case{"line_of_510_over_500_skipped",
                                "0 " + std::string(507, 'a') + "\n0 next@x\n",
                                {{0, "next@x"}}},
                      load_case{"long_line_skipped_whole",
                                "0 " + std::string(508, 'a') + "1 spurious@x\n0 next@x\n",
                                {{0, "next@x"}}},
                      // Loaded only what a save writes back: "0 ab\n" would be too
                      // short to read.
                      load_case{
                          "padded_status_of_a_short_entry_skipped", "00 ab\n0 abc\n", {{0, "abc"}}},
                      load_case{"very_long_line_skipped_whole",
                                "1 " + std::string(5000, 'b') + "\n1 after@x\n",
                                {{1, "after@x"}}}),
    [](const auto& info) { return std::string(info.param.name); });

// What is saved comes back as itself, or not at all: an address the reader
// would cut or change is left out of the file.
TEST_F(cache_file_test, OnlyAddressesThatReadBackAsThemselvesAreWritten) {
    const std::string a253(253, 'a');
    const std::string b254(254, 'b');
    // Past 254 characters nothing is cached, so nothing reaches the file;
    // past 500 the reader would cut the address.
    const entry_list saved = {{0, a253},
                              {1, b254},
                              {0, std::string(499, 'c')},
                              {1, std::string(500, 'd')},
                              {0, std::string(501, 'e')},
                              {1, std::string(1011, 'f')},
                              {0, " lead@x"},
                              {1, "\tlead@x"},
                              {0, "line\nfeed@x"},
                              {1, "trail @x "},
                              {0, "ab"},
                              {0, "last@x"}};
    for (const auto& [status, address] : saved) verdict_add(address, status);
    ASSERT_EQ(cache_save(path_.c_str()), 0);
    EXPECT_EQ(read(path_), "0 " + a253 + "\n1 " + b254 + "\n1 trail @x \n0 last@x\n");

    start(86400, 3000);
    ASSERT_EQ(cache_load(path_.c_str()), 0);
    EXPECT_EQ(live_entries(), (entry_list{{0, a253}, {1, b254}, {1, "trail @x "}, {0, "last@x"}}));
}

TEST_F(cache_file_test, ExpiredEntriesAreNotSaved) {
    start(100, 50);
    verdict_add("old@x", VERDICT_VALID);
    verdict_add("bad@x", VERDICT_INVALID);
    set_time(1000000 + 40);
    verdict_add("new@x", VERDICT_INVALID);
    set_time(1000000 + 90);
    ASSERT_EQ(cache_save(path_.c_str()), 0);
    EXPECT_EQ(read(path_), "0 old@x\n1 new@x\n");
}

TEST_F(cache_file_test, FailedWriteLeavesThePreviousFileWhole) {
    write(path_, "0 previous@x\n");
    for (int i = 0; i < 200; ++i) verdict_add("entry" + std::to_string(i) + "@example.org", 0);
    log_capture log;
    {
        // Writes past 1 KiB fail with EFBIG (root is no exception).
        rlimit old{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
        const auto old_handler = signal(SIGXFSZ, SIG_IGN);
        rlimit small = old;
        small.rlim_cur = 1024;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        EXPECT_EQ(cache_save(path_.c_str()), 1);
        setrlimit(RLIMIT_FSIZE, &old);
        signal(SIGXFSZ, old_handler);
    }
    EXPECT_TRUE(log.contains(LOG_ERR, "writing cache error File too large")) << log.dump();
    EXPECT_EQ(read(path_), "0 previous@x\n");
    EXPECT_EQ(files_in_dir(), 1u);
}

TEST_F(cache_file_test, ReplacedFileKeepsItsMode) {
    write(path_, "0 previous@x\n");
    ASSERT_EQ(chmod(path_.c_str(), 0604), 0);
    const ino_t old_inode = stat_of(path_).st_ino;
    verdict_add("new@x", VERDICT_VALID);
    ASSERT_EQ(cache_save(path_.c_str()), 0);
    EXPECT_EQ(read(path_), "0 new@x\n");
    EXPECT_EQ(stat_of(path_).st_mode & 07777, 0604u);
    EXPECT_NE(stat_of(path_).st_ino, old_inode) << "not replaced by rename";
}

TEST_F(cache_file_test, NewFileModeComesFromTheUmask) {
    const std::pair<mode_t, mode_t> cases[] = {{0177, 0600}, {0117, 0660}, {022, 0644}};
    for (const auto& [mask, mode] : cases) {
        fs::remove(path_);
        const mode_t old_mask = umask(mask);
        EXPECT_EQ(cache_save(path_.c_str()), 0);
        umask(old_mask);
        EXPECT_EQ(stat_of(path_).st_mode & 07777, mode) << "umask " << std::oct << mask;
    }
}

TEST_F(cache_file_test, SaveThroughALinkReplacesItsTarget) {
    const fs::path target = dir_ / "real";
    write(target, "0 previous@x\n");
    fs::create_symlink(target, path_);
    verdict_add("new@x", VERDICT_VALID);
    ASSERT_EQ(cache_save(path_.c_str()), 0);
    EXPECT_TRUE(fs::is_symlink(path_));
    EXPECT_EQ(read(target), "0 new@x\n");
    EXPECT_EQ(files_in_dir(), 2u);
}

// A name so long that no longer sibling name fits the directory entry: no new
// file can be made there.  Only the save at exit then rewrites the file in
// place; any other save fails and leaves it whole.
TEST_F(cache_file_test, OnlyTheExitSaveRewritesInPlaceWhereNoNewFileCanBeMade) {
    use_path(dir_ / std::string(NAME_MAX - 2, 'n'));
    write(path_, "0 previous@x\n");
    const ino_t old_inode = stat_of(path_).st_ino;
    verdict_add("new@x", VERDICT_VALID);
    const log_capture log;
    EXPECT_EQ(cache_save(path_.c_str(), false), 1);
    EXPECT_TRUE(log.contains(LOG_ERR, "writing cache error File name too long")) << log.dump();
    EXPECT_EQ(read(path_), "0 previous@x\n");
    ASSERT_EQ(cache_save(path_.c_str(), true, nullptr, rewrite_in_place::where_no_new_file), 0);
    EXPECT_EQ(read(path_), "0 new@x\n");
    EXPECT_EQ(stat_of(path_).st_ino, old_inode);
    EXPECT_EQ(files_in_dir(), 1u);
}

// A file whose group the run user may not give is still replaced whole, never
// rewritten in place; the run user's group then gets no access the old file
// did not grant its own, and the log says it once.
TEST_F(cache_file_test, FileOfAGroupNotOursIsReplacedAndSaidOnce) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the save as nobody";
    const fs::path second = dir_ / "second";
    for (const fs::path& path : {path_, second}) {
        write(path, "0 previous@x\n");
        ASSERT_EQ(chown(path.c_str(), 65534, 0), 0);
        ASSERT_EQ(chmod(path.c_str(), 0660), 0);
    }
    ASSERT_EQ(chown(dir_.c_str(), 65534, 65534), 0);
    const ino_t old_inode = stat_of(path_).st_ino;
    verdict_add("new@x", VERDICT_VALID);
    EXPECT_EXIT(
        {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
            umask(0117);
            log_capture log;
            const bool saved =
                cache_save(path_.c_str(), false) == 0 && cache_save(second.c_str(), false) == 0;
            const bool said_once =
                log.contains(LOG_WARNING, "cannot keep owner/group 65534:0 of cache file " +
                                              path_.string() + ": saved as 65534:65534") &&
                log.lines().size() == 1;
            std::fputs(log.dump().c_str(), stderr);
            _exit(saved && said_once ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(read(path_), "0 new@x\n");
    const struct stat now = stat_of(path_);
    EXPECT_NE(now.st_ino, old_inode) << "rewritten in place";
    EXPECT_EQ(now.st_gid, 65534u);
    EXPECT_EQ(now.st_mode & 07777, 0660u);
}

// Temporary files a killed save left beside the file it writes (through a
// link: beside the link's target) go at start, and nothing else does.
TEST_F(cache_file_test, StaleTemporaryFilesOfOursAreRemovedAndNothingElse) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to plant a file of another user";
    write(dir_ / "real", "0 kept@x\n");
    fs::create_symlink(dir_ / "real", path_);
    write(dir_ / "real.AbC123", "0 half");
    write(dir_ / "victim", "0 victim@x\n");
    for (const char* name : {"real.Nobody", "real.abc12", "real.abc1234", "real.ab-123",
                             "verdicts.AbC123", "realx.AbC123"}) {
        write(dir_ / name, "x");
    }
    ASSERT_EQ(chown((dir_ / "real.Nobody").c_str(), 65534, 65534), 0);
    fs::create_symlink(dir_ / "victim", dir_ / "real.Link01");
    const log_capture log;
    EXPECT_EQ(cache_remove_stale_files(path_.c_str()), 1u);
    EXPECT_TRUE(log.contains(
        LOG_INFO, "removed 1 stale temporary files of cache " + (dir_ / "real").string()))
        << log.dump();
    EXPECT_FALSE(fs::exists(dir_ / "real.AbC123"));
    EXPECT_EQ(files_in_dir(), 10u);
    EXPECT_EQ(read(dir_ / "victim"), "0 victim@x\n");
    EXPECT_EQ(cache_remove_stale_files(path_.c_str()), 0u);
}

// Paths that are not to be written through: each is refused with the reason
// logged, and what is there, and what a link leads to, stays as it was.
struct refused_case {
    const char* name;
    const char* reason;
    // Puts something at path; returns the file whose content must survive.
    fs::path (*plant)(const fs::path& dir, const fs::path& path);
};

void PrintTo(const refused_case& c, std::ostream* out) {
    *out << c.name;
}

class refused_path_test : public cache_file_test,
                          public ::testing::WithParamInterface<refused_case> {};

void put(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

void own_by_nobody(const fs::path& path) {
    ASSERT_EQ(lchown(path.c_str(), 65534, 65534), 0) << path;
}

TEST_P(refused_path_test, KeepsWhatIsThereAndLogsWhy) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to plant files of another user";
    const fs::path kept = GetParam().plant(dir_, path_);
    const std::string before = read(kept);
    const auto listing = [this] {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
            names.push_back(entry.path().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    };
    const auto files_before = listing();
    verdict_add("new@x", VERDICT_VALID);
    log_capture log;
    EXPECT_EQ(cache_save(path_.c_str()), 1);
    EXPECT_TRUE(log.contains(LOG_ERR, std::string("writing cache error ") + GetParam().reason))
        << log.dump();
    EXPECT_EQ(read(kept), before);
    EXPECT_EQ(listing(), files_before);
}

INSTANTIATE_TEST_SUITE_P(
    plants, refused_path_test,
    ::testing::Values(refused_case{"dangling_link", "link to no file",
                                   [](const fs::path& dir, const fs::path& path) {
                                       fs::create_symlink(dir / "made-through-the-link", path);
                                       return path;  // reads as empty: nothing may appear there
                                   }},
                      refused_case{"link_of_another_user", "link of another user",
                                   [](const fs::path& dir, const fs::path& path) {
                                       put(dir / "real", "0 previous@x\n");
                                       fs::create_symlink(dir / "real", path);
                                       own_by_nobody(path);
                                       return dir / "real";
                                   }},
                      refused_case{"link_to_a_file_of_another_user_elsewhere",
                                   "link to a file of another user",
                                   [](const fs::path& dir, const fs::path& path) {
                                       fs::create_directory(dir / "elsewhere");
                                       put(dir / "elsewhere" / "theirs", "0 previous@x\n");
                                       own_by_nobody(dir / "elsewhere" / "theirs");
                                       fs::create_symlink(dir / "elsewhere" / "theirs", path);
                                       return dir / "elsewhere" / "theirs";
                                   }},
                      refused_case{"hard_link", "more than one link to the file",
                                   [](const fs::path& dir, const fs::path& path) {
                                       put(dir / "other", "0 previous@x\n");
                                       fs::create_hard_link(dir / "other", path);
                                       return dir / "other";
                                   }}),
    [](const auto& info) { return std::string(info.param.name); });

// A FIFO at the path is refused without opening it, so the save cannot wait
// on it while holding the cache lock; the child is bounded by an alarm.
TEST_F(cache_file_test, FifoIsRefusedWithoutWaiting) {
    ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
    verdict_add("new@x", VERDICT_VALID);
    EXPECT_EXIT(
        {
            alarm(10);
            log_capture log;
            const bool refused = cache_save(path_.c_str()) == 1 &&
                                 log.contains(LOG_ERR, "writing cache error not a regular file");
            std::fputs(log.dump().c_str(), stderr);
            _exit(refused ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(fs::is_fifo(path_));
}

// Where the run user can neither make a file in the directory nor rewrite the
// old one, the save fails and says so; the old file stays.
TEST_F(cache_file_test, ReadOnlyDirectoryAndFileAreReported) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the save as nobody";
    write(path_, "0 previous@x\n");
    ASSERT_EQ(chmod(path_.c_str(), 0644), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
    verdict_add("new@x", VERDICT_VALID);
    EXPECT_EXIT(
        {
            if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
            log_capture log;
            const bool reported = cache_save(path_.c_str()) == 1 &&
                                  log.contains(LOG_ERR, "writing cache error Permission denied");
            std::fputs(log.dump().c_str(), stderr);
            _exit(reported ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(read(path_), "0 previous@x\n");
    EXPECT_EQ(files_in_dir(), 1u);
}

TEST_F(cache_file_test, UnopenableFileFailsSilently) {
    log_capture log;
    use_path(dir_ / "missing" / "verdicts");
    verdict_add("a@x", VERDICT_VALID);
    EXPECT_EQ(cache_load(path_.c_str()), 1);
    EXPECT_EQ(cache_save(path_.c_str()), 1);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST_F(cache_file_test, NoPathReadsAndWritesNothing) {
    log_capture log;
    verdict_add("a@x", VERDICT_VALID);
    EXPECT_EQ(cache_load(nullptr), 0);
    EXPECT_EQ(cache_save(nullptr), 0);
    EXPECT_EQ(files_in_dir(), 0u);
    EXPECT_EQ(live_entries(), (entry_list{{0, "a@x"}}));
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

}  // namespace
}  // namespace kelvantor::testing
