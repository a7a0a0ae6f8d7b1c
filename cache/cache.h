// The update cache as the rest of the proxy sees it: announced file lists are
// merged into the on-disk repository, agents' update requests are answered
// from memory-mapped files, and files that are missing are downloaded once
// for every agent that waits for them.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/scoped_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>

#include "io/pool.h"
#include "io/request_queue.h"
#include "oslayer/_kern.h"
#include "oslayer/syncers.h"

namespace srv_side {
class download_context_t;
}

namespace cache {

/// Revision number; plain decimal in directory names and commands.
typedef uint64_t rev_t;

/// One announced update file; two infos are the same file when all three fields are equal.
struct file_info_t {
    std::string name;
    uint32_t size = 0;
    /// 32 lower-case hexadecimal digits, compared as exact text.
    std::string md5;
};
bool operator==(const file_info_t& a, const file_info_t& b);

/// Key of one announced file list.
struct repo_key_t {
    std::string name;
    rev_t rev = 0;
    std::string platform;
};
bool operator==(const repo_key_t& a, const repo_key_t& b);

/// The error the update cache raises.
D_DECLARE_EXCEPTION(cache_error, d_exception_t, d_exception_t_shell_t);
/// An update request that no announced list matches (a key not announced, a
/// mask of another length): only the requester asking again can change that.
D_DECLARE_EXCEPTION(unmatched_request_error, cache_error, cache_error_shell_t);

/// The whole content of a file, read-only: mapped, or for a small file that
/// is not to take a mapping, read into memory. Unlike a boost mapped_file it
/// keeps no descriptor open once made: a cache of tens of thousands of files
/// would otherwise hold as many descriptors and starve the connections.
class mapped_file_t : public virtual noncopyable_t {
public:
    /// Maps the open regular file `fd` of status `st` (or reads it when
    /// `copy`), and closes it; an empty file maps to nothing. Raises
    /// io_error_exception_shell_t naming the file (`path`) and the system's reason.
    mapped_file_t(int fd, const struct stat& st, const std::string& path, bool copy = false);
    ~mapped_file_t();
    const char* data() const { return data_; }
    size_t size() const { return size_; }
    /// True when the bytes take a memory mapping (false for a copy).
    bool mapped() const { return data_ && !copied_; }

private:
    void read_all(int fd, const std::string& path);

    const char* data_ = nullptr;
    size_t size_ = 0;
    bool copied_ = false;
};
typedef boost::shared_ptr<const mapped_file_t> mapping_ptr;

class cache_events_t;
class served_file_t;
class tree_t;

/// The update cache of one configuration pass.
class cache_t : public virtual noncopyable_t {
public:
    class file_ctx_t;
    class repo_t;
    class download_context_t;
    typedef boost::shared_ptr<file_ctx_t> file_ptr;
    typedef std::vector<file_ptr> file_list_t;
    /// One list as a connection relayed it to its agent: what that agent's
    /// requests are matched against and downloaded by, whatever another
    /// server announced for the same revision since.
    class announced_t;
    typedef boost::shared_ptr<const announced_t> announced_ptr;
    /// The newest revisions of a repository the cache keeps; older ones are cleaned.
    static constexpr size_t kept_revisions = 3;

    /// One agent request that waits for files.
    struct update_request_t {
        repo_key_t key;
        std::vector<char> mask;
        /// The key's list as it was when the request came.
        file_list_t files;
        boost::weak_ptr<cache_events_t> requester;
        /// The requester's own number of the request, handed back with its answer.
        uint32_t number = 0;
        bool served = false;
        bool finished() const { return served || requester.expired(); }
    };

    /// Checks the root (cache_error when refused), loads the tree under it
    /// and starts both timers; load errors pass out. One cache per root in
    /// the process: while the cache of an earlier configuration pass lives
    /// on (its connections or downloads still hold it), that one is handed
    /// out again, timers, service and all, so that no two downloads ever
    /// write one file. Its tree is then looked through again as a load
    /// looks (see look_again).
    static boost::shared_ptr<cache_t> create(boost::asio::io_service& service, const std::string& root,
                                             boost::posix_time::time_duration unload_period,
                                             boost::posix_time::time_duration clean_period);
    ~cache_t();

