// Loading and saving the cache file.  A save writes the live verdicts to a new
// file beside the old one and renames it into place, so that a failed or
// interrupted save leaves the previous file whole.  A file whose owner or
// group the run user cannot give the new one is replaced all the same (said
// once in the log); only the save at exit, and only where no file can be
// made beside the old one, rewrites it in place.  Nothing is written through
// a link planted by someone else, nor to anything but a regular file with one
// name: such a path is refused and left as it is.
#include "cache/cache_file.h"

#include <dirent.h>
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

struct directory_closer {
    void operator()(DIR* directory) const noexcept { closedir(directory); }
};

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

// The temporary name of a save: the file's own name, a dot and this many
// characters of the alphabet.
constexpr std::size_t suffix_length = 6;
constexpr char suffix_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

void random_suffix(char* suffix, unsigned attempt) {
    unsigned char bytes[suffix_length] = {};
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        // O_EXCL keeps even a guessable name safe; a clash only costs a retry.
        for (std::size_t i = 0; i < sizeof bytes; ++i) {
            bytes[i] =
                static_cast<unsigned char>(static_cast<unsigned>(getpid()) + attempt * 7 + i);
        }
    }
    for (std::size_t i = 0; i < sizeof bytes; ++i) {
        suffix[i] = suffix_alphabet[bytes[i] % (sizeof suffix_alphabet - 1)];
    }
    suffix[suffix_length] = '\0';
}

// Whether name is a temporary name a save of the file called base makes.
bool is_temporary_name(std::string_view base, std::string_view name) {
    if (name.size() != base.size() + 1 + suffix_length || !name.starts_with(base) ||
        name[base.size()] != '.') {
        return false;
    }
    return name.substr(base.size() + 1).find_first_not_of(suffix_alphabet) ==
           std::string_view::npos;
}

// What a save does with the path.
enum class plan { replace, no_new_file, refuse };

// The file a save of path writes: path itself, or the file a link there leads
// to.  A link is followed only when it is the run user's or root's own and
// leads to a file of the run user's: one planted by someone else, or leading
// to another user's file or to no file, is refused, and so is anything but a
// regular file with one name.  old describes the file when exists.
plan find_target(const char* path, char (&target)[PATH_MAX], struct stat& old, bool& exists,
                 const char*& reason) {
    exists = false;
    if (std::snprintf(target, sizeof target, "%s", path) >= static_cast<int>(sizeof target)) {
        reason = std::strerror(ENAMETOOLONG);
        return plan::no_new_file;
    }
    if (lstat(path, &old) != 0) {
        if (errno == ENOENT) return plan::replace;
        reason = std::strerror(errno);
        return plan::no_new_file;
    }
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
        std::snprintf(target, sizeof target, "%s", resolved.get());
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
    return plan::replace;
}

// Said once per process: a replaced file that could not keep its owner or group.
bool owner_change_logged = false;

