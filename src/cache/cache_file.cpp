// Loading and saving the cache file.  A save writes the live verdicts to a new
// file beside the old one and renames it into place, so that a failed or
// interrupted save leaves the previous file whole; where no file can be made
// there (or the file cannot keep its owner), it rewrites in place.  Nothing is
// written through a link planted by someone else, nor to anything but a
// regular file with one name: such a path is refused and left as it is.
#include "cache/cache_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "cache/verdict_cache.h"
#include "common/clock.h"
#include "common/log.h"
#include "common/unique_fd.h"

namespace kelvantor {
namespace {

// A line holds at most 510 characters, line feed included.
constexpr std::size_t line_size = 511;
constexpr std::size_t shortest_read = 6;
// The reader takes at most this many characters of an address.
constexpr std::size_t longest_address = 500;

struct file_closer {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using unique_file = std::unique_ptr<std::FILE, file_closer>;

struct malloc_deleter {
    void operator()(char* p) const noexcept { std::free(p); }
};

// Skips what is left of a line longer than a read, up to its line feed.
void discard_rest_of_line(std::FILE* file) {
    for (int c = std::getc(file); c != EOF && c != '\n'; c = std::getc(file)) {
    }
}

// A new, empty file beside the one it is to replace.
struct replacement {
    unique_fd fd;
    char temp_path[PATH_MAX];
    char target_path[PATH_MAX];
};

void random_suffix(char* suffix, std::size_t length, unsigned attempt) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[16] = {};
    if (length > sizeof bytes) length = sizeof bytes;
    if (getrandom(bytes, length, GRND_NONBLOCK) != static_cast<ssize_t>(length)) {
        // O_EXCL keeps even a guessable name safe; a clash only costs a retry.
        for (std::size_t i = 0; i < length; ++i) {
            bytes[i] =
                static_cast<unsigned char>(static_cast<unsigned>(getpid()) + attempt * 7 + i);
        }
    }
    for (std::size_t i = 0; i < length; ++i) suffix[i] = alphabet[bytes[i] % (sizeof alphabet - 1)];
    suffix[length] = '\0';
}

// What a save does with the path.
enum class plan { replace, in_place, refuse };

// Creates the replacement for path, with the mode (and owner) of the file it
// replaces, or 0666 less the umask for a new file.  A link is followed only
// when it is the run user's or root's own and leads to a file of the run
// user's: one planted by someone else, or leading to another user's file or
// to no file, is refused, and so is anything but a regular file with one
// name.  In place where no file can be created in the directory or the file
// cannot keep its owner.
plan open_replacement(const char* path, replacement& out, const char*& reason) {
    if (std::snprintf(out.target_path, sizeof out.target_path, "%s", path) >=
        static_cast<int>(sizeof out.target_path)) {
        return plan::in_place;
    }
    struct stat old {};
    bool exists = false;
    if (lstat(path, &old) == 0) {
        if (S_ISLNK(old.st_mode)) {
            if (old.st_uid != geteuid() && old.st_uid != 0) {
                reason = "link of another user";
                return plan::refuse;
            }
            const std::unique_ptr<char, malloc_deleter> resolved(realpath(path, nullptr));
            if (!resolved || stat(resolved.get(), &old) != 0) {
                reason = "link to no file";
                return plan::refuse;
            }
            if (old.st_uid != geteuid()) {
                reason = "link to a file of another user";
                return plan::refuse;
            }
            std::snprintf(out.target_path, sizeof out.target_path, "%s", resolved.get());
        }
        if (!S_ISREG(old.st_mode)) {
            reason = "not a regular file";
            return plan::refuse;
        }
        if (old.st_nlink != 1) {
            reason = "more than one link to the file";
            return plan::refuse;
        }
        exists = true;
    } else if (errno != ENOENT) {
        return plan::in_place;
    }

    constexpr std::size_t suffix_length = 6;
    constexpr unsigned attempts = 100;
    for (unsigned attempt = 0; attempt < attempts && !out.fd; ++attempt) {
        char suffix[suffix_length + 1];
        random_suffix(suffix, suffix_length, attempt);
        if (std::snprintf(out.temp_path, sizeof out.temp_path, "%s.%s", out.target_path, suffix) >=
            static_cast<int>(sizeof out.temp_path)) {
            return plan::in_place;
        }
        // Created as fopen() creates a file: 0666 less the umask.
        out.fd.reset(open(out.temp_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!out.fd && errno != EEXIST) return plan::in_place;
    }
    if (!out.fd) return plan::in_place;
    if (exists) {
        struct stat made {};
        const bool kept = fstat(out.fd.get(), &made) == 0 &&
                          ((made.st_uid == old.st_uid && made.st_gid == old.st_gid) ||
                           fchown(out.fd.get(), old.st_uid, old.st_gid) == 0) &&
                          fchmod(out.fd.get(), old.st_mode & 07777) == 0;
        if (!kept) {
            unlink(out.temp_path);
            out.fd.reset();
            return plan::in_place;
        }
    }
    return plan::replace;
}

// Opens path to be rewritten where it is, emptied: never through a link,
// never anything but a regular file with one name.  O_NONBLOCK keeps the open
// from waiting on a FIFO that was put there since; it is cleared before any
// write.  On failure, reason tells why,
// or stays nullptr where the directory is missing.
unique_fd open_in_place(const char* path, const char*& reason) {
    unique_fd fd(open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    if (!fd) {
        if (errno != ENOENT) reason = std::strerror(errno);
        return fd;
    }
    struct stat st {};
    const bool examined = fstat(fd.get(), &st) == 0;
    if (examined && !S_ISREG(st.st_mode)) {
        reason = "not a regular file";
    } else if (examined && st.st_nlink != 1) {
        reason = "more than one link to the file";
    } else if (const int flags = examined ? fcntl(fd.get(), F_GETFL) : -1;
               flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0 ||
               ftruncate(fd.get(), 0) != 0) {
        reason = std::strerror(errno);
    }
    if (reason != nullptr) fd.reset();
    return fd;
}

// Makes a rename durable; failing costs only durability, so it is not reported.
void sync_directory_of(const char* path) {
    char directory[PATH_MAX];
    std::snprintf(directory, sizeof directory, "%s", path);
    char* slash = std::strrchr(directory, '/');
    if (slash == directory) {
        slash[1] = '\0';
    } else if (slash != nullptr) {
        *slash = '\0';
    } else {
        std::snprintf(directory, sizeof directory, ".");
    }
    const unique_fd fd(open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) fsync(fd.get());
}

// Whether a line written for address is read back as that very address: no
// longer than the reader takes, no line feed in it, and no leading white
// space (the reader skips white space between status and address).
bool reads_back_as_itself(const char* address) {
    const std::string_view text(address);
    return !text.empty() && text.size() <= longest_address &&
           text.find('\n') == std::string_view::npos &&
           std::isspace(static_cast<unsigned char>(text.front())) == 0;
}

// Length of the line a save writes for the entry, its line feed included.
std::size_t saved_line_length(std::uint32_t status, std::size_t address_length) {
    std::size_t digits = 1;
    for (std::uint32_t rest = status / 10; rest != 0; rest /= 10) ++digits;
    return digits + 1 + address_length + 1;
}

// Whether the line a save writes for the entry is read back as that very
// entry: its address reads back as itself, and the line is neither shorter
// than the reader takes nor longer than one read.
bool saved_line_reads_back(std::uint32_t status, const char* address) {
    if (!reads_back_as_itself(address)) return false;
    const std::size_t length = saved_line_length(status, std::strlen(address));
    return length >= shortest_read && length < line_size;
}

// Copies the lines of a chunk under the cache lock, writes them with no lock held.
struct line_writer {
    std::FILE* file;
    std::string pending;
    std::size_t written = 0;
    int error = 0;

    // Under the lock: only copies, as briefly as it can.
    void add(std::uint32_t status, const char* address) {
        if (cache_format_line(status, address, pending)) ++written;
    }

    // No lock held: writes what the chunk copied; false after a write error.
    bool flush() {
        if (!pending.empty() &&
            std::fwrite(pending.data(), 1, pending.size(), file) != pending.size()) {
            error = errno != 0 ? errno : EIO;
        }
        pending.clear();
        return error == 0;
    }
};

// Opens the cache file for reading, or nothing when it cannot be opened or is
// not a regular file: a FIFO planted at the path must not hold up start-up.
unique_file open_for_loading(const char* path) {
    unique_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    const int flags = fcntl(fd.get(), F_GETFL);
    if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return nullptr;
    unique_file file(fdopen(fd.get(), "r"));
    if (file) fd.release();
    return file;
}

// One save at a time: the exit, the periodic saver and the control socket may
// each ask for one.
std::mutex save_mutex;
std::atomic<std::uint64_t> saves_ok{0};
std::atomic<std::uint64_t> saves_failed{0};
std::atomic<std::int64_t> last_save_unix{0};

int save_locked(const char* path, bool announce, std::size_t& saved);

}  // namespace

int cache_load(const char* path) {
    if (path == nullptr) return 0;
    const unique_file file = open_for_loading(path);
    if (!file) return 1;
    char line[line_size];
    for (;;) {
        std::memset(line, 0, sizeof line);
        if (std::fgets(line, sizeof line, file.get()) == nullptr) break;
        // A line longer than one read is skipped whole: its first part would
        // be a verdict for a cut address that no backend ever judged.  (The
        // buffer was cleared, so a line feed in it belongs to this read.)
        if (std::memchr(line, '\n', sizeof line - 1) == nullptr && !std::feof(file.get()) &&
            !std::ferror(file.get())) {
            discard_rest_of_line(file.get());
            continue;
        }
        if (const auto entry = cache_parse_line(std::string_view(line, std::strlen(line)))) {
            verdict_add(entry->address, entry->status);
        }
    }
    return 0;
}

std::optional<cache_file_entry> cache_parse_line(std::string_view text) {
    if (text.size() >= line_size) return std::nullopt;
    // As read into the loader's buffer: the line ends at its first NUL, if any.
    char line[line_size] = {};
    text.copy(line, text.size());
    if (std::strlen(line) < shortest_read) return std::nullopt;
    unsigned status = 0;
    char address[longest_address + 1];
    int consumed = 0;
    // The file format is defined by this scanf pattern, status conversion included.
    // NOLINTNEXTLINE(cert-err34-c)
    if (std::sscanf(line, "%u %500[^\n]%n", &status, address, &consumed) != 2) return std::nullopt;
    // An address longer than the reader takes is not loaded cut short, and
    // an entry is loaded only if a save writes it back (a padded status can
    // make a line that would be too short or too long once rewritten).
    if ((line[consumed] != '\n' && line[consumed] != '\0') ||
        !saved_line_reads_back(status, address) || std::strlen(address) > longest_cached_address) {
        return std::nullopt;
    }
    return cache_file_entry{status, address};
}

bool cache_format_line(std::uint32_t status, const char* address, std::string& out) {
    if (!saved_line_reads_back(status, address)) return false;
    char digits[16];
    const auto converted = std::to_chars(digits, digits + sizeof digits, status);
    out.append(digits, static_cast<std::size_t>(converted.ptr - digits));
    out += ' ';
    out += address;
    out += '\n';
    return true;
}

int cache_save(const char* path, bool announce, std::size_t* saved) {
    if (path == nullptr) return 0;
    const std::lock_guard hold(save_mutex);
    std::size_t count = 0;
    const int result = save_locked(path, announce, count);
    if (result == 0) {
        saves_ok.fetch_add(1, std::memory_order_relaxed);
        last_save_unix.store(
            std::chrono::duration_cast<std::chrono::seconds>(wall_now().time_since_epoch()).count(),
            std::memory_order_relaxed);
    } else {
        saves_failed.fetch_add(1, std::memory_order_relaxed);
    }
    if (saved != nullptr) *saved = count;
    return result;
}

namespace {

int save_locked(const char* path, bool announce, std::size_t& saved) {
    // Both opens come before the walk takes the cache lock, and neither waits.
    replacement fresh;
    unique_file file;
    const char* reason = nullptr;
    const plan chosen = open_replacement(path, fresh, reason);
    bool in_place = chosen == plan::in_place;
    if (chosen == plan::replace) {
        file.reset(fdopen(fresh.fd.get(), "w"));
        if (file) {
            fresh.fd.release();
        } else {
            unlink(fresh.temp_path);
            fresh.fd.reset();
            in_place = true;
        }
    }
    if (in_place) {
        unique_fd fd = open_in_place(path, reason);
        if (fd) {
            file.reset(fdopen(fd.get(), "w"));
            if (file) {
                fd.release();
            } else {
                reason = std::strerror(errno);
            }
        }
    }
    if (!file) {
        // A missing directory stays silent, as it always was.
        if (reason != nullptr) log_msg(LOG_ERR, "writing cache error %s", reason);
        return 1;
    }
    if (announce) log_msg(LOG_INFO, "saving cache %s", path);

    line_writer writer{file.get(), {}};
    errno = 0;
    verdict_walk_chunks(
        [](void* context, std::uint32_t status, const char* address) {
            static_cast<line_writer*>(context)->add(status, address);
            return false;
        },
        [](void* context) { return static_cast<line_writer*>(context)->flush(); }, &writer);
    writer.flush();
    saved = writer.written;
    int error = writer.error;
    if (error == 0 && std::fflush(file.get()) != 0) error = errno;
    if (error == 0 && !in_place && fsync(fileno(file.get())) != 0) error = errno;
    if (std::fclose(file.release()) != 0 && error == 0 && !in_place) error = errno;
    if (error == 0 && !in_place && std::rename(fresh.temp_path, fresh.target_path) != 0) {
        error = errno;
    }
    if (error != 0) {
        if (!in_place) unlink(fresh.temp_path);
        log_msg(LOG_ERR, "writing cache error %s", std::strerror(error));
        return 1;
    }
    if (!in_place) sync_directory_of(fresh.target_path);
    return 0;
}

}  // namespace

cache_save_counters cache_save_statistics() {
    return {saves_ok.load(std::memory_order_relaxed), saves_failed.load(std::memory_order_relaxed),
            last_save_unix.load(std::memory_order_relaxed)};
}

}  // namespace kelvantor
