// The cache's view of its directory tree: one entity per (repository name,
// revision) directory with the file contexts found in or announced for it,
// and per platform the file list the server announced last. No lock of its
// own: the cache calls it with its mutex held.
#pragma once

#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>

#include "cache/cache.h"
#include "cache/cache_tree.h"

namespace cache {

class revision_files_t;

/// Hashes and compares the infos a map's keys point at: a stored file's
/// own info is its key, not a copy of it.
struct file_info_hash {
    size_t operator()(const file_info_t* info) const;
};
struct file_info_equal {
    bool operator()(const file_info_t* a, const file_info_t* b) const { return *a == *b; }
};

class cache_t::announced_t {
public:
    announced_t(const file_list_t& files, const boost::shared_ptr<revision_files_t>& revision)
        : files(files), revision(revision) {}
    /// A request's mask indexes it, and so does a download's.
    const file_list_t files;
    /// The revision it was announced for, to tell it from one announced
    /// again after its revision was cleaned.
    const boost::shared_ptr<revision_files_t> revision;
};

class cache_t::repo_t : public virtual noncopyable_t {
public:
    /// One (repository name, revision) directory.
    struct entity_t {
        std::string name;
        rev_t rev = 0;
        /// The lists of one platform: the one announced last, and every list
        /// announced for the key that the cache or a connection still holds,
        /// once each (two servers may announce one revision differently).
        struct lists_t {
            announced_ptr last;
            std::vector<boost::weak_ptr<const announced_t>> held;
        };
        std::unordered_map<std::string, lists_t> platforms;
        /// Every context the entity created or loaded, unique by (name, size,
        /// md5), each under its own info: a key changes only with the
        /// context out of the map.
        typedef std::unordered_map<const file_info_t*, file_ptr, file_info_hash, file_info_equal> files_t;
        files_t files;
        /// The same contexts as each of them reaches the others.
        boost::shared_ptr<revision_files_t> revision;
    };

    /// Loads the tree under the checked root; file-system errors of the root
    /// itself pass out, an entry below it that cannot be loaded is left as
    /// it is with a WARNING.
    /// A tree holding an entry of another user or a revision directory not
    /// named by a number is refused before anything is removed (see
    /// scan_tree). What the scan could not look through is left as it is
    /// with the same WARNING, and no directory that holds it is removed: it
    /// may hide another user's entry. Links where the cache keeps its
    /// directories or files, and its user's directories or files that
    /// others may write, are removed with a WARNING, never followed or
    /// read; what cannot be removed is logged and left.
    explicit repo_t(const boost::shared_ptr<const tree_t>& tree);

    /// Loads one revision directory; one that holds nothing but the cache's
    /// own leftovers (see load_files) is deleted.
    void create_entity_for_dir(const std::string& name, const std::string& rev_text, const std::string& dir);

    /// What a reload that goes on with this tree loads again: a directory
    /// the previous load could not look through and this reload's scan can.
    struct again_t {
        std::string name;
        /// Empty for a whole repository.
        std::string rev_text;
        /// The directory to load: the repository, the revision, or one in
        /// a revision already held, whose files join it.
        std::string path;
        /// Revisions held already: their files join them, nothing is removed.
        std::set<rev_t> held;
    };
    /// Under the cache's lock: takes `unseen`, this reload's scan, for the
    /// tree (set_unseen), and answers what to load again. Until end_loading
    /// nothing is written there.
    std::vector<again_t> look_again(unseen_t unseen);
    /// Without the cache's lock: loads what `again` names, as the start
    /// would, into entities of their own; their stored files are hashed
    /// meanwhile, and no reply waits for that.
    std::vector<entity_t> load_again(const std::vector<again_t>& again);
    /// Under the cache's lock: the entities loaded again join the tree; the
    /// files of one already held join it unless it knows them.
    void adopt(std::vector<entity_t>& loaded);
    /// Tells each entry of `unseen` with the WARNING of an entry set aside.
    static void tell_unseen(const std::string& root, const unseen_t& unseen);
    /// Finds or creates the entity (and its directory). Raises cache_error
    /// for a repository name that would leave the root or is too long.
    entity_t& get_entity(const std::string& name, rev_t rev);
    /// The entity, or null; creates nothing.
    entity_t* find_entity(const std::string& name, rev_t rev);
    /// The key's announced list, or null when the key was never announced
    /// since the load; creates nothing, on disk or in memory.
    const file_list_t* find_files(const repo_key_t& key);
    /// Raises cache_error, after an ERROR line naming it, for a repository
    /// name or file of an announcement that the cache cannot store: unsafe or
    /// too long names, md5 texts no download can match, two files at one path.
    void check_names(const repo_key_t& key, const std::vector<file_info_t>& files);
    /// The same for a repository name alone.
    void check_repository(const std::string& name) const;
    /// A ready stored file of any revision to link for `info`: one of the
    /// same leaf, size and md5 (see link_index_t), or empty.
    file_ptr find_ctx(const file_info_t& info) const;
    /// Builds the key's list from an announcement, reusing, hard-linking or
    /// creating contexts; the key's list itself when nothing changed.
    announced_ptr merge(const repo_key_t& key, const std::vector<file_info_t>& files);
    /// The list's files while the revision it was announced for is still
    /// held, else null: a cleaned revision's files are gone.
    const file_list_t* held_files(const repo_key_t& key, const announced_t& list);
    /// The key's list when it is the only one held for the key, else null:
    /// where two different lists of it are held, only a connection that
    /// relayed one of them knows which its server's is.
    const file_list_t* only_list(const repo_key_t& key);
    /// Drops the mappings unused for longer than `span`.
    void unload_files(boost::posix_time::time_duration span);
    /// Deletes every revision of a name older than its third newest, but
    /// those in `waited_for` and those with a file in download: they go at
    /// a later clean.
    void clean_revisions(const std::set<std::pair<std::string, rev_t>>& waited_for = {});