    /// Replaces the key's list by an announcement and returns that list, for
    /// the connection that relays it (see cache_events_t::relayed). The files
    /// of lists announced before stay in the revision: two servers'
    /// announcements of one revision share the cache, each file under its
    /// own md5. Raises cache_error for a list that cannot be stored.
    announced_ptr merge(const repo_key_t& key, const std::vector<file_info_t>& files);
    /// Serves the request at once when every requested file is ready, else
    /// queues it and starts a download of the files nobody fetches yet. The
    /// request is matched against the list its requester's connection
    /// relayed (cache_events_t::relayed), or where it relayed none, against
    /// the key's list while the cache holds no other. A key never announced
    /// since the load, a list the requester's connection relayed and no
    /// longer keeps, and a key of two different lists none of which it
    /// relayed, have an empty list and create nothing: a mask that does not
    /// fit the list raises unmatched_request_error.
    /// Each request waits on its own and is answered with its `number`; only a
    /// repeat of one requester's request (same key, same number) replaces the
    /// waiting one. A requester with `waiting_per_requester` requests waiting
    /// has a further one that must wait refused (update_failed).
    /// A request that can never be answered (its revision was cleaned, or
    /// it asks for a file refused at its announcement) ends at once through
    /// the requester's update_failed.
    void request_update(const repo_key_t& key, const std::vector<char>& mask,
                        const boost::weak_ptr<cache_events_t>& requester, uint32_t number = 0);
    /// Re-examines the requests that waited for a download of `key` that ended.
    void process_update_requests(const repo_key_t& key);
    /// The requester's server has settled whether it takes downloads (its
    /// negotiation ended, or it turned raw or went first): its waiting
    /// requests are examined again and start what they still need, or fail.
    void requester_ready(const boost::weak_ptr<cache_events_t>& requester);

    /// How a download ended.
    enum class download_end_t {
        completed,
        /// Files were left unfinished: the server is asked again only after a delay.
        failed,
        /// Its connection dropped it unsent, or withdrew it (its pair turned
        /// raw, or ended because its agent went): another requester takes
        /// it over at once.
        dropped,
    };
    /// Called when a download ended, by a handler of the I/O service; serves
    /// the requests that waited for it again. After a download that left files unfinished, new downloads
    /// of that revision wait a delay that grows with every failure in a row
    /// (1 s, doubling, at most 60 s), so a failing server is not asked again
    /// in a tight loop. A dropped download is no failure of the server's.
    /// Once downloads of a revision failed `failed_downloads_limit` times in
    /// a row, every failure ends the requests waiting for its missing files
    /// (update_failed), so that they do not hold their agents or the revision.
    /// A completed download that fetched files again after they were lost
    /// (`after_loss`) leaves the count as it is: the count starts anew once
    /// such a file is served whole, and a file lost again before that counts
    /// on towards the limit (see lost_files_wait).
    void download_ended(const repo_key_t& key, download_end_t end, bool after_loss = false);

    /// Failed downloads of one revision in a row after which the requests
    /// that wait for it end (default 5, after 1 + 2 + 4 + 8 s of delays): a
    /// server that no longer delivers a revision must not keep its agents
    /// waiting for ever, nor the revision from the cleaner. Files lost
    /// again before they could be served count as well (lost_files_wait).
    static unsigned failed_downloads_limit;

    /// How many requests of one requester may wait at once (default 64): an
    /// agent that keeps asking for files that do not come must not grow the
    /// daemon without end.
    static size_t waiting_per_requester;

    /// Takes every waiting request of `requester` out: none is answered
    /// and none starts a download (one running for others goes on).
    void withdraw_requests(const boost::weak_ptr<cache_events_t>& requester);
    /// True while a request of `requester` waits unanswered.
    bool request_waits(const boost::weak_ptr<cache_events_t>& requester);
    /// Requests still in the pending list (finished ones included until the
    /// next re-examination).
    size_t pending_requests();
    const std::string& root() const { return root_; }
    const boost::shared_ptr<const tree_t>& tree() const { return tree_; }
    boost::asio::io_service& service() { return service_; }

private:
    cache_t(boost::asio::io_service& service, const boost::shared_ptr<const tree_t>& tree,
            boost::posix_time::time_duration unload_period, boost::posix_time::time_duration clean_period);

    typedef std::list<update_request_t>::iterator position_t;

    /// A reload goes on with this cache: its tree is scanned again, with the
    /// same refusals as a load's; what cannot be looked through any more is
    /// set aside with its WARNING, and what the previous load could not look
    /// through and this scan can is loaded. The scan and the hashing of the
    /// stored files found run outside the cache's lock; the cleaner waits
    /// meanwhile, since a revision it removed under the scan would be taken
    /// for a directory moved, refusing the root.
    void look_again();
    /// Under the lock: the files loaded again are in, the cleaner goes on.
    void end_look();
    /// Removes the revisions the cache no longer keeps.
    void clean_locked();

