#include "cache/cache_file_ctx.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem.hpp>
#include <boost/make_shared.hpp>

#include "cache/mapping_budget.h"
#include "oslayer/loggers.h"
#include "oslayer/utilities.h"

namespace fs = boost::filesystem;

namespace cache {

mapped_file_t::mapped_file_t(int fd, const struct stat& st, const std::string& path, bool copy) {
    void* p = MAP_FAILED;
    int error = 0;
    if (st.st_size > 0 && copy) {
        size_ = static_cast<size_t>(st.st_size);
        try {
            read_all(fd, path);
        } catch (...) {
            ::close(fd);
            throw;
        }
    } else if (st.st_size > 0) {
        p = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
        if (p == MAP_FAILED) error = errno;
    }
    ::close(fd);  // the mapping stays valid without it
    if (error) D_THROW(io_error_exception, "cannot map %s: %s", escape_log_text(path).c_str(), strerror(error));
    if (p != MAP_FAILED) {
        data_ = static_cast<const char*>(p);
        size_ = static_cast<size_t>(st.st_size);
    }
}

void mapped_file_t::read_all(int fd, const std::string& path) {
    char* bytes = new char[size_];
    size_t done = 0;
    while (done < size_) {
        ssize_t n = ::read(fd, bytes + done, size_ - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int error = n < 0 ? errno : 0;
            delete[] bytes;
            D_THROW(io_error_exception, "cannot read %s: %s", escape_log_text(path).c_str(),
                    error ? strerror(error) : "the file became shorter");
        }
        done += static_cast<size_t>(n);
    }
    data_ = bytes;
    copied_ = true;
}

mapped_file_t::~mapped_file_t() {
    if (copied_)
        delete[] data_;
    else if (data_)
        ::munmap(const_cast<char*>(data_), size_);
}

namespace {

boost::posix_time::ptime now() { return boost::posix_time::second_clock::local_time(); }

// MD5 and size of a whole open file, read in large pieces; 0 or the errno
// of a read that failed.
int hash_file(int fd, md5_t& md5, uint64_t& size) {
    static thread_local std::vector<char> buffer(256 << 10);
    size = 0;
    for (;;) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) break;
        md5.update(static_cast<size_t>(n), buffer.data());
        size += static_cast<uint64_t>(n);
    }
    md5.final();
    return 0;
}

}  // namespace

bool not_there(int error) {
    return error == ENOENT || error == ELOOP || error == ENOTDIR || error == EXDEV || error == ENXIO ||
           error == EOPNOTSUPP;
}

