// File paths: splitting, status queries and whole-file operations.
#include "file.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "_kern.h"
#include "accounts.h"
#include "md5.h"
#include "utilities.h"

namespace {

constexpr size_t no_dot = ~static_cast<size_t>(0);

/// Closes a stdio stream on every way out; `close` reports whether the
/// buffered data reached the file.
class stream_guard_t {
public:
    explicit stream_guard_t(FILE* s) : stream(s) {}
    ~stream_guard_t() {
        if (stream != nullptr) fclose(stream);
    }
    stream_guard_t(const stream_guard_t&) = delete;
    stream_guard_t& operator=(const stream_guard_t&) = delete;
    bool close() {
        FILE* s = stream;
        stream = nullptr;
        return s != nullptr && fclose(s) == 0;
    }
    FILE* stream;
};

/// Copies the whole stream in 1024-byte blocks; false on a read or write error.
bool copy_stream(FILE* from, FILE* to) {
    char block[1024];
    for (;;) {
        size_t n = fread(block, 1, sizeof block, from);
        if (ferror(from)) return false;
        if (n == 0) return true;
        if (fwrite(block, 1, n, to) != n) return false;
    }
}

}  // namespace

int make_parent_dirs(const std::string& path, mode_t mode) {
    if (path.empty() || path == "/") return 0;
    const bool absolute = path[0] == '/';
    std::string prefix = absolute ? "/" : "";
    std::vector<std::string> parts;
    size_t pos = absolute ? 1 : 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos) slash = path.size();
        if (slash > pos) parts.push_back(path.substr(pos, slash - pos));
        pos = slash + 1;
    }
    if (parts.empty()) return 0;
    parts.pop_back();  // the file's own name
    for (const std::string& part : parts) {
        prefix += part;
        if (::access(prefix.c_str(), F_OK) != 0 && ::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) return -1;
        prefix += '/';
    }
    return 0;
}

file_t::file_t(const std::string& path) : fullpath(path), dot_pos(no_dot), status(), status_failed(true) {
    split_full_path();
}

file_t::file_t(const std::string& name_, const std::string& dir_)
    : name(name_), dir(dir_), dot_pos(no_dot), status(), status_failed(true) {
    if (dir.empty())
        fullpath = name;
    else if (name.empty())
        fullpath = dir;
    else if (dir.back() == '/')
        fullpath = dir + name;
    else
        fullpath = dir + "/" + name;
    split_ext();
}

void file_t::split_full_path() {
    if (fullpath.empty()) D_THROW(BUG_exception, "empty fullpath");
    TRACE_POINT;
    size_t slash = fullpath.rfind('/');
    if (slash != std::string::npos) {
        name = fullpath.substr(slash + 1);
        dir = fullpath.substr(0, slash);
    } else {
        name = fullpath;
    }
    split_ext();
}

void file_t::split_ext() {
    dot_pos = name.rfind('.');
    if (dot_pos != std::string::npos) ext = name.substr(dot_pos + 1);
}

void file_t::strip_dir(std::string& path) {
    size_t slash = path.rfind('/');
    if (slash != std::string::npos) path.erase(0, slash + 1);
}

std::string file_t::resolve_path(const std::string& path) {
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf) == nullptr) return path;
    return buf;
}

std::string file_t::dir_of(const char* path) {
    std::string p = resolve_path(path);
    size_t slash = p.rfind('/');
    p = slash == std::string::npos ? std::string("./") : p.substr(0, slash + 1);
    return resolve_path(p);
}

const std::string& file_t::real_path() {
    if (real_path_text.empty()) real_path_text = resolve_path(fullpath);
    return real_path_text;
}

void file_t::refresh() { status_failed = ::stat(fullpath.c_str(), &status) != 0; }

bool file_t::exists() {
    refresh();
    return !status_failed;
}

bool file_t::is_dir() {
    if (status_failed) refresh();
    return !status_failed && S_ISDIR(status.st_mode);
}