    /// True when the key has no list because its revision was cleaned (or
    /// is older than one that was): a request for it can never be answered.
    bool no_longer_held(const repo_key_t& key);

    const std::vector<entity_t>& entities() const { return entities_; }
    std::string dir_of(const std::string& name, rev_t rev) const;

    /// Revisions of one name that survive cleaning.
    static const size_t kept_revisions = cache_t::kept_revisions;
    /// Directories below a revision that files are stored and found in, at
    /// most (32): a name of more '/' than one more is refused, so the load
    /// finds again everything the cache stores, with one descriptor a level.
    static size_t stored_depth;

private:
    typedef std::pair<std::string, rev_t> entity_id_t;
    void reindex();
    /// Loads the revision directory into `entity`; false when it held
    /// nothing to keep and was removed.
    bool load_entity(const std::string& name, const std::string& rev_text, const std::string& dir, entity_t& entity);
    /// The entity joins the tree, its files the link index.
    void add_entity(entity_t&& entity);
    /// Loads the revisions of the repository `name` in the open directory
    /// `parent` into `loaded`; those of `held` only as files to join them.
    void load_repository(int parent, const std::string& name, const std::set<rev_t>& held,
                         std::vector<entity_t>& loaded);
    /// Loads `path` (the revision directory `dir` or one below it) of the
    /// revision `rev` of `name`, already held, into `entity`, a new one for
    /// that revision, removing nothing that holds it.
    void load_below(const std::string& name, rev_t rev, const std::string& dir, const std::string& path,
                    entity_t& entity);
    /// The list held for the platform that announces exactly `files`, made
    /// the platform's last; null when none does.
    static announced_ptr held_list(entity_t& entity, const std::string& platform,
                                   const std::vector<file_info_t>& files);
    /// The context of an announced empty file whose md5 is not that of no bytes.
    file_ptr refused_empty(const std::string& dir, const file_info_t& info);
    static bool downloading(const entity_t& entity);
    /// Deletes a directory below the root and all it holds, following no
    /// link; what cannot be removed is logged and left.
    void remove_dir(const std::string& dir);
    /// Loads the stored files in the open directory `at` (whose path is
    /// `path`), `depth` directories below the revision, and below it. True
    /// when it leaves there anything but the cache's own leftovers (empty
    /// directories, unfinished downloads, damaged or empty stored files):
    /// an administrator's entries, a stored file it could not read, what it
    /// could not load or remove.
    bool load_files(entity_t& entity, int at, const std::string& path, size_t depth);
    /// The same for the entry `name` of `at`, of dirent type `type`, whose path is `file`.
    bool load_entry(entity_t& entity, int at, const std::string& name, unsigned char type, const std::string& file,
                    size_t depth);

    std::vector<entity_t> entities_;
    /// Position of each entity in entities_: a lookup does not grow with their number.
    std::map<entity_id_t, size_t> index_;
    /// Per repository name, the newest revision cleaned: one number a name,
    /// however many revisions come and go.
    std::map<std::string, rev_t> cleaned_;
    std::string root_;
    boost::shared_ptr<const tree_t> tree_;
};

}  // namespace cache
