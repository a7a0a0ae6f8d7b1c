// The descriptor logger: repeat suppression, whole lines after a short
// write, and a console that holds no line longer than its bound.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "bounded-write.h"
#include "loggers.h"
#include "utilities.h"

namespace {

// write(2) may refuse larger counts on some systems; 0x7FFFFF is safe everywhere.
const size_t max_write_piece = 0x7FFFFF;

}  // namespace

uint32_t fd_logger_t::console_wait_ms = 1000;

fd_logger_t::fd_logger_t(int descriptor)
    : fd(descriptor), repeat_count(1), line_open(false), dropped(0), stalled(false) {
    if (descriptor >= 0 && bounded_writer_t::may_block(descriptor)) console.reset(new bounded_writer_t(descriptor));
}

fd_logger_t::~fd_logger_t() {
    flush_repeats();
    // The count is owed to a console that takes lines again right now.
    xlocker_t guard(write_lock);
    if (dropped != 0) report_dropped(0);
}

void fd_logger_t::format_line(int l, std::string& out, const char* fmt, va_list ap) {
    // Formatting happens outside the lock; only the comparison is serialised.
    std::string prefix;
    format_prefix(l, prefix);
    std::string text = one_line(vformat_string(fmt, ap));
    xlocker_t guard(repeat_lock);
    if (text == last_text) {
        last_prefix.swap(prefix);
        ++repeat_count;
        return;
    }
    out.reserve(out.size() + prefix.size() + text.size() + 1);
    out += prefix;
    out += text;
    out += '\n';
    flush_repeats_locked();
    last_prefix.swap(prefix);
    last_text.swap(text);
}

void fd_logger_t::write(const char* line) {
    if (!line || !*line) return;
    write_text(line, strlen(line));
}

void fd_logger_t::flush_repeats() {
    xlocker_t guard(repeat_lock);
    flush_repeats_locked();
}

void fd_logger_t::flush_repeats_locked() {
    if (repeat_count != 1) {
        std::string line = last_prefix;
        line += "[Logger] Last message repeated ";
        line += std::to_string(repeat_count);
        line += " times\n";
        write_text(line.data(), line.size());
    }
    repeat_count = 1;
    last_prefix.clear();
    last_text.clear();
}

void fd_logger_t::take_console_state(fd_logger_t& other) {
    if (&other == this || other.fd != fd) return;
    other.flush_repeats();
    xlocker_t theirs(other.write_lock);
    xlocker_t mine(write_lock);
    stalled = stalled || other.stalled;
    dropped += other.dropped;
    line_open = line_open || other.line_open;
    other.dropped = 0;
    other.line_open = false;
}

size_t fd_logger_t::write_some(int descriptor, const char* text, size_t len) {
    size_t done = 0;
    while (done < len) {
        size_t piece = len - done < max_write_piece ? len - done : max_write_piece;
        ssize_t n = ::write(descriptor, text + done, piece);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the rest is lost; there is nowhere to report it
        done += static_cast<size_t>(n);
    }
    return done;
}

bool fd_logger_t::cut_inside_line(const char* text, size_t len, size_t done) {
    return done > 0 && done < len && text[done - 1] != '\n';
}

void fd_logger_t::write_text(const char* text, size_t len) {
    // A log call must not disturb the errno its caller is about to report.
    int saved = errno;
    xlocker_t guard(write_lock);
    if (fd != -1 && len > 0) {
        // A console that took nothing at the last line is not waited for
        // again: one bounded wait, not one per line, until it takes a line.
        uint32_t wait_ms = stalled ? 0 : console_wait_ms;
        // A message never continues a line a short write cut: the cut line is
        // ended first, and while even that finds no room the message is dropped.
        bool whole = end_cut_line(wait_ms) && report_dropped(wait_ms) && put(text, len, wait_ms);
        if (console) {
            stalled = !whole;
            if (!whole) ++dropped;
        }
    }
    errno = saved;
}

bool fd_logger_t::put(const char* text, size_t len, uint32_t wait_ms) {
    size_t done = console ? console->write(text, len, wait_ms) : write_some(fd, text, len);
    line_open = cut_inside_line(text, len, done);
    return done == len;
}

bool fd_logger_t::end_cut_line(uint32_t wait_ms) {
    if (line_open) line_open = !(console ? console->write("\n", 1, wait_ms) == 1 : write_some(fd, "\n", 1) == 1);
    return !line_open;
}

bool fd_logger_t::report_dropped(uint32_t wait_ms) {
    if (dropped == 0) return true;
    std::string line;
    format_prefix(LOG_LEVEL_WARNING, line);
    line += "[Logger] Console did not take " + std::to_string(dropped) + " lines, dropped\n";
    if (!put(line.data(), line.size(), wait_ms)) return false;
    dropped = 0;
    return true;
}
