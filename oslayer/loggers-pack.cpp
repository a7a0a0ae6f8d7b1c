// The file logger's packing: rotated files are gzip-packed one after the
// other on a thread of their own, which holds nothing that writing a line or
// a rotation needs while it compresses. A rotation that comes meanwhile goes
// on at once: the file being packed moves one number up with its packed
// file, and the newly rotated one waits its turn.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <system_error>
#include <thread>
#include <vector>

#include "loggers.h"
#include "utilities.h"

namespace {

const size_t pack_chunk = 16384;

// Forks so far: a forked child has the parent's queue but not its thread.
std::atomic<unsigned> forks(0);

// The stream's own error text, with the system's reason when the stream failed in a system call.
std::string stream_error(const char* text, int errnum) {
    std::string out = text ? text : "unknown error";
    if (errnum == Z_ERRNO) out += " (" + get_last_error() + ")";
    return out;
}

}  // namespace

mutex_t& file_logger_t::names_lock() {
    // Never destroyed: the root logger is deleted at exit, after ordinary statics.
    static mutex_t* const lock = [] {
        mutex_t* made = new mutex_t();
        pthread_atfork([] { names_lock().xlock(); }, [] { names_lock().unlock(); },
                       [] {
                           names_lock().unlock();
                           forks.fetch_add(1, std::memory_order_relaxed);
                       });
        return made;
    }();
    return *lock;
}

void file_logger_t::resume_packing_after_fork() {
    const unsigned now = forks.load(std::memory_order_relaxed);
    if (now == forks_seen.load(std::memory_order_relaxed)) return;
    xlocker_t guard(names_lock());
    forks_seen = now;
    start_packer();
}

void file_logger_t::cancel_packing(unsigned number) {
    for (auto job = pack_queue.begin(); job != pack_queue.end();) {
        if ((*job)->number != number) {
            ++job;
            continue;
        }
        (*job)->cancelled = true;
        job = pack_queue.erase(job);
    }
}

void file_logger_t::queue_packing(file_id_t written) {
    xlocker_t guard(names_lock());
    pack_queue.push_back(std::make_shared<pack_job_t>(1, written));
    start_packer();
}

void file_logger_t::start_packer() {
    // A forked child has the queue but not the parent's thread: it starts its own.
    if (packer_pid == getpid() || pack_queue.empty() || pack_stop) return;
    try {
        std::thread(&file_logger_t::pack_queued, this).detach();
        packer_pid = getpid();
    } catch (const std::system_error&) {
        // The files wait, unpacked and moving along, for a rotation that can start a thread.
    }
}

void file_logger_t::pack_queued() {
    for (;;) {
        std::shared_ptr<pack_job_t> job;
        {
            xlocker_t guard(names_lock());
            if (pack_stop || pack_queue.empty()) {
                packer_pid = 0;
                // The destructor may go on once the lock is free: nothing below touches this object.
                packer_ended.signal();
                return;
            }
            job = pack_queue.front();
        }
        pack(job);
        xlocker_t guard(names_lock());
        if (!pack_queue.empty() && pack_queue.front() == job) pack_queue.pop_front();
    }
}

void file_logger_t::pack(const std::shared_ptr<pack_job_t>& job) {
    TRACE_POINT;
    int source = -1, destination = -1;
    file_id_t packed{};
    std::string failure, source_name, destination_name;
    {
        xlocker_t guard(names_lock());
        if (job->cancelled || pack_stop) return;
        source_name = rotated_name(job->number, false);
        destination_name = rotated_name(job->number, true);
        open_pack_files(*job, source, destination, packed, failure);
    }
    if (!failure.empty()) write_text(failure.data(), failure.size());
    if (source == -1) return;
    bool whole = destination != -1 && compress(source, destination, *job, source_name, destination_name);
    ::close(source);
    if (destination == -1) return;
    {
        xlocker_t guard(names_lock());
        finish_pack(*job, whole, packed, failure);
    }
    if (!failure.empty()) write_text(failure.data(), failure.size());
}

