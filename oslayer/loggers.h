// The logger family: the process-wide root logger, the descriptor logger
// with repeat suppression, chains, the rotating file logger and syslog.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "_kern.h"
#include "syncers.h"
#include "time-objs.h"

class bounded_writer_t;

enum log_level_t {
    LOG_LEVEL_CRIT = 0,
    LOG_LEVEL_ERROR = 1,
    LOG_LEVEL_WARNING = 2,
    LOG_LEVEL_NOTICE = 3,
    LOG_LEVEL_INFO = 4,
    LOG_LEVEL_TRACE = 5,
    LOG_LEVEL_TRACE1 = 6,
    LOG_LEVEL_TRACE2 = 7,
    LOG_LEVEL_TRACE3 = 8,
    LOG_LEVEL_DEBUG = 9,
    LOG_LEVEL_DEBUG1 = 10,
    LOG_LEVEL_DEBUG2 = 11,
    LOG_LEVEL_DEBUG3 = 12,
};

/// A logger: writes a message when its level is at most the logger's level.
class if_logger_t : public virtual if_root_t {
public:
    if_logger_t() : level(LOG_LEVEL_INFO) {}
    ~if_logger_t() override;

    virtual void vprint(int level, const char* fmt, va_list ap);
    virtual void set_level(int l) { level = l; }
    virtual int get_level() const { return level; }
    virtual bool is_enabled(int l) const { return l <= level; }
    /// "FTL", "ERR", "wrn", ... "db3" (also for 13 and above or negative).
    virtual const char* level_code(int l) const;
    /// Appends the line prefix and the formatted message to `out`.
    virtual void format_line(int level, std::string& out, const char* fmt, va_list ap);
    /// Writes one finished line.
    virtual void write(const char* line) = 0;

    /// Appends "YYYYMMDD.hhmmss.hh cod [  pid   tid] name   ".
    void format_prefix(int level, std::string& out);