namespace {

// Opens `leaf` in `dir` for reading and examines it into `st`, following
// no link and never blocking: a named pipe or a device put there must not
// hold a pool thread in open(2). Empty with `error` 0 (errno set) when
// nothing is there or what is there cannot be opened as a file (a link, a
// socket); empty with `error` set when the file cannot be opened or examined.
fd_t open_examined(int dir, const std::string& leaf, struct stat& st, int& error) {
    fd_t fd(::openat(dir, leaf.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    error = !fd && !not_there(errno) ? errno : 0;
    if (fd && ::fstat(fd.get(), &st) != 0) {
        error = errno;
        fd.reset();
    }
    return fd;
}

// Every piece of the leaf must name an entry below the revision directory.
bool leaf_stays_inside(const std::string& leaf) {
    if (leaf.find('\0') != std::string::npos) return false;
    size_t start = 0;
    for (;;) {
        size_t slash = leaf.find('/', start);
        std::string piece = leaf.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (piece.empty() || piece == "." || piece == "..") return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

// The file system stores no name piece above NAME_MAX bytes and no path of
// PATH_MAX bytes or more; the temporary file's one more '~' counts too.
bool path_fits(const std::string& dir, const std::string& leaf) {
    if (dir.size() + 1 + leaf.size() + 1 >= PATH_MAX) return false;
    size_t start = 0;
    for (;;) {
        size_t slash = leaf.find('/', start);
        size_t end = slash == std::string::npos ? leaf.size() + 1 : slash;
        if (end - start > NAME_MAX) return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

// The leaf as build_path made it: what follows ROOT/REPOSITORY/REVISION/,
// which holds directories for names of more than one '/'.
std::string stored_leaf(const tree_t& tree, const std::string& path) {
    const std::string below = tree.relative(path);
    const size_t repository = below.find('/');
    const size_t revision = repository == std::string::npos ? repository : below.find('/', repository + 1);
    return revision == std::string::npos ? fs::path(path).filename().string() : below.substr(revision + 1);
}

}  // namespace

std::string shown_text(const std::string& text) {
    const size_t shown = 160;
    if (text.size() <= shown) return escape_log_text(text);
    return escape_log_text(text.substr(0, shown)) + "... (" + std::to_string(text.size()) + " bytes)";
}

const char* const cache_t::file_ctx_t::empty_md5 = "d41d8cd98f00b204e9800998ecf8427e";

bool cache_t::file_ctx_t::md5_text_valid(const std::string& md5) {
    if (md5.size() != 32) return false;
    for (char c : md5)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

namespace {

// The leaf of the layout, unchecked: the name's first '/' turned into '~' (a
// '~' put in front of a name without one), then '~' and the md5 text.
std::string leaf_of(const file_info_t& info) {
    std::string leaf = info.name;
    size_t slash = leaf.find('/');
    if (slash == std::string::npos)
        leaf.insert(leaf.begin(), '~');
    else
        leaf[slash] = '~';
    leaf += '~';
    leaf += info.md5;
    return leaf;
}

}  // namespace

std::string cache_t::file_ctx_t::build_path(const std::string& dir, const file_info_t& info) {
    const std::string leaf = leaf_of(info);
    // Checked first: an md5 text of other characters could add '/', '~' or
    // nothing at all to the leaf, and its file could never turn ready.
    if (!md5_text_valid(info.md5)) {
        LOG_AT(LOG_LEVEL_ERROR,
               "[Repo] Refused file \"%s\" with md5 \"%s\": the md5 is not 32 lower-case hexadecimal digits",
               shown_text(info.name).c_str(), shown_text(info.md5).c_str());
        D_THROW(cache_error, "md5 \"%s\" of file \"%s\" is not 32 lower-case hexadecimal digits",
                shown_text(info.md5).c_str(), shown_text(info.name).c_str());
    }
    if (!leaf_stays_inside(leaf)) {
        LOG_AT(LOG_LEVEL_ERROR, "[Repo] Refused file \"%s\" with md5 \"%s\": its path would leave %s",
               escape_log_text(info.name).c_str(), escape_log_text(info.md5).c_str(), escape_log_text(dir).c_str());
        D_THROW(cache_error, "unsafe file name \"%s\" with md5 \"%s\"", escape_log_text(info.name).c_str(),
                escape_log_text(info.md5).c_str());
    }
    if (!path_fits(dir, leaf)) {
        LOG_AT(LOG_LEVEL_ERROR, "[Repo] Refused file \"%s\" with md5 \"%s\": its path is longer than %s allows",
               shown_text(info.name).c_str(), shown_text(info.md5).c_str(), escape_log_text(dir).c_str());
        D_THROW(cache_error, "file name \"%s\" is too long to be stored", shown_text(info.name).c_str());
    }
    return (fs::path(dir) / leaf).string();
}

std::string cache_t::file_ctx_t::name_from_leaf(const std::string& leaf) {
    // The md5 text follows the last '~': it holds none itself. What comes
    // before is the name, '~' in it of its own or in the place of its first
    // '/', which stands before any other.
    std::string name = leaf.substr(0, std::min(leaf.rfind('~'), leaf.size()));
    if (!name.empty() && name[0] == '~' && name.find('/') == std::string::npos) {
        name.erase(0, 1);
    } else {
        const size_t tilde = name.find('~');
        if (tilde != std::string::npos) name[tilde] = '/';
    }
    return name;
}

std::string cache_t::file_ctx_t::layout_md5(const std::string& leaf) {
    const size_t tilde = leaf.rfind('~');
    if (tilde == std::string::npos) return std::string();
    file_info_t info{name_from_leaf(leaf), 0, leaf.substr(tilde + 1)};
    return md5_text_valid(info.md5) && leaf_of(info) == leaf ? info.md5 : std::string();
}

std::string cache_t::file_ctx_t::stored_name(const file_info_t& info) {
    // Asked once per announced file under the cache's lock: a name without
    // '~' that does not begin with '/' reads back as itself.
    const std::string& name = info.name;
    if (name.find('~') == std::string::npos && (name.empty() || name[0] != '/')) return name;
    return name_from_leaf(leaf_of(info));
}

cache_t::file_ptr cache_t::file_ctx_t::create(const tree_ptr& tree, const std::string& path) {
    std::string leaf;
    fd_t dir = tree->open_parent(path, false, leaf);
    // Nothing there, or not reached through directories of the cache: nothing to read.
    if (!dir) return file_ptr();
    return create(tree, dir.get(), leaf, path);
}

cache_t::file_ptr cache_t::file_ctx_t::create(const tree_ptr& tree, int dir, const std::string& leaf,
                                              const std::string& path) {
    LOG_AT(LOG_LEVEL_DEBUG3, "[Repo] Create file context for path %s", escape_log_text(path).c_str());
    struct stat st;
    int error = 0;
    fd_t fd = open_examined(dir, leaf, st, error);
    // Not loaded, and left where it is: one file the daemon's user cannot
    // read (a mode taken away, a failing disk) costs its own download, which
    // renames the new file over it, never the start or a running service.
    if (error) {
        say_unreadable(path, error);
        return file_ptr();
    }
    if (!fd && errno == ENOENT) return file_ptr();  // gone since the directory was listed
    if (!fd || !S_ISREG(st.st_mode) || !tree_t::cache_owned(st)) {
        // Never read: a link would hand out what it points at, a file that
        // others may write could change under its md5.
        tree_t::clear_for_file(dir, leaf, path);
        return file_ptr();
    }
    file_ptr ctx(new file_ctx_t(tree));
    ctx->path = path;
    ctx->last_use_ = now();
    ctx->state = ready;
    // Taken before the content is hashed: a change while it is read moves
    // the times past the stamp.
    ctx->stamp_ = file_stamp_t::of(st);
    ctx->info.name = name_from_leaf(stored_leaf(*tree, path));
    ctx->named_by_load = true;
    // Hashed through a buffer rather than a mapping kept from the start: a
    // large tree loads faster, and only files that agents ask for are ever
    // mapped (on first use).
    uint64_t size = 0;
    md5_t md5;
    if ((error = hash_file(fd.get(), md5, size)) != 0) {
        say_unreadable(path, error);
        return file_ptr();
    }
    ctx->info.size = static_cast<uint32_t>(size);
    ctx->info.md5 = md5.hex();
    LOG_AT(LOG_LEVEL_TRACE3, "[Repo] File context created for %s - %lu - %s", escape_log_text(ctx->info.name).c_str(),
           static_cast<unsigned long>(ctx->info.size), escape_log_text(ctx->info.md5).c_str());
    return ctx;
}

cache_t::file_ptr cache_t::file_ctx_t::create_not_existent(const tree_ptr& tree, const std::string& dir,
                                                           const file_info_t& info) {
    file_ptr ctx(new file_ctx_t(tree));
    ctx->path = build_path(dir, info);
    ctx->info = info;
    ctx->state = not_existent;
    LOG_AT(LOG_LEVEL_TRACE3, "[Repo] File context created for %s - %lu - %s", escape_log_text(info.name).c_str(),
           static_cast<unsigned long>(info.size), escape_log_text(info.md5).c_str());
    return ctx;
}

cache_t::file_ptr cache_t::file_ctx_t::create_hardlinked(const tree_ptr& tree, const std::string& dir,
                                                         const file_ptr& source, dir_cache_t& from_dirs,
                                                         dir_cache_t& to_dirs) {
    file_ptr ctx(new file_ctx_t(tree));
    // Rebuilt rather than copied from the source's leaf: for names with more
    // than one '/' the leaf alone would lose the subdirectory.
    ctx->path = build_path(dir, source->info);
    LOG_AT(LOG_LEVEL_DEBUG3, "[Repo] Create hardlink file context from %s to %s", escape_log_text(source->path).c_str(),
           escape_log_text(ctx->path).c_str());
    std::string from_leaf, leaf;
    const int from = from_dirs.parent(*tree, source->path, false, from_leaf);
    struct stat st;
    if (from < 0 || ::fstatat(from, from_leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        !tree_t::cache_owned(st)) {
        // Gone, or not the cache's own any more: the source is downloaded
        // again when asked for, and the new revision downloads its own.
        source->set_back(from, from_leaf);
        return file_ptr();
    }
    // Changed in place since it was stored: never linked, downloaded anew.
    const file_stamp_t was = source->stamp();
    if (!was.same_content(st)) {
        if (source->turn_back()) source->say_changed();
        return file_ptr();
    }
    const int to = to_dirs.parent(*tree, ctx->path, true, leaf);
    // Linked beside the final name, then renamed over it: a stale file left
    // at the final path (one not loaded because its name does not read back)
    // is replaced instead of failing the whole announcement.
    const std::string temp = leaf + "~";
    // A stale temporary name is unlinked as it is (a link itself, never
    // what it points at); only what unlink cannot take needs clearing.
    if (::unlinkat(to, temp.c_str(), 0) != 0 && errno != ENOENT) tree_t::remove_leftover(to, temp, ctx->temp_path());
    tree_t::clear_for_file(to, leaf, ctx->path);
    // Taken as the new name's stamp when the source was vouched for; else
    // the new file keeps the old stamp, and its content is hashed again
    // before it is first served.
    ctx->stamp_ = was;
    int linked = 0, renamed = 0;  // 0 or the errno
    bool same = false;
    {
        // The link and the rename move the change time of every name of the
        // file: recorded as the cache's own before any reply can judge it.
        own_changes_t::change_t change(tree->own_changes());
        const bool vouched =
            ::fstatat(from, from_leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && change.vouched(was, st);
        if (::linkat(from, from_leaf.c_str(), to, temp.c_str(), 0) != 0) {
            linked = errno;
        } else if (::renameat(to, temp.c_str(), to, leaf.c_str()) != 0) {
            renamed = errno;
            ::unlinkat(to, temp.c_str(), 0);
            if (::fstatat(from, from_leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) change.done(st, vouched);
        } else if (::fstatat(to, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            same = vouched && was.same_content(st);
            change.done(st, same);
            if (same) ctx->stamp_ = file_stamp_t::of(st);
        }
    }
    if (linked == ENOENT) {  // removed since it was examined
        source->set_back(from, from_leaf);
        return file_ptr();
    }
    if (linked)
        D_THROW(io_error_exception, "cannot link %s to %s: %s", escape_log_text(source->path).c_str(),
                escape_log_text(ctx->temp_path()).c_str(), strerror(linked));
    if (renamed)
        D_THROW(io_error_exception, "cannot rename %s to %s: %s", escape_log_text(ctx->temp_path()).c_str(),
                escape_log_text(ctx->path).c_str(), strerror(renamed));
    if (same) source->restamp(was, st);
    // Mapped on first use, like a loaded file: an announcement of thousands
    // of files maps none of them.
    ctx->last_use_ = now();
    ctx->info = source->info;
    ctx->state = ready;
    LOG_AT(LOG_LEVEL_TRACE3, "[Repo] File context created for %s - %lu - %s", escape_log_text(ctx->info.name).c_str(),
           static_cast<unsigned long>(ctx->info.size), escape_log_text(ctx->info.md5).c_str());
    return ctx;
}

cache_t::file_ctx_t::~file_ctx_t() {
    close_temp();
    mapping_budget_t::global().forget(*this);
}

void cache_t::file_ctx_t::download_started(uint64_t owner) {
    std::lock_guard<std::mutex> lock(download_mutex_);
    // The temporary file of a download given up is this one's no more.
    drop_temp();
    md5_.init();
    written_ = 0;
    owner_ = owner;
    state = in_download;
    LOG_AT(LOG_LEVEL_DEBUG3, "[Repo] File %s turned to in_download state", escape_log_text(info.name).c_str());
}

bool cache_t::file_ctx_t::downloaded_by(uint64_t owner) const {
    std::lock_guard<std::mutex> lock(download_mutex_);
    return owner_ == owner && state == in_download;
}

uint32_t cache_t::file_ctx_t::remaining() const {
    std::lock_guard<std::mutex> lock(download_mutex_);
    return temp_ ? static_cast<uint32_t>(info.size - written_) : info.size;
}

void cache_t::file_ctx_t::open_temp() {
    dir_ = tree_->open_parent(path, true, leaf_);
    const std::string temp = leaf_ + "~";
    // A temporary file left behind is removed, never opened: it may be a
    // link planted to have this download write elsewhere.
    tree_t::remove_leftover(dir_.get(), temp, temp_path());
    int fd = ::openat(dir_.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    // A name taken again since it was cleared is another process in this
    // file's way, not a fault of the reply: it fails only this file.
    if (fd < 0 && errno == EEXIST)
        D_THROW(obstruction_error, "cannot create %s: %s", escape_log_text(temp_path()).c_str(), strerror(errno));
    if (fd < 0) D_THROW(io_error_exception, "cannot create %s: %s", escape_log_text(temp_path()).c_str(), strerror(errno));
    temp_ = fdopen(fd, "wb");
    if (!temp_) {
        int error = errno;
        ::close(fd);
        ::unlinkat(dir_.get(), temp.c_str(), 0);
        D_THROW(io_error_exception, "cannot create %s: %s", escape_log_text(temp_path()).c_str(), strerror(error));
    }
    written_ = 0;
}

int cache_t::file_ctx_t::drop_temp() {
    close_temp();
    int failed = 0;
    if (dir_ && ::unlinkat(dir_.get(), (leaf_ + "~").c_str(), 0) != 0 && errno != ENOENT) failed = errno;
    dir_.reset();
    return failed;
}

void cache_t::file_ctx_t::write(uint64_t owner, const char* data, size_t length) {
    std::lock_guard<std::mutex> lock(download_mutex_);
    // A download that failed or was cancelled has no say any more: the file
    // may be another download's by now.
    if (owner_ != owner || state != in_download)
        D_THROW(cache_error, "file %s is no longer downloaded by this reply", escape_log_text(info.name).c_str());
    try {
        if (!temp_) open_temp();
        if (info.size == 0) {
            // No byte to verify, but the md5 text still has to be that of no bytes.
            if (info.md5 != empty_md5)
                D_THROW(cache_error, "downloaded file has wrong md5 %s, expected %s", empty_md5,
                        escape_log_text(info.md5).c_str());
            finish();
            return;
        }
        if (fwrite(data, 1, length, temp_) != length)
            D_THROW(io_error_exception, "cannot write %s: %s", escape_log_text(temp_path()).c_str(), strerror(errno));
        md5_.update(length, data);
        written_ += length;
        if (written_ != info.size) return;
        md5_.final();
        if (info.md5 != md5_.hex())
            D_THROW(cache_error, "downloaded file has wrong md5 %s, expected %s", md5_.hex(),
                    escape_log_text(info.md5).c_str());
        finish();
        LOG_AT(LOG_LEVEL_DEBUG3, "[Repo] File %s has completely downloaded and turned to ready state",
               escape_log_text(info.name).c_str());
    } catch (...) {
        drop_temp();
        owner_ = 0;
        // Last: the cache may start the next download as soon as it sees this.
        state = not_existent;
        LOG_AT(LOG_LEVEL_DEBUG3, "[Repo] File %s has canceled download due to exception",
               escape_log_text(info.name).c_str());
        throw;
    }
}

void cache_t::file_ctx_t::finish() {
    // A full disk shows only when the buffered bytes are flushed: check the close.
    FILE* f = temp_;
    temp_ = nullptr;
    if (fclose(f) != 0)
        D_THROW(io_error_exception, "cannot write %s: %s", escape_log_text(temp_path()).c_str(), strerror(errno));
    // rename(2) replaces a file left at the final path (a damaged stored file,
    // or one stored under a name that does not read back): the new content is
    // verified, the old one would block this file for good. Anything else
    // there (a directory, a link) would block it as well: it is removed. No
    // other file of the revision shares this path: announcements that would
    // are refused. Nor is it written where a reload set aside what it could
    // not look through since the download began.
    tree_->keep_unseen_file(path);
    tree_t::clear_for_file(dir_.get(), leaf_, path);
    if (::renameat(dir_.get(), (leaf_ + "~").c_str(), dir_.get(), leaf_.c_str()) != 0)
        D_THROW(obstruction_error, "cannot rename %s to %s: %s", escape_log_text(temp_path()).c_str(),
                escape_log_text(path).c_str(), strerror(errno));
    // After the rename, which moves the change time; on the directory held
    // since the temporary file was made. Without it the file fails its
    // first examination and is downloaded again.
    struct stat st;
    const bool seen = ::fstatat(dir_.get(), leaf_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    stamp_ = seen ? file_stamp_t::of(st) : file_stamp_t();
    dir_.reset();
    owner_ = 0;
    // A new revision's identical file is linked from this one once it is
    // ready. Indexed first: the cleaner, which leaves a file in download
    // alone, takes out of the index every file it finds ready.
    tree_->links().add(shared_from_this());
    state = ready;
}

void cache_t::file_ctx_t::close_temp() {
    if (temp_) fclose(temp_);
    temp_ = nullptr;
}

bool cache_t::file_ctx_t::download_cancelled(uint64_t owner) {
    std::lock_guard<std::mutex> lock(download_mutex_);
    if (owner_ != owner || state != in_download) return false;
    std::string temp = temp_path();
    int failed = drop_temp();
    owner_ = 0;
    state = not_existent;
    LOG_AT(LOG_LEVEL_DEBUG3, "[Repo] File %s has canceled download", escape_log_text(info.name).c_str());
    if (failed)
        D_THROW(cache_error, "cannot delete %s, because of %s", escape_log_text(temp).c_str(), strerror(failed));
    return true;
}

mapping_ptr cache_t::file_ctx_t::map() { return mapping_budget_t::global().bytes(*this); }

void cache_t::file_ctx_t::unmap_if_unused(boost::posix_time::time_duration span) {
    mapping_budget_t::global().unmap_if_unused(*this, span);
}

bool cache_t::file_ctx_t::remove() {
    const file_stamp_t was = stamp();
    std::string leaf;
    fd_t dir = tree_->open_parent(path, false, leaf);
    // No directory of the cache there: no file of it either.
    if (!dir) {
        tree_->own_changes().forget(was.dev, was.ino);
        return true;
    }
    // Held open across the unlink: the status it leaves the file's other
    // names is read on it.
    fd_t fd(::openat(dir.get(), leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    int removed = 0;  // 0 or the errno
    {
        own_changes_t::change_t change(tree_->own_changes());
        struct stat st;
        const bool vouched = fd && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && change.vouched(was, st);
        if (::unlinkat(dir.get(), leaf.c_str(), 0) != 0) removed = errno;
        if (fd && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)) change.done(st, vouched);
    }
    if (!removed) {
        LOG_AT(LOG_LEVEL_TRACE3, "[Repo] File %s was removed", escape_log_text(path).c_str());
        return true;
    }
    if (removed == ENOENT) {
        tree_->own_changes().forget(was.dev, was.ino);
        return true;
    }
    std::string text = "[Repo] File " + escape_log_text(path) + " was not removed because of " + strerror(removed);
    pretty_print_exception(LOG_LEVEL_TRACE3, text.c_str(), nullptr, nullptr);
    return false;
}

mapping_ptr cache_t::file_ctx_t::read_bytes(bool copy) {
    // One call on the usual path; the directory is opened only to clear the way.
    struct stat st;
    found_t found;
    fd_t fd = examine_stored(found, st, reading_t());
    if (found == found_t::same) return boost::make_shared<const mapped_file_t>(fd.release(), st, path, copy);
    if (found == found_t::unknown || found == found_t::unreadable)
        D_THROW(io_error_exception, "cannot open %s: %s", escape_log_text(path).c_str(), strerror(errno));
    if (found == found_t::unread) throw_unread();
    if (found == found_t::changed)
        D_THROW(io_error_exception, "%s changed on disk: it is not served, and is downloaded again",
                escape_log_text(path).c_str());
    if (found == found_t::gone) {
        // Rarely alone: an administrator removes a revision or many files
        // at once, and a reply that came upon each of them in turn would
        // cost its agent one broken reply per file.
        log_failure(LOG_LEVEL_ERROR, "[Repo] Examining the other files of a revision failed because of %s",
                    [&] { set_back_gone_siblings(); });
        D_THROW(io_error_exception, "cannot open %s: %s", escape_log_text(path).c_str(), strerror(ENOENT));
    }
    D_THROW(io_error_exception, "%s is not a file of the cache: it is not served, and is downloaded again",
            escape_log_text(path).c_str());
}

bool cache_t::file_ctx_t::set_back(int dir, const std::string& leaf) {
    // Examined before the state changes, so that the one WARNING says what
    // was found; only the caller that turns the file back logs it.
    struct stat st;
    blocker_t blocked;
    bool gone = false;
    if (dir >= 0) {
        gone = ::fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
    } else {
        blocked = blocker();
        gone = !blocked.kind;
    }
    if (!turn_back()) return gone;
    log_failure(LOG_LEVEL_ERROR, "[Repo] Cannot clear the way for a file of the cache because of %s", [&] {
        if (gone)
            say_gone();
        else if (dir >= 0)
            tree_t::clear_for_file(dir, leaf, path);
        else if (blocked.link)
            LOG_AT(LOG_LEVEL_WARNING, "[Repo] File %s is reached through a symbolic link: not served",
                   escape_log_text(path).c_str());
        else
            LOG_AT(LOG_LEVEL_WARNING, "[Repo] File %s lies below %s \"%s\" where the cache keeps a directory: not served",
                   escape_log_text(path).c_str(), blocked.kind, escape_log_text(blocked.path).c_str());
    });
    return gone;
}

bool cache_t::file_ctx_t::turn_back() {
    file_stamp_t found;
    {
        std::lock_guard<std::mutex> lock(download_mutex_);
        // A download that took the file over meanwhile writes it anew;
        // another reply that found it first has said so already.
        if (state != ready) return false;
        // First: a cache that sees the file missing sees it lost as well.
        int32_t was = loss.load();
        while (!loss.compare_exchange_weak(was, was == refetched ? lost_again : lost)) {
        }
        state = not_existent;
        found = stamp_;
    }
    // What the cache's own changes left of it says nothing any more, and
    // no new revision links it.
    if (found.size >= 0) tree_->own_changes().forget(found.dev, found.ino);
    tree_->links().remove(*this);
    // A mapping of the old copy would outlive it in memory for nothing.
    mapping_budget_t::global().forget(*this);
    return true;
}

void cache_t::file_ctx_t::served_whole() {
    int32_t fetched = refetched;
    if (loss.compare_exchange_strong(fetched, kept) && revision_) revision_->served_after_loss();
}

void cache_t::file_ctx_t::say_unreadable(const std::string& path, int error) {
    LOG_AT(LOG_LEVEL_WARNING, "[Repo] File %s cannot be read: it is downloaded again because of %s",
           escape_log_text(path).c_str(), strerror(error));
}

void cache_t::file_ctx_t::say_gone() const {
    LOG_AT(LOG_LEVEL_WARNING, "[Repo] File %s is gone from the disk: it is downloaded again",
           escape_log_text(path).c_str());
}

void cache_t::file_ctx_t::set_back_gone_siblings() const {
    if (!revision_) return;
    std::vector<file_ptr> ready = revision_->ready_files();
    if (ready.empty()) return;
    const std::string& top = revision_->dir();
    // A directory gone takes all its files along: nothing left to examine.
    fd_t dir = tree_->open_dir(top, false);
    if (!dir && errno != ENOENT) return;  // not the cache's own: each file says so when it is served
    for (const file_ptr& file : ready) {
        const std::string& p = file->path;
        if (p.size() <= top.size() + 1 || p[top.size()] != '/' || p.compare(0, top.size(), top) != 0) continue;
        // Only a file that is not there at all counts: whatever else stands
        // at its place is named when a reply reaches it.
        struct stat st;
        if (dir && (::fstatat(dir.get(), p.c_str() + top.size() + 1, &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT))
            continue;
        if (file->turn_back()) file->say_gone();
    }
}

void revision_files_t::add(const boost::shared_ptr<revision_files_t>& revision, const cache_t::file_ptr& file) {
    file->revision_ = revision;
    std::lock_guard<std::mutex> lock(revision->mutex_);
    revision->files_.push_back(file);
}

void revision_files_t::retire() {
    std::lock_guard<std::mutex> lock(mutex_);
    retired_ = true;
    files_.clear();
}

std::vector<cache_t::file_ptr> revision_files_t::ready_files() {
    std::vector<cache_t::file_ptr> ready;
    std::lock_guard<std::mutex> lock(mutex_);
    if (retired_) return ready;
    for (const boost::weak_ptr<cache_t::file_ctx_t>& weak : files_) {
        cache_t::file_ptr file = weak.lock();
        if (file && file->get_state() == cache_t::file_ctx_t::ready) ready.push_back(file);
    }
    return ready;
}

cache_t::file_ctx_t::blocker_t cache_t::file_ctx_t::blocker() const {
    // Walked again only on this rare path, so that the WARNING can name it.
    const std::string rel = tree_->relative(path);
    const std::string top = path.substr(0, path.size() - rel.size());
    fd_t current = tree_->open_dir(tree_->root(), false);
    for (size_t start = 0, slash; current && (slash = rel.find('/', start)) != std::string::npos; start = slash + 1) {
        const std::string name = rel.substr(start, slash - start);
        struct stat st;
        if (name.empty()) continue;
        if (::fstatat(current.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) break;
        if (!S_ISDIR(st.st_mode) || !tree_t::cache_owned(st))
            return blocker_t{tree_t::kind_of(st), S_ISLNK(st.st_mode), top + rel.substr(0, slash)};
        current = fd_t(::openat(current.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return blocker_t();
}

}  // namespace cache