    /// The list the requester's connection relayed for the key (see
    /// cache_events_t::relayed), while its revision is held; where it relayed
    /// none, the key's list while the cache holds no other; else empty.
    /// Looked up, never created: a request for a key never announced leaves
    /// no directory, entity or list behind.
    file_list_t relayed_files(const repo_key_t& key, const cache_events_t& events);
    /// Files set back since they were stored (removed by another download
    /// or from outside, or changed) are no failed download, but they must
    /// not be fetched in a loop either. A loss counts once, with the delay
    /// of one failure, however many files and requests it takes, and not
    /// while the revision's count stands already (its delay then holds the
    /// download, or has passed); a file lost again before it could be
    /// served whole counts each time, and ends its requests at the limit.
    /// True when the download waits.
    bool lost_files_wait(const repo_key_t& key, const file_list_t& needed);
    /// What a revision's count of setbacks in a row counts.
    enum class setback_t { failed, lost };
    /// Counts a setback of the key's revision and delays its next download.
    void note_failure(const repo_key_t& key, setback_t what = setback_t::failed);
    /// The key's count of setbacks in a row; 0 once a file of the revision
    /// fetched after a loss was served whole since.
    unsigned failures_in_a_row(const repo_key_t& key);
    /// A download of the key's revision ended; its end is counted later (download_ended).
    void download_ending(const repo_key_t& key);
    /// True while a download of the key's revision ended uncounted.
    bool download_end_uncounted(const repo_key_t& key) const;
    /// Answers the request against `files`, the list it was made for, or
    /// queues it and starts what downloads it still needs.
    void serve_update_request(const repo_key_t& key, const file_list_t& files, const std::vector<char>& mask,
                              const boost::weak_ptr<cache_events_t>& requester, uint32_t number,
                              position_t position, bool may_download);
    /// True when the requester has as many requests waiting as it may.
    bool waiting_full(const boost::weak_ptr<cache_events_t>& requester);
    /// Starts the download of `needed` through the key's current list; false
    /// when one of them is no longer in it.
    bool start_download(const repo_key_t& key, const file_list_t& needed, cache_events_t& events);
    /// Logs why a waiting request ends unanswered and tells its requester.
    void end_request(update_request_t& request, const std::string& reason);
    void process_locked(const repo_key_t& key);
    /// process_locked once for each revision (name and number) among `keys`.
    void process_revisions_locked(const std::vector<repo_key_t>& keys);
    /// Fails the waiting requests of the key's revision whose missing files
    /// no download fetches.
    void fail_orphans(const repo_key_t& key);
    /// Ends the waiting requests of the key's revision whose missing files no
    /// download fetches, its downloads having failed (or its files been
    /// lost) `failures` times in a row.
    void give_up(const repo_key_t& key, unsigned failures, setback_t last);
    /// True while failed downloads of the key's revision hold new ones back.
    bool retry_delayed(const repo_key_t& key);
    void start_timer(boost::asio::deadline_timer& timer, boost::posix_time::time_duration period,
                     void (cache_t::*handler)());
    void on_unload_timer();
    void on_clean_timer();
    void on_retry_timer(const repo_key_t& key);
    /// A ready file whose change time alone moved, before a reply: true
    /// when it may be served now. Else it is set back, or its content is
    /// read on the checking thread (start_check) while the request waits.
    bool examine_before_reply(const repo_key_t& key, const file_ptr& file);
    /// Has the content of `file` read on the cache's checking thread: only
    /// the requests for it wait, as for a download, and those of `key`'s
    /// revision are examined again when the check ends.
    void start_check(const repo_key_t& key, const file_ptr& file);
    /// On the I/O service: the files whose checks ended are served, or set
    /// back for their download, through their revisions' waiting requests.
    void checks_ended();
    /// Ends the checking thread, a reading under way included.
    void stop_checks();

    /// Consecutive failed downloads of one revision and when to try again.
    struct retry_t {
        unsigned failures = 0;
        boost::posix_time::ptime not_before;
        boost::shared_ptr<boost::asio::deadline_timer> timer;
    };
    typedef std::pair<std::string, rev_t> revision_id_t;