    void crit(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void error(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void warning(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void notice(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void info(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void trace(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void trace3(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void debug(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void debug3(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void print(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

    int level;

    /// The process-wide root logger (descriptor 2, level 4 after start-up).
    static if_logger_t* Log;
    /// Taken around every log site; the loggers lock internally.
    static log_mutex_t LogMutex;
};

/// Level name ("CRIT" .. "DEBUG3"; "ALL" above 12).
const char* level_name(int level);
/// Case-insensitive name to level; false (level untouched) for unknown names.
bool level_from_name(const char* name, int& level);

/// Writes lines to a descriptor; a line equal to the previous one is counted
/// instead of written, and the count is reported before the next other line.
/// A descriptor that may wait on its reader (a console: a pipe, a socket, a
/// terminal) holds no line longer than `console_wait_ms`: a line it does not
/// take by then is dropped and counted, later lines are written only as far
/// as it takes them at once, and the count is reported before the first line
/// it takes again.
class fd_logger_t : public if_logger_t {
public:
    explicit fd_logger_t(int fd);
    ~fd_logger_t() override;

    /// How long a line waits for a console to take it, 1000 ms.
    static uint32_t console_wait_ms;

    void format_line(int level, std::string& out, const char* fmt, va_list ap) override;
    void write(const char* line) override;
    /// Writes the pending "Last message repeated" line, if any; takes the repeat lock.
    void flush_repeats();
    /// Goes on where `other`, a logger of the same descriptor about to be
    /// deleted, stops: its stall, its count of dropped lines and its cut
    /// line become this one's, so that a console nobody reads costs no
    /// second wait and the count is reported by this logger.
    void take_console_state(fd_logger_t& other);

    int fd;
    std::string last_prefix;
    std::string last_text;
    unsigned repeat_count;
    mutex_t repeat_lock;
    mutex_t write_lock;
    /// A write came short inside a line (a full disk): the descriptor ends in
    /// a cut line, which the next message ends first. Under the write lock.
    bool line_open;
    /// Lines a console did not take since it last took one. Under the write lock.
    unsigned dropped;

protected:
    /// Writes the whole text under the write lock; errors drop the rest of
    /// the text, and a message that finds no room even for ending a cut line
    /// (or, on a console, for the count of dropped lines) is dropped whole.
    void write_text(const char* text, size_t len);
    /// Writes until all is written or a write fails; the count written.
    static size_t write_some(int fd, const char* text, size_t len);
    /// True when `done` of `len` bytes of `text` stop inside a line.
    static bool cut_inside_line(const char* text, size_t len, size_t done);
    /// flush_repeats for a caller that already holds the repeat lock.
    void flush_repeats_locked();

private:
    /// Writes `text` to the descriptor, a console within `wait_ms`; true when all of it went.
    bool put(const char* text, size_t len, uint32_t wait_ms);
    /// Ends a line a short write cut; true when none is left open.
    bool end_cut_line(uint32_t wait_ms);
    /// Reports the lines a console dropped; true when none is left to report.
    bool report_dropped(uint32_t wait_ms);

    /// The console's writer; null for a descriptor that never waits (a file).
    std::unique_ptr<bounded_writer_t> console;
    /// The console took no line at the last attempt. Under the write lock.
    bool stalled;
};

/// Joins two loggers: every message goes to both.
class chain_logger_t : public if_logger_t {
public:
    /// Owns both; `second` is dropped when it is `first`.
    chain_logger_t(if_logger_t* first, if_logger_t* second);
    ~chain_logger_t() override;

    void vprint(int level, const char* fmt, va_list ap) override;
    void set_level(int l) override;
    bool is_enabled(int l) const override;
    void write(const char* line) override;

    /// True when a descriptor logger on descriptor 2 is in this chain.
    bool has_stderr_again() const;

    /// The root becomes a chain of `logger` and the previous root.
    static void add(if_logger_t* logger);
    /// Takes `logger` out of the root chain and hands it back undeleted.
    static void remove(if_logger_t* logger);
    static void collect_info(std::string& out);

    if_logger_t* first;
    if_logger_t* second;
};

/// The descriptor logger bound to a named file, re-created when deleted,
/// rotated by size into numbered files packed with gzip on a thread of their
/// own. The directory of the file is followed once, at the first open that
/// finds it (normally at start), and held: every later open, rename and
/// removal of the log's files happens in that directory, whatever is put in
/// the place of the directories above it. Every file is written at its end.
class file_logger_t : public fd_logger_t {
public:
    file_logger_t();
    /// Stops a running packing, which leaves the rotated file whole and
    /// unpacked, before closing the file: a stop never waits for a packing.
    ~file_logger_t() override;

    /// Names the file and the rotation; opens the file in append mode when the text is valid.
    bool set_rotation(const std::string& path, const std::string& spec);
    /// Names the file and the rotation of a log whose directories could not
    /// be made at start, and opens nothing: a later open, the first one
    /// `retry_interval_ms` from now, makes them before it follows them.
    /// Until an open succeeds, the lines go to `stand_in` when given (the
    /// console), from then on to the file alone.
    bool open_later(const std::string& path, const std::string& spec, std::unique_ptr<fd_logger_t> stand_in);
    /// Opens the file to append to it, only when it is a regular file. At
    /// start (`later` false) a link the administrator gave is followed and a
    /// failure goes to the root logger; later (at most once every
    /// `retry_interval_ms`) nothing stands there but a regular file of one
    /// name, or a new one is created, and a failure goes to standard error
    /// and to `collected`.
    bool open(bool later, std::string* collected);
    bool size_reached();
    void close();
    void write(const char* line) override;

    /// "x.log" -> "x.<number>.log", plus ".dz" when packed.
    std::string rotated_name(unsigned number, bool packed) const;
    /// A "[Logger] " style line: prefix, message and "\n" appended to `out`.
    void make_line(std::string& out, int level, const char* fmt, ...) __attribute__((format(printf, 4, 5)));
    /// Renames within the held directory; `from` and `to` are names as rotated_name makes them.
    bool rename_file(const std::string& from, const std::string& to, std::string* collected);
    void rotate();
    /// The identity of a file: device and inode.
    struct file_id_t {
        dev_t dev;
        ino_t ino;
    };
    /// A rotated file to be packed: the number its name has now (a rotation
    /// moves it one up) and the file that was rotated.
    struct pack_job_t {
        pack_job_t(unsigned n, file_id_t id) : number(n), written(id), cancelled(false) {}
        unsigned number;
        file_id_t written;
        /// Its name was taken by another file: it is packed no more.
        std::atomic<bool> cancelled;
    };
    /// Compresses the job's file, when it is still the file that was
    /// rotated, into its packed name, then removes the rotated one. Takes the
    /// names lock only to open and to remove, never while it compresses.
    void pack(const std::shared_ptr<pack_job_t>& job);

    /// Parses a rotation text into the fields; false when invalid.
    bool parse_rotation(const std::string& spec);
    /// Why a file of `mode` is refused: "it is a named pipe, not a regular file" and the like.
    static std::string not_regular(mode_t mode);

    rwlock_t rotation_lock;
    timestamp_t next_open_time;
    std::string path;
    std::string size_text;
    uint32_t size_limit;
    uint32_t keep_count;
    bool pack_flag;

    /// The program's version, quoted in the "[Logger] ... software version" lines.
    static const char* version_text;
    /// The least time between two opens of a file that is not open, 60000 ms.
    static uint32_t retry_interval_ms;

private:
    /// Sets the names and parses the rotation text; false (logged) when it is invalid.
    bool name_files(const std::string& path, const std::string& spec);
    /// Opens the file when it is not open, or hands `line` to the stand-in
    /// while open_later's wait lasts; true when the file is open.
    bool reopen(const char* line);
    /// The new descriptor, or -1 with the failure reported as `open` describes;
    /// `truncate` empties the file found only when it is the one being written.
    int open_descriptor(bool later, bool truncate, std::string* collected);
    /// Opens `path` in the held directory as `open` describes; -1 with `reason`.
    int open_log_file(bool later, std::string& reason);
    /// The held directory, opened by its path when it is not yet; -1 with errno set.
    int held_dir();
    /// Reports a run-time failure to open on standard error and into `collected`.
    void report_open_failure(const std::string& reason, std::string* collected);
    /// Writes `head` into `descriptor`, then makes it the current one and closes the previous.
    void install_descriptor(int descriptor, const std::string& head);
    int current_fd();
    /// True when the open file has been removed from its directory.
    bool file_lost();
    /// Re-creates the file when it was removed from its directory.
    void recreate_if_lost();
    /// Moves the numbered old files one number up, the highest being
    /// replaced, and their packings with them. Under the names lock.
    void shift_old_files();
    /// Moves old file `number` one up; true when it was renamed.
    bool shift_one(unsigned number, bool packed);
    /// A rename put another file at `number`: its packing ends. Under the names lock.
    void cancel_packing(unsigned number);
    /// Queues the file just rotated to `number` 1 and starts a packing thread if none runs.
    void queue_packing(file_id_t written);
    /// Starts a packing thread when jobs wait and none runs in this process. Under the names lock.
    void start_packer();
    /// In a forked child, starts its own packing thread for the jobs the parent's was packing.
    void resume_packing_after_fork();
    /// The packing thread: packs the queued jobs one after the other.
    void pack_queued();
    /// Opens the job's rotated file and creates its packed file (both -1 with
    /// the line to log in `failure` when they cannot be had). Under the names lock.
    void open_pack_files(const pack_job_t& job, int& source, int& destination, file_id_t& packed,
                         std::string& failure);
    /// After the compression: the rotated file is removed when it was packed
    /// whole, else the packed one; each only while its name is still the
    /// file the job had. The line to log in `failure`. Under the names lock.
    void finish_pack(const pack_job_t& job, bool packed_whole, file_id_t packed, std::string& failure);
    /// Compresses into `destination_fd`, which it closes; false (with the
    /// reason written into the current file) when the packed file is
    /// unusable, or when a stop or a rotation ended the job first.
    bool compress(int source_fd, int destination_fd, const pack_job_t& job, const std::string& source,
                  const std::string& destination);
    /// True when `name` in the held directory is the file `id` (a link followed when `follow`).
    bool name_is(const std::string& name, file_id_t id, bool follow);
    /// A level-4 "[Logger] " line written straight into the current file.
    void write_straight(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    /// Guards the old files' names and the packing queue of every file
    /// logger; held across a fork, so that a forked child finds it free.
    static mutex_t& names_lock();
    /// The open(2) flags of every log file written: at its end, never waiting.
    static const int write_flags;
    static const mode_t file_mode;
    /// Removes `name` from the held directory; false with errno set.
    bool remove_name(const std::string& name);
    /// `name` in the held directory opened with `flags`, again after an interruption.
    int open_in_dir(const std::string& name, int flags, mode_t mode);

    /// The directory held; -1 until the first open that finds it.
    int dir_fd;
    /// Set by open_later until an open succeeds: opens make the directories
    /// first, and lines go to the stand-in. Under the rotation lock.
    bool deferred;
    /// The console given to open_later; null when none.
    std::unique_ptr<fd_logger_t> stand_in;
    /// Packings in the order of their rotations, the running one first. Under the names lock.
    std::deque<std::shared_ptr<pack_job_t>> pack_queue;
    /// The process whose thread packs, 0 when none: a forked child has its own.
    pid_t packer_pid;
    /// The forks this logger has seen: a new one restarts the packing.
    std::atomic<unsigned> forks_seen;
    /// Told by the destructor: a packing ends at its next piece.
    std::atomic<bool> pack_stop;
    /// Signalled when the packing thread ends.
    condvar_t packer_ended;
};

/// Hands each line to syslog(3).
class syslog_logger_t : public if_logger_t {
public:
    explicit syslog_logger_t(int facility);
    ~syslog_logger_t() override;

    void vprint(int level, const char* fmt, va_list ap) override;
    void format_line(int level, std::string& out, const char* fmt, va_list ap) override;
    void write(const char* line) override;

    int facility;
};

/// The syslog(3) priority of a level; levels above 4 (and negative ones) are LOG_DEBUG.
int syslog_priority(int level);
/// Facility value by case-insensitive name, -1 when unknown.
int facility_from_name(const char* name);

/// `message` with its control bytes escaped (escape_log_controls): what every
/// logger writes, so that one message never becomes two lines.
std::string one_line(std::string message);

/// Logs a caught error one " because of " piece per line, then its back-trace.
void pretty_print_exception(int level, const char* fmt, const char* arg, const d_exception_t_shell_t* shell);
/// The messages of the lines pretty_print_exception writes for `text` (the
/// report before its back-trace), each with its line end, for a reader
/// without the log.
std::string report_lines(const std::string& text);
/// Runs `body`; an error leaving it is logged at `level` with `fmt` (one %s:
/// the error's text, "general error" when it has none) and goes no further.
/// False when `body` failed; `reason`, when given, then holds that text.
template <class Body>
bool log_failure(int level, const char* fmt, Body&& body, std::string* reason = nullptr) {
    try {
        body();
        return true;
    } catch (const d_exception_t_shell_t& e) {
        pretty_print_exception(level, fmt, e.what(), &e);
        if (reason) *reason = e.what();
    } catch (const std::exception& e) {
        pretty_print_exception(level, fmt, e.what(), nullptr);
        if (reason) *reason = e.what();
    } catch (...) {
        pretty_print_exception(level, fmt, "general error", nullptr);
        if (reason) *reason = "general error";
    }
    return false;
}
/// The default report-line printer; the cookie is the level.
void default_print_exception(void* cookie, const char* text, const char* file, int line);
/// Makes the root logger from a level name, a file name ("-" for stderr), a
/// rotation text and an optional extra logger; false for an unknown level.
bool init_logger(const char* level_name, const char* file_name, const char* rotation, if_logger_t* extra);

/// True when the root logger would write a line of `level`; for log sites
/// whose message costs work to build (a hex dump, a formatted command).
inline bool log_enabled(int level) {
    xlocker_t guard(if_logger_t::LogMutex);
    return if_logger_t::Log && if_logger_t::Log->is_enabled(level);
}

/// The calling convention of every log site: a guard on the log mutex, a
/// level test, then the message.
#define LOG_AT(lvl, ...)                                                   \
    do {                                                                   \
        xlocker_t log_guard_(if_logger_t::LogMutex);                       \
        if (if_logger_t::Log && if_logger_t::Log->is_enabled(lvl))         \
            if_logger_t::Log->print((lvl), __VA_ARGS__);                   \
    } while (0)