void file_logger_t::open_pack_files(const pack_job_t& job, int& source, int& destination, file_id_t& packed,
                                    std::string& failure) {
    const std::string from = rotated_name(job.number, false), to = rotated_name(job.number, true);
    // A link the administrator gave as the log is followed as at start, but
    // nothing waits on a pipe that took the rotated file's name.
    source = open_in_dir(from, O_RDONLY | O_LARGEFILE | O_CLOEXEC | O_NONBLOCK, 0);
    struct stat st;
    std::string reason = source < 0 || fstat(source, &st) != 0 ? get_last_error()
                         : !S_ISREG(st.st_mode)                ? not_regular(st.st_mode)
                         : st.st_dev != job.written.dev || st.st_ino != job.written.ino
                             ? "it is no longer the file that was rotated"
                             : std::string();
    if (!reason.empty()) {
        if (source >= 0) ::close(source);
        source = -1;
        make_line(failure, LOG_LEVEL_INFO, "[Logger] Cannot open file \"%s\" because of %s", from.c_str(),
                  reason.c_str());
        return;
    }
    // The packed file of an earlier rotation is replaced by removing its
    // name: a link put there is never followed, its target never truncated.
    (void)remove_name(to);
    destination = open_in_dir(to, write_flags | O_CREAT | O_EXCL | O_NOFOLLOW, file_mode);
    if (destination < 0 || fstat(destination, &st) != 0) {
        std::string reason = get_last_error();
        make_line(failure, LOG_LEVEL_INFO, "[Logger] Cannot create file \"%s\" because of %s", to.c_str(),
                  reason.c_str());
        if (destination >= 0) ::close(destination);
        destination = -1;
        return;
    }
    packed = file_id_t{st.st_dev, st.st_ino};
}

void file_logger_t::finish_pack(const pack_job_t& job, bool whole, file_id_t packed, std::string& failure) {
    // The job's number is where a rotation moved both files meanwhile; a name
    // another file took (the job cancelled) is left alone.
    const std::string source = rotated_name(job.number, false), destination = rotated_name(job.number, true);
    if (!name_is(destination, packed, false)) return;
    const bool kept = whole && !job.cancelled;
    if (kept && !name_is(source, job.written, true)) return;
    const std::string& doomed = kept ? source : destination;
    if (!remove_name(doomed)) {
        std::string reason = get_last_error();
        make_line(failure, LOG_LEVEL_INFO, "[Logger] Unable to remove file \"%s\" because of %s", doomed.c_str(),
                  reason.c_str());
    }
}

bool file_logger_t::compress(int src, int dst, const pack_job_t& job, const std::string& source,
                             const std::string& destination) {
    gzFile gz = gzdopen(dst, "wb9");
    if (!gz) {
        write_straight("[Logger] Cannot create compressed file \"%s\" because of %s", destination.c_str(),
                       zError(Z_MEM_ERROR));
        ::close(dst);
        return false;
    }
    std::vector<char> buf(pack_chunk);
    bool ok = true;
    while (ok) {
        // A stop or a rotation that took the file's name ends the packing at the next piece.
        if (pack_stop || job.cancelled) {
            ok = false;
            break;
        }
        ssize_t n = ::read(src, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) break;
        if (n < 0) {
            std::string reason = get_last_error();
            write_straight("[Logger] File \"%s\" written partially because of cannot read file \"%s\" because of %s",
                           destination.c_str(), source.c_str(), reason.c_str());
            ok = false;
            break;
        }
        for (ssize_t done = 0; ok && done < n;) {
            int taken = gzwrite(gz, buf.data() + done, static_cast<unsigned>(n - done));
            if (taken > 0) {
                done += taken;
                continue;
            }
            // A gzip stream's error is sticky: every further chunk would fail the same way.
            int errnum = Z_OK;
            std::string reason = stream_error(gzerror(gz, &errnum), errnum);
            write_straight("[Logger] Unable to write into file \"%s\" because of %s", destination.c_str(),
                           reason.c_str());
            ok = false;
        }
    }
    // Closing writes the stream's tail; only a complete file may replace the source.
    int rc = gzclose(gz);
    if (rc != Z_OK && ok) {
        std::string reason = stream_error(zError(rc), rc);
        write_straight("[Logger] Unable to write into file \"%s\" because of %s", destination.c_str(),
                       reason.c_str());
        ok = false;
    }
    return ok;
}