// Gives the new file the owner, group and mode of the file it replaces.  Where
// the run user cannot give it that owner or group, the file is the run user's
// with no more access than either the old mode or the new file's own grants,
// and the log says so once.  false, with reason, when even that fails.
bool take_over_ownership(const replacement& fresh, const struct stat& old, const char*& reason) {
    struct stat made {};
    if (fstat(fresh.fd.get(), &made) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    mode_t mode = old.st_mode & 07777;
    if ((made.st_uid != old.st_uid || made.st_gid != old.st_gid) &&
        fchown(fresh.fd.get(), old.st_uid, old.st_gid) != 0) {
        mode &= made.st_mode;
        if (!owner_change_logged) {
            owner_change_logged = true;
            log_msg(LOG_WARNING, "cannot keep owner/group %u:%u of cache file %s: saved as %u:%u",
                    static_cast<unsigned>(old.st_uid), static_cast<unsigned>(old.st_gid),
                    fresh.target_path, static_cast<unsigned>(made.st_uid),
                    static_cast<unsigned>(made.st_gid));
        }
    }
    if (fchmod(fresh.fd.get(), mode) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    return true;
}

// Creates the replacement for path, with the mode (and owner) of the file it
// replaces, or 0666 less the umask for a new file.  no_new_file where none can
// be created in the directory; reason stays nullptr where the directory is
// missing.
plan open_replacement(const char* path, replacement& out, const char*& reason) {
    struct stat old {};
    bool exists = false;
    if (const plan found = find_target(path, out.target_path, old, exists, reason);
        found != plan::replace) {
        return found;
    }
    constexpr unsigned attempts = 100;
    for (unsigned attempt = 0; attempt < attempts && !out.fd; ++attempt) {
        char suffix[suffix_length + 1];
        random_suffix(suffix, attempt);
        if (std::snprintf(out.temp_path, sizeof out.temp_path, "%s.%s", out.target_path, suffix) >=
            static_cast<int>(sizeof out.temp_path)) {
            reason = std::strerror(ENAMETOOLONG);
            return plan::no_new_file;
        }
        // Created as fopen() creates a file: 0666 less the umask.
        out.fd.reset(open(out.temp_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!out.fd && errno != EEXIST) {
            if (errno != ENOENT) reason = std::strerror(errno);
            return plan::no_new_file;
        }
    }
    if (!out.fd) {
        reason = std::strerror(EEXIST);
        return plan::no_new_file;
    }
    if (exists && !take_over_ownership(out, old, reason)) {
        unlink(out.temp_path);
        out.fd.reset();
        return plan::refuse;
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

int save_locked(const char* path, bool announce, std::size_t& saved, rewrite_in_place fallback);

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

int cache_save(const char* path, bool announce, std::size_t* saved, rewrite_in_place fallback) {
    if (path == nullptr) return 0;
    const std::lock_guard hold(save_mutex);
    std::size_t count = 0;
    const int result = save_locked(path, announce, count, fallback);
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

int save_locked(const char* path, bool announce, std::size_t& saved, rewrite_in_place fallback) {
    // Both opens come before the walk takes the cache lock, and neither waits.
    replacement fresh;
    unique_file file;
    const char* reason = nullptr;
    const plan chosen = open_replacement(path, fresh, reason);
    bool in_place = false;
    if (chosen == plan::replace) {
        file.reset(fdopen(fresh.fd.get(), "w"));
        if (file) {
            fresh.fd.release();
        } else {
            reason = std::strerror(errno);
            unlink(fresh.temp_path);
            fresh.fd.reset();
        }
    } else if (chosen == plan::no_new_file && fallback == rewrite_in_place::where_no_new_file) {
        in_place = true;
        reason = nullptr;
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

std::size_t cache_remove_stale_files(const char* path) {
    if (path == nullptr) return 0;
    char target[PATH_MAX];
    struct stat old {};
    bool exists = false;
    const char* reason = nullptr;
    if (find_target(path, target, old, exists, reason) != plan::replace) return 0;
    const char* slash = std::strrchr(target, '/');
    const std::string directory =
        slash == nullptr
            ? "."
            : std::string(target, slash == target ? 1 : static_cast<std::size_t>(slash - target));
    const std::string_view base = slash == nullptr ? target : slash + 1;
    unique_fd fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return 0;
    const std::unique_ptr<DIR, directory_closer> listing(fdopendir(fd.get()));
    if (!listing) return 0;
    fd.release();
    const int at = dirfd(listing.get());
    std::size_t removed = 0;
    while (const dirent* entry = readdir(listing.get())) {
        struct stat st {};
        // Never through a link; never a file of someone else's or with another name.
        if (is_temporary_name(base, entry->d_name) &&
            fstatat(at, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == geteuid() && st.st_nlink == 1 && unlinkat(at, entry->d_name, 0) == 0) {
            ++removed;
        }
    }
    if (removed != 0) {
        log_msg(LOG_INFO, "removed %zu stale temporary files of cache %s", removed, target);
    }
    return removed;
}

cache_save_counters cache_save_statistics() {
    return {saves_ok.load(std::memory_order_relaxed), saves_failed.load(std::memory_order_relaxed),
            last_save_unix.load(std::memory_order_relaxed)};
}

}  // namespace kelvantor
