// The in-memory handle of one update file of the cache: what was announced
// for it, where it lives, whether its content is there, the download that
// fills it, and the read-only mapping through which agents are served.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <list>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>

#include "cache/cache.h"
#include "cache/cache_tree.h"
#include "cache/file_stamp.h"
#include "oslayer/md5.h"

namespace cache {

/// True for the errors of opening a stored file that say something else,
/// or nothing, stands at its place or on its way.
bool not_there(int error);

/// A name or md5 text for a log line or an error: escaped, and a long one cut, with its length.
std::string shown_text(const std::string& text);

/// The files of one revision directory, as each of them reaches the others
/// without the cache's lock: a reply that finds one file gone from the disk
/// has the rest examined at once, so that an agent asking for a revision an
/// administrator removed is broken off once, not once for every file.
class revision_files_t : public virtual noncopyable_t {
public:
    /// `dir` is the revision's directory, the one its files' paths begin with.
    explicit revision_files_t(const std::string& dir) : dir_(dir) {}
    /// `file` joins `revision`, and keeps it for as long as the file lives.
    static void add(const boost::shared_ptr<revision_files_t>& revision, const cache_t::file_ptr& file);
    /// The revision is cleaned: its files go on purpose, and a reply that
    /// finds one gone examines no other.
    void retire();
    /// The files that are ready now; none once retired.
    std::vector<cache_t::file_ptr> ready_files();
    const std::string& dir() const { return dir_; }
    /// A file fetched again after a loss was served whole: the revision's
    /// count of failures and losses starts anew when the cache next looks.
    void served_after_loss() { served_after_loss_ = true; }
    /// True once after served_after_loss.
    bool take_served_after_loss() { return served_after_loss_.exchange(false); }

private:
    std::mutex mutex_;
    const std::string dir_;
    std::vector<boost::weak_ptr<cache_t::file_ctx_t>> files_;
    bool retired_ = false;
    std::atomic<bool> served_after_loss_{false};
};

class cache_t::file_ctx_t : public virtual noncopyable_t, public boost::enable_shared_from_this<cache_t::file_ctx_t> {
public:
    enum state_t : int32_t { ready = 0, in_download = 1, not_existent = 2 };

    /// dir / leaf, where the leaf is the name with its first '/' turned into
    /// '~' (or '~' put before a name without one), then '~' and the md5 text.
    /// Raises cache_error, after an ERROR line naming the file, for an md5
    /// text that no computed md5 can equal and for a name whose path would
    /// leave `dir` or exceed what the file system stores.
    static std::string build_path(const std::string& dir, const file_info_t& info);
    /// True for the only md5 texts a download can ever match: 32 lower-case hexadecimal digits.
    static bool md5_text_valid(const std::string& md5);
    /// The md5 text of no bytes: the only one a file of size 0 may carry.
    static const char* const empty_md5;
    /// The name the load gives a stored leaf (the path below its revision):
    /// one whose leaf build_path makes again, so that no two leaves read back
    /// as one name. Names that share a leaf, a '~' standing where build_path
    /// puts one, read back as one of them (see stored_name).
    static std::string name_from_leaf(const std::string& leaf);
    /// The md5 text that `leaf` (the path below its revision) ends with, when
    /// it is the leaf build_path gives that md5 and the name the leaf reads
    /// back as; empty for a leaf that follows no layout.
    static std::string layout_md5(const std::string& leaf);
    /// The name the load gives the file build_path stores for `info`: where
    /// it is not info.name, an announcement finds the loaded file under it.
    static std::string stored_name(const file_info_t& info);

    /// A stored file found on disk: ready, its md5 computed from the
    /// content. Empty when what stands at `path` is not a file of the cache
    /// (a link, a file others may write): that is removed with a WARNING;
    /// empty as well when nothing is there any more, and, with one WARNING,
    /// when the file cannot be opened or read: it is left where it is.
    static file_ptr create(const tree_ptr& tree, const std::string& path);
    /// The same for `leaf` in the open directory `dir` (whose path `path` is).
    static file_ptr create(const tree_ptr& tree, int dir, const std::string& leaf, const std::string& path);
    /// An announced file that is not on disk yet.
    static file_ptr create_not_existent(const tree_ptr& tree, const std::string& dir, const file_info_t& info);
    /// A hard link in `dir` to a ready file of another revision; `from` and
    /// `to` keep the directories open for the next link of an announcement.
    /// Empty when the source is gone from the disk or no longer the cache's
    /// own: the source is then set back (see set_back), and the caller
    /// downloads the file instead.
    static file_ptr create_hardlinked(const tree_ptr& tree, const std::string& dir, const file_ptr& source,
                                      dir_cache_t& from, dir_cache_t& to);