    boost::weak_ptr<cache_t> self_;
    boost::asio::io_service& service_;
    std::string root_;
    boost::shared_ptr<const tree_t> tree_;
    boost::shared_ptr<repo_t> repo_;
    std::list<update_request_t> pending_;
    mutex_t mutex_;
    boost::posix_time::time_duration unload_period_;
    boost::posix_time::time_duration clean_period_;
    boost::asio::deadline_timer unload_timer_;
    boost::asio::deadline_timer clean_timer_;
    std::map<revision_id_t, retry_t> retries_;
    /// A reload looks through the tree (look_again), and the cleaner's turn
    /// that came meanwhile; both under `mutex_`.
    bool looking_ = false;
    bool clean_skipped_ = false;
    /// Revisions with a download that ended but whose end download_ended has
    /// not yet counted, once each: a download's last owner may drop it, and
    /// go on to judge the waiting requests, before its failure is counted
    /// and its retry set, and a request would then look as if nobody could
    /// ever fetch its files. Under `ending_mutex_` alone, since a download
    /// may end with `mutex_` held or not.
    std::multiset<revision_id_t> ending_;
    mutable boost::mutex ending_mutex_;
    /// The checks that ended, handed from the checking thread to the I/O service.
    struct checks_t;
    boost::shared_ptr<checks_t> checks_;
    /// Reads stored files whose change time alone moved, made at the first
    /// such file: a file of gigabytes takes seconds to hash, and no lock
    /// that replies, downloads or new connections need is held meanwhile.
    boost::scoped_ptr<io::pool> checker_;
};

/// A ready file as a requester receives it: its size at once, its bytes only
/// when a reply reaches them. A reply of any number of files so holds only
/// the few mappings its connection is sending at the time, and the cache's
/// own mappings stay within its budget.
class served_file_t {
public:
    explicit served_file_t(const cache_t::file_ptr& file) : file_(file) {}
    /// The announced size, which the bytes are checked against.
    uint32_t size() const;
    /// The bytes now, within the process's mapping budget; hold them only
    /// while they are sent.
    /// A file gone, unreadable or changed on disk raises io_error_exception.
    mapping_ptr bytes() const;
    /// One request whose bytes are taken (`bytes`) when the connection first
    /// asks for them and let go when it is released. Its failure to take them
    /// raises from the connection's send, which then ends that connection:
    /// the command's size has been announced, and the agent must see a
    /// broken reply end rather than a wrong file.
    io::request_queue request() const;
    /// Fetched again after a loss and not yet sent whole by any reply.
    bool refetched() const;
    /// The agent says it has the whole file: as when a reply is sent whole.
    /// A send's own completion may come after the agent's next request,
    /// which must find the file kept.
    void received() const;

private:
    friend class file_request_t;
    cache_t::file_ptr file_;
};

/// The requester: receives ready files or a download it must send upstream.
/// Every call comes with the cache's mutex held: never call back into the
/// cache on the same thread.
class cache_events_t {
public:
    virtual ~cache_events_t();
    /// The files of the request numbered `request`, in the order of its list.
    virtual void files_ready(uint32_t request, const std::vector<served_file_t>& files) = 0;
    /// A download of missing files to send to the requester's server.
    virtual void download_needed(const boost::shared_ptr<srv_side::download_context_t>& download) = 0;
    /// False while the requester's server cannot send a download (not yet
    /// negotiated, raw, gone) or cannot be trusted with one (one of its
    /// downloads stalled): the files then come through another requester's
    /// server. A download handed over anyway may be dropped unsent.
    virtual bool can_download() const { return true; }
    /// True while the requester's server cannot send a download yet but may
    /// once its negotiation ends: its requests then wait rather than fail for
    /// want of a server, until it calls cache_t::requester_ready.
    virtual bool can_download_later() const { return false; }
    /// The request numbered `request` cannot be served (reason given); the
    /// requester must answer or drop its agent, which would otherwise wait
    /// for ever.
    virtual void update_failed(uint32_t request, const std::string& reason) = 0;
    /// The list the requester's connection last relayed to its agent for
    /// `key`: requests are matched against it, and downloads through this
    /// requester's server ask for it, never for another server's. Null when
    /// the connection relayed one and no longer keeps it (the cache refused
    /// it, or the connection let it go): its requests are refused. False
    /// when it relayed none (or keeps no lists of its own): the key's list
    /// is taken while the cache holds no other.
    virtual bool relayed(const repo_key_t& key, cache_t::announced_ptr& list) const;
};

}  // namespace cache