bool file_t::is_file() {
    if (status_failed) refresh();
    return !status_failed && S_ISREG(status.st_mode);
}

uint64_t file_t::size() {
    if (!status_failed && status.st_size != 0) return static_cast<uint64_t>(status.st_size);
    refresh();
    return status_failed ? 0 : static_cast<uint64_t>(status.st_size);
}

uint32_t file_t::atime() {
    if (status_failed) refresh();
    return status_failed ? 0 : static_cast<uint32_t>(status.st_atime);
}

uint32_t file_t::mtime() {
    if (status_failed) refresh();
    return status_failed ? 0 : static_cast<uint32_t>(status.st_mtime);
}

uint32_t file_t::ctime() {
    if (status_failed) refresh();
    return status_failed ? 0 : static_cast<uint32_t>(status.st_ctime);
}

const char* file_t::kind_of(mode_t mode) {
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "of an unknown kind";
}

bool file_t::is_symlink() {
    struct stat st;
    return ::lstat(fullpath.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

const std::string& file_t::link_target() {
    if (!is_symlink()) {
        link_target_text = fullpath;
        return link_target_text;
    }
    std::unique_ptr<char[]> buf(new char[65536]);
    ssize_t n;
    while ((n = ::readlink(fullpath.c_str(), buf.get(), 65536)) < 0 && errno == EINTR) {}
    if (n >= 0) link_target_text.assign(buf.get(), static_cast<size_t>(n));
    return link_target_text;
}

const std::string& file_t::owner() {
    if (!owner_text.empty()) return owner_text;
    if (status_failed) refresh();
    if (status_failed) {
        owner_text = "Unknown";
        return owner_text;
    }
    account_name(status.st_uid, status.st_gid, owner_text);
    return owner_text;
}

const std::string& file_t::md5() {
    if (!md5_text.empty()) return md5_text;
    stream_guard_t in(fopen(fullpath.c_str(), "r"));
    if (in.stream == nullptr)
        D_THROW(open_io_error_exception, "unable to open file \"%s\" because of %s", fullpath.c_str(),
                get_last_error().c_str());
    md5_t digest;
    digest.update_file(in.stream);
    if (ferror(in.stream))
        D_THROW(read_io_error_exception, "unable to read file \"%s\" because of %s", fullpath.c_str(),
                get_last_error().c_str());
    digest.final();
    md5_text = digest.hex();
    return md5_text;
}

bool file_t::remove() {
    if (!exists()) return true;
    (void)::chmod(fullpath.c_str(), 0664);
    if (is_dir()) return ::rmdir(fullpath.c_str()) == 0;
    return ::remove(fullpath.c_str()) == 0;
}

bool file_t::write(const std::string& data) {
    if (make_parent_dirs(fullpath, 0755) != 0) return false;
    stream_guard_t out(fopen(fullpath.c_str(), "w"));
    if (out.stream == nullptr) return false;
    bool ok = data.empty() || fwrite(data.data(), 1, data.size(), out.stream) == data.size();
    // The data may still sit in the stream's buffer: a failed flush is a failed write.
    return out.close() && ok;
}

bool file_t::move(const std::string& dest) {
    if (make_parent_dirs(dest, 0755) != 0) return false;
    if (::rename(fullpath.c_str(), dest.c_str()) == 0) return true;
    stream_guard_t in(fopen(fullpath.c_str(), "r"));
    if (in.stream == nullptr) return false;
    stream_guard_t out(fopen(dest.c_str(), "w"));
    if (out.stream == nullptr) {
        int saved = errno;
        in.close();
        errno = saved;
        return false;
    }
    bool complete = copy_stream(in.stream, out.stream);
    // Only a copy that reached the destination's file may cost the source.
    complete = out.close() && complete;
    in.close();
    if (complete) (void)remove();
    return complete;
}