    ~file_ctx_t();

    /// The final path with '~' appended: where the download writes.
    std::string temp_path() const { return path + "~"; }
    /// Turns the file in_download for the download `owner` (never 0) and
    /// starts a fresh md5. From then on only that download writes or cancels it.
    void download_started(uint64_t owner);
    /// True while the download `owner` fills the file.
    bool downloaded_by(uint64_t owner) const;
    /// Bytes still expected by the running download.
    uint32_t remaining() const;
    /// Appends bytes of the download `owner`; at the announced size the md5
    /// is checked and the file takes its final name. Any failure turns the
    /// file not_existent, deletes the temporary file and passes the error on.
    /// A download that no longer owns the file raises cache_error and changes nothing.
    void write(uint64_t owner, const char* data, size_t length);
    /// Ends an unfinished download of `owner`: not_existent, temporary file
    /// deleted. Another download's file is left alone; true when cancelled.
    bool download_cancelled(uint64_t owner);
    /// The bytes of a ready file: its shared mapping (made on first use),
    /// within the process's mapping budget; empty when the file is not ready.
    mapping_ptr map();
    /// Drops the context's own mapping when unused for longer than `span`.
    void unmap_if_unused(boost::posix_time::time_duration span);
    /// Deletes the final file; false only when the deletion fails. The change
    /// time this moves on the file's other names is recorded as the cache's own.
    bool remove();
    /// The whole file, opened without following a link or blocking and
    /// examined before it is mapped (or read when `copy`). A file gone from
    /// the disk, changed since it was stored, or what stands there and is
    /// not a file of the cache, is never read: the file is set back (see
    /// set_back) and io_error_exception is raised. A file gone has every other file of
    /// its revision that is gone as well set back with it.
    mapping_ptr read_bytes(bool copy);
    /// Turns a ready file whose stored copy is gone or not the cache's own
    /// any more not_existent, so that the next request downloads it, with
    /// one WARNING that says what was found; an obstruction at the leaf is
    /// removed. `dir` is the open directory of the leaf, or -1 when it could
    /// not be opened. True when nothing stands at the file's place.
    bool set_back(int dir, const std::string& leaf);
    /// Sets back a ready file that a read of it failed for (`error`), with
    /// one WARNING: its requests are served by a new download.
    void set_back_unreadable(int error);
    /// What still_stored found.
    enum class stored_t { yes, no, to_read };
    /// Before a reply: `yes` when the ready file on disk is still the one
    /// the cache stored (one open and one fstat), or cannot be examined now
    /// for want of descriptors or memory (the reply's own read then
    /// decides). Its content is never read here: a file whose change time
    /// alone moved stays ready and is `to_read` by check_content, away from
    /// every lock that replies need. Else the file (one the daemon's user
    /// cannot open as well) is set back, with one WARNING, and `no`: the
    /// request waits for its new download.
    stored_t still_stored();
    /// Examines the stored file as still_stored does, reading it when only
    /// its change time moved; what no longer matches is set back with one
    /// WARNING. Reading ends early, deciding nothing, once `stop` is raised.
    void check_content(const std::atomic<bool>& stop);
    /// The stored file opened for reading, examined as still_stored does; a
    /// file that no longer matches is set back and io_error_exception
    /// raised, as for one whose content is to be read again first.
    fd_t open_stored();
    /// True while what `fd` opened is still the file stored.
    bool unchanged(int fd);
    /// What the cache verified of the stored file (unstamped: size -1).
    file_stamp_t stamp() const;

    int32_t get_state() const { return state.load(); }

    /// Whether the file was lost after it was stored, and where its way back
    /// stands: `lost` when it was set back after a reply had sent it whole
    /// (or it was never lost), `lost_again` when it was fetched again after
    /// a loss and set back before a reply could send it whole (a loop);
    /// `noted` once the cache has seen the loss, `refetched` once a download
    /// fetches it again, and `kept` again once a reply sends it whole.
    enum loss_t : int32_t { kept = 0, lost = 1, noted = 2, refetched = 3, lost_again = 4 };
    /// Set (lost, lost_again) by any thread that sets the file back, and
    /// (kept) by the reply that sends it whole; noted and refetched under
    /// the cache's lock.
    std::atomic<int32_t> loss{kept};
    /// A reply sent the whole file: a file fetched again after a loss is
    /// kept, and its revision's count starts anew.
    void served_whole();

