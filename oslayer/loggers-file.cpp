// The rotating file logger: a descriptor logger bound to a named file that is
// re-created when deleted and rotated by size into numbered old files, all in
// the directory it holds. Packing is in loggers-pack.cpp.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "bounded-write.h"
#include "common-utils.h"
#include "file.h"
#include "loggers.h"
#include "utilities.h"

const char* file_logger_t::version_text = "0.1 Build 1";
uint32_t file_logger_t::retry_interval_ms = 60000;

namespace {

const uint32_t no_rotation = 0xFFFFFFFFu;
const uint32_t default_keep_count = 10;

// Linux releases the descriptor even when close(2) is interrupted; retrying
// could close a descriptor another thread has just been given.
void close_descriptor(int fd) {
    if (fd != -1) ::close(fd);
}

// The last component of a path: what is looked up in the held directory.
std::string leaf_of(const std::string& name) {
    size_t slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

// The directory part of a path, as it was given.
std::string dir_of(const std::string& name) {
    size_t slash = name.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : name.substr(0, slash);
}

// strtoul(3)'s reading (no digits gives 0); false when the value needs more than 32 bits,
// which also catches the huge values strtoul makes of negative numbers.
bool read_number(const char* from, const char*& end, uint32_t& value) {
    char* stop = nullptr;
    errno = 0;
    unsigned long v = strtoul(from, &stop, 10);
    end = stop;
    if (errno == ERANGE || v > no_rotation) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

// The wait before the next open of a file that is not open.
timegap_t retry_gap() { return timegap_t(int64_t(file_logger_t::retry_interval_ms) * (ticks_per_second / 1000)); }

void add_collected(std::string& collected, const std::string& line) {
    if (!collected.empty()) collected += '\n';
    collected += line;
}

// Why a file found standing at a path may not be written: "" when it may.
// Later than at start, a file of several names is someone else's too.
std::string refusal(const struct stat& st, bool later) {
    if (!S_ISREG(st.st_mode)) return file_logger_t::not_regular(st.st_mode);
    if (later && st.st_nlink > 1) return "it is a regular file of more than one name (hard links)";
    return std::string();
}

// True when `a` and `b` are descriptors of one file.
bool same_file(int a, int b) {
    struct stat sa, sb;
    return a != -1 && b != -1 && fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

}  // namespace

const mode_t file_logger_t::file_mode = 0640;

// Never waits: a pipe or a device that slipped past the checks cannot hold
// the writing thread, and with it every thread that logs. Always at the end:
// a file truncated by someone else goes on from its new end, without a hole.
const int file_logger_t::write_flags = O_RDWR | O_APPEND | O_NOCTTY | O_LARGEFILE | O_CLOEXEC | O_NONBLOCK;

int file_logger_t::open_in_dir(const std::string& name, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::openat(dir_fd, leaf_of(name).c_str(), flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool file_logger_t::remove_name(const std::string& name) { return ::unlinkat(dir_fd, leaf_of(name).c_str(), 0) == 0; }

bool file_logger_t::name_is(const std::string& name, file_id_t id, bool follow) {
    struct stat st;
    return fstatat(dir_fd, leaf_of(name).c_str(), &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == id.dev &&
           st.st_ino == id.ino;
}

std::string file_logger_t::not_regular(mode_t mode) {
    return std::string("it is ") + file_t::kind_of(mode) + ", not a regular file";
}

file_logger_t::file_logger_t()
    : fd_logger_t(-1),
      size_limit(10485760),
      keep_count(default_keep_count),
      pack_flag(true),
      dir_fd(-1),
      deferred(false),
      packer_pid(0),
      forks_seen(0),
      pack_stop(false),
      packer_ended(true) {}

file_logger_t::~file_logger_t() {
    {
        // The packing thread sees the stop at its next piece, and is the
        // last to touch this object before it signals its end.
        xlocker_t guard(names_lock());
        pack_stop = true;
        while (packer_pid == getpid()) packer_ended.wait(names_lock());
    }
    xlocker_t guard(rotation_lock);
    close();
    close_descriptor(dir_fd);
}

// ------------------------------------------------------------ configuration

bool file_logger_t::parse_rotation(const std::string& text) {
    if (text.empty() || strcasecmp(text.c_str(), "NONE") == 0) {
        size_limit = no_rotation;
        return true;
    }
    const char* p = nullptr;
    uint32_t count = 0;
    if (!read_number(text.c_str(), p, count)) return false;
    if (*p == 'p' || *p == 'z') pack_flag = *p++ == 'z';
    if (*p != ',') return false;
    keep_count = count ? count : default_keep_count;
    const char* size_start = ++p;
    uint32_t size = 0;
    if (!read_number(size_start, p, size)) return false;
    uint64_t factor = 1048576, fallback = 10485760;
    if (*p) {
        if (p[1]) return false;
        switch (tolower(static_cast<unsigned char>(*p))) {
            case 'k': factor = 1024, fallback = 10240; break;
            case 'm': break;
            case 'g': factor = 1073741824, fallback = 2147483648u; break;
            default: return false;
        }
    }
    // The limit is a 32-bit byte count and its top value means "no rotation".
    uint64_t limit = size ? size * factor : fallback;
    if (limit >= no_rotation) return false;
    size_limit = static_cast<uint32_t>(limit);
    size_text = size_start;
    return true;
}

bool file_logger_t::name_files(const std::string& file_path, const std::string& text) {
    path = file_path;
    size_text = text;
    if (parse_rotation(text)) return true;
    LOG_AT(LOG_LEVEL_ERROR, "Invalid logs rotation \"%s\"", text.c_str());
    return false;
}

bool file_logger_t::set_rotation(const std::string& file_path, const std::string& text) {
    TRACE_POINT;
    return name_files(file_path, text) && open(false, nullptr);
}

bool file_logger_t::open_later(const std::string& file_path, const std::string& text,
                               std::unique_ptr<fd_logger_t> console) {
    TRACE_POINT;
    stand_in = std::move(console);
    deferred = true;
    // What just failed is not tried again at once.
    next_open_time = timestamp_t::now() + retry_gap();
    return name_files(file_path, text);
}

std::string file_logger_t::rotated_name(unsigned number, bool packed) const {
    std::string out = path;
    std::string infix = "." + std::to_string(number);
    size_t i = path.size();
    bool inserted = false;
    while (i > 0 && !inserted) {
        char c = path[--i];
        if (c == '/' || c == '\\') break;
        if (c != '.') continue;
        if (i == 0) break;  // a leading dot names a hidden file, not an extension
        out.insert(i, infix);
        inserted = true;
    }
    if (!inserted) out += infix;
    if (packed) out += ".dz";
    return out;
}

// ------------------------------------------------------------ the descriptor

int file_logger_t::current_fd() {
    xlocker_t guard(write_lock);
    return fd;
}

int file_logger_t::held_dir() {
    if (dir_fd != -1) return dir_fd;
    // Made as at start, links followed; a failure shows in the open below.
    if (deferred) (void)make_parent_dirs(path, 0777);
    // O_PATH: only the right to pass through is needed, as for opening the path whole.
    dir_fd = ::open(dir_of(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    return dir_fd;
}

// A descriptor to append to what stands at `path`, a new file when nothing
// does, or -1 with `reason`. At start a link is followed as the
// administrator gave it; later nothing at `path` is followed. What stands
// there is looked at before it is opened, so that a pipe or a device is not
// even opened, and again on the descriptor, since the path may change in
// between.
int file_logger_t::open_log_file(bool later, std::string& reason) {
    struct stat st;
    int fd = -1;
    const std::string leaf = leaf_of(path);
    if (held_dir() == -1) {
        reason = get_last_error();
        return -1;
    }
    if (!later) {
        if (fstatat(dir_fd, leaf.c_str(), &st, 0) == 0 && !(reason = refusal(st, later)).empty()) return -1;
        fd = open_in_dir(path, write_flags | O_CREAT, file_mode);
    } else {
        fd = open_in_dir(path, write_flags | O_CREAT | O_EXCL | O_NOFOLLOW, file_mode);
        if (fd >= 0) return fd;
        if (errno == EEXIST && fstatat(dir_fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            !(reason = refusal(st, later)).empty())
            return -1;
        fd = open_in_dir(path, write_flags | O_NOFOLLOW, 0);
    }
    if (fd < 0) {
        reason = errno == ELOOP && later ? not_regular(S_IFLNK) : get_last_error();
        return -1;
    }
    if (fstat(fd, &st) != 0 || !(reason = refusal(st, later)).empty()) {
        if (reason.empty()) reason = get_last_error();
        close_descriptor(fd);
        return -1;
    }
    return fd;
}

int file_logger_t::open_descriptor(bool later, bool truncate, std::string* collected) {
    timestamp_t now = timestamp_t::now();
    if (later && next_open_time > now) return -1;
    next_open_time = now + retry_gap();
    std::string reason;
    int nfd = open_log_file(later, reason);
    if (nfd >= 0) {
        // Only the file this logger writes is emptied, never one found in its
        // place; when that fails it grows on past its limit.
        if (truncate && same_file(nfd, current_fd())) (void)!ftruncate(nfd, 0);
        return nfd;
    }
    if (!later)
        LOG_AT(LOG_LEVEL_ERROR, "Cannot open logfile \"%s\" because of %s", path.c_str(), reason.c_str());
    else
        report_open_failure(reason, collected);
    return -1;
}

void file_logger_t::report_open_failure(const std::string& reason, std::string* collected) {
    // The file is this logger's only output: standard error is the one
    // place left (a chained console logger writes there too).
    std::string line;
    make_line(line, LOG_LEVEL_ERROR, "[Logger] Cannot open logfile \"%s\" because of %s", path.c_str(),
              reason.c_str());
    bounded_writer_t(2).write(line.data(), line.size(), console_wait_ms);
    if (collected) add_collected(*collected, line);
}

void file_logger_t::install_descriptor(int descriptor, const std::string& head) {
    // The head goes in before the swap so that no other thread's line can precede it.
    size_t done = descriptor == -1 ? 0 : write_some(descriptor, head.data(), head.size());
    int previous;
    {
        xlocker_t guard(write_lock);
        previous = fd;
        fd = descriptor;
        line_open = cut_inside_line(head.data(), head.size(), done);
    }
    close_descriptor(previous);
}

bool file_logger_t::open(bool later, std::string* collected) {
    int nfd = open_descriptor(later, false, collected);
    if (nfd < 0) return false;
    install_descriptor(nfd, std::string());
    return true;
}

void file_logger_t::close() {
    if (current_fd() != -1) {
        flush_repeats();
        install_descriptor(-1, std::string());
    }
    next_open_time = timestamp_t();
}

bool file_logger_t::size_reached() {
    if (size_limit == no_rotation) return false;
    // Under the write lock so that the descriptor cannot be closed and reused meanwhile.
    xlocker_t guard(write_lock);
    off_t end = fd == -1 ? -1 : lseek(fd, 0, SEEK_END);
    return end >= 0 && static_cast<uint64_t>(end) >= size_limit;
}

bool file_logger_t::file_lost() {
    xlocker_t guard(write_lock);
    struct stat st;
    return fd != -1 && fstat(fd, &st) == 0 && st.st_nlink == 0;
}

// ------------------------------------------------------------------ lines

void file_logger_t::make_line(std::string& out, int lvl, const char* fmt, ...) {
    // The plain prefix-and-message form: the repeat suppression of a descriptor
    // logger would swallow a second identical rotation message.
    va_list ap;
    va_start(ap, fmt);
    if_logger_t::format_line(lvl, out, fmt, ap);
    va_end(ap);
    out += '\n';
}

void file_logger_t::write_straight(const char* fmt, ...) {
    std::string line;
    va_list ap;
    va_start(ap, fmt);
    if_logger_t::format_line(LOG_LEVEL_INFO, line, fmt, ap);
    va_end(ap);
    line += '\n';
    write_text(line.data(), line.size());
}

bool file_logger_t::rename_file(const std::string& from, const std::string& to, std::string* collected) {
    if (::renameat(dir_fd, leaf_of(from).c_str(), dir_fd, leaf_of(to).c_str()) == 0) return true;
    std::string reason = get_last_error();
    std::string line;
    make_line(line, LOG_LEVEL_INFO, "[Logger] Unable to rename \"%s\" to \"%s\" because of %s", from.c_str(),
              to.c_str(), reason.c_str());
    if (collected)
        add_collected(*collected, line);
    else
        write_text(line.data(), line.size());
    return false;
}

void file_logger_t::write(const char* line) {
    // A repeated line arrives empty: it writes nothing, so it needs neither
    // the file nor its presence and size checks.
    if (line == nullptr || *line == '\0') return;
    resume_packing_after_fork();
    if (current_fd() == -1 && !reopen(line)) return;
    if (file_lost()) recreate_if_lost();
    if (size_reached()) rotate();
    fd_logger_t::write(line);
}

bool file_logger_t::reopen(const char* line) {
    bool is_open;
    fd_logger_t* console;
    {
        // The lock serialises the re-opening threads; a thread that finds the
        // file open once it has the lock leaves it alone.
        xlocker_t guard(rotation_lock);
        is_open = current_fd() != -1 || open(true, nullptr);
        // Once the file took lines, a file lost later drops them as any other.
        if (is_open) deferred = false;
        console = deferred ? stand_in.get() : nullptr;
    }
    // Outside the lock: a console may hold the line its bound.
    if (console) console->write(line);
    return is_open;
}

void file_logger_t::recreate_if_lost() {
    xlocker_t guard(rotation_lock);
    if (!file_lost()) return;  // another thread re-created it meanwhile
    flush_repeats();
    next_open_time = timestamp_t();
    // A new file, or a regular one someone put there; never truncated.
    int nfd = open_descriptor(true, false, nullptr);
    std::string head;
    if (nfd != -1)
        make_line(head, LOG_LEVEL_WARNING,
                  "[Logger] Log file was suddenly lost (removed outside software?) and re-created by software version %s",
                  version_text);
    install_descriptor(nfd, head);
}

// ------------------------------------------------------------------ rotation

void file_logger_t::rotate() {
    TRACE_POINT;
    xlocker_t guard(rotation_lock);
    if (!size_reached()) return;  // another thread rotated first
    write_straight("[Logger] Logfile has grown over \"%s\" limit, rotating...", size_text.c_str());
    flush_repeats();
    // The old descriptor stays current until the new file is ready, so lines
    // from other threads land in the old file instead of being dropped.
    std::string collected;
    // What is packed must be the file this logger wrote, whatever takes its
    // new name meanwhile: a link put there would have its target packed.
    struct stat written;
    bool packing = false;
    {
        // Quick renames only: a running packing holds this lock just to open and remove its files.
        xlocker_t names(names_lock());
        shift_old_files();
        if (keep_count >= 2 && fstat(current_fd(), &written) == 0 &&
            rename_file(path, rotated_name(1, false), &collected)) {
            cancel_packing(1);
            packing = pack_flag;
        }
    }
    next_open_time = timestamp_t();
    // Without a rename (one file kept, or the rename failed) the file still at the path is emptied.
    int nfd = open_descriptor(true, true, &collected);
    if (nfd != -1) {
        std::string line;
        make_line(line, LOG_LEVEL_INFO, "[Logger] New logfile has been created by software version %s", version_text);
        add_collected(collected, line);
    }
    install_descriptor(nfd, collected);
    if (packing) queue_packing(file_id_t{written.st_dev, written.st_ino});
}

void file_logger_t::shift_old_files() {
    if (keep_count <= 2) return;
    for (uint32_t n = keep_count - 2; n >= 1; --n) {
        if (pack_flag) shift_one(n, true);
        // Packing, a rotated file whose packing waits (or was stopped) moves along too, and its job with it.
        if (shift_one(n, false))
            for (const std::shared_ptr<pack_job_t>& job : pack_queue)
                if (job->number == n) job->number = n + 1;
    }
}

bool file_logger_t::shift_one(unsigned n, bool packed) {
    std::string from = rotated_name(n, packed);
    struct stat st;
    if (fstatat(dir_fd, leaf_of(from).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (!rename_file(from, rotated_name(n + 1, packed), nullptr)) return false;
    cancel_packing(n + 1);
    return true;
}