    file_info_t info;
    /// Announced as it can never be downloaded (an empty file with the md5
    /// of something else): a request for it fails, nothing downloads it.
    bool refused = false;
    /// Named by the load from its leaf, and matched by no announcement yet:
    /// any announced name of the same leaf, size and md5 is this file. Read
    /// and changed only under the cache's lock.
    bool named_by_load = false;
    std::atomic<int32_t> state{ready};
    /// Guarded by the mapping budget's lock, like the members it keeps below.
    mapping_ptr mapping;
    /// Guarded by the cache's lock: check_content runs for the file, and
    /// requests for it wait for its end as they wait for a download.
    bool checking = false;
    std::string path;

private:
    friend class mapping_budget_t;
    friend class revision_files_t;
    friend class link_index_t;
    explicit file_ctx_t(const tree_ptr& tree) : tree_(tree) {}
    /// Turns a ready file not_existent and drops its mapping; false when it
    /// was not ready (another caller turned it, or a download took it over).
    bool turn_back();
    /// The WARNING of a stored file at `path` that the daemon's user cannot
    /// open or read (`error`): it is not loaded, or set back.
    static void say_unreadable(const std::string& path, int error);
    /// The WARNING of a file set back because it is gone from the disk.
    void say_gone() const;
    /// The WARNING of a file set back because it changed on disk.
    void say_changed() const;
    /// How a stored file was found when it was opened to be used; `unread`
    /// when only its change time moved and its content was not to be read.
    /// `unreadable` when the daemon's user can no longer open it (errno set).
    enum class found_t { same, changed, gone, foreign, unknown, unread, unreadable };
    /// Whether an examination may read the content, and what ends a reading
    /// early. Only the cache's checking thread reads: a reply's thread serves
    /// many connections, and a file of gigabytes takes seconds to hash.
    struct reading_t {
        bool allowed = false;
        const std::atomic<bool>* stop = nullptr;
    };
    /// Opens the stored file and examines it against the stamp; a file that
    /// is not the same is set back (one WARNING). The descriptor (and `st`)
    /// only when it is the same; `unknown` (errno set) when it could not be
    /// examined at all, `unreadable` (errno set) when it cannot be opened.
    fd_t examine_stored(found_t& found, struct stat& st, const reading_t& reading);
    /// Raises the error of a file to be read again before it is served.
    [[noreturn]] void throw_unread() const;
    enum class match_t { yes, no, unread };
    /// Compares what `fd` opened, of status `st`, with the stamp. When only
    /// the change time moved (a link to the file made or removed, an older
    /// revision cleaned), the content is hashed again, if `reading` allows,
    /// and, when it is still the announced one, the stamp takes the new time.
    match_t matches_stamp(int fd, const struct stat& st, const reading_t& reading);
    /// Takes `st` as the stamp, if the stamp is still `was`.
    void restamp(const file_stamp_t& was, const struct stat& st);
    /// Sets back every ready file of the revision that is gone from the
    /// disk, with one WARNING each: one directory opened, one examination
    /// per file below it.
    void set_back_gone_siblings() const;
    void finish();
    void close_temp();
    void open_temp();
    /// Deletes the temporary file of a download that ends unfinished; 0 or the errno.
    int drop_temp();
    /// What stands where the path needs a directory of the cache.
    struct blocker_t {
        /// For a WARNING ("a named pipe", ...); null when a piece is missing.
        const char* kind = nullptr;
        bool link = false;
        std::string path;
    };
    /// The first piece of the path that is not a directory of the cache.
    blocker_t blocker() const;

    tree_ptr tree_;
    /// Set when the file joins its revision, before any reply can reach it.
    boost::shared_ptr<revision_files_t> revision_;

    // Guards the download's side: its owner, temporary stream and md5. The
    // cache starts downloads under its own mutex while the previous owner's
    // reply may still be writing on another thread.
    mutable std::mutex download_mutex_;
    uint64_t owner_ = 0;
    FILE* temp_ = nullptr;
    /// The directory of the temporary file while it is open: the rename and
    /// the deletion reach it through the same directory, never by path again.
    fd_t dir_;
    /// The final file's name in dir_.
    std::string leaf_;
    uint64_t written_ = 0;
    md5_t md5_;
    /// What was verified when the file was stored or loaded.
    file_stamp_t stamp_;
    boost::posix_time::ptime last_use_;
    /// The file's place in the budget's list while it holds a mapping.
    std::list<file_ctx_t*>::iterator lru_;
    bool listed_ = false;
    /// Its place among the files of its key in the tree's link index, under
    /// that index's lock.
    size_t link_slot_ = 0;
};

}  // namespace cache
