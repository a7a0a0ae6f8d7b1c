#include "cache/cache_repo.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <map>
#include <unordered_map>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem.hpp>
#include <boost/make_shared.hpp>

#include "cache/cache_file_ctx.h"
#include "cache/cache_scan.h"
#include "cache/cache_tree.h"
#include "cache/path_claims.h"
#include "oslayer/loggers.h"
#include "oslayer/platform.h"
#include "oslayer/utilities.h"

namespace fs = boost::filesystem;

namespace cache {

size_t file_info_hash::operator()(const file_info_t* info) const {
    std::hash<std::string> h;
    return h(info->name) ^ (h(info->md5) * 31) ^ (static_cast<size_t>(info->size) * 1000003u);
}

namespace {

// The whole text must be a decimal number that fits a revision.
rev_t parse_revision(const std::string& text, const std::string& dir) {
    rev_t value = 0;
    if (!revision_of(text, value))
        D_THROW(number_format_exception, "revision directory %s is not named by a number",
                escape_log_text(dir).c_str());
    return value;
}

// A repository name becomes one directory right below the root.
void check_repository_name(const std::string& root, const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos) {
        LOG_AT(LOG_LEVEL_ERROR, "[Repo] Refused repository name \"%s\": it would leave the cache root",
               shown_text(name).c_str());
        D_THROW(cache_error, "unsafe repository name \"%s\"", shown_text(name).c_str());
    }
    // Its revision directories (up to 20 digits) and their files must fit as well.
    if (name.size() > NAME_MAX || root.size() + name.size() + 23 >= PATH_MAX) {
        LOG_AT(LOG_LEVEL_ERROR, "[Repo] Refused repository name \"%s\": it is longer than %s allows",
               shown_text(name).c_str(), escape_log_text(root).c_str());
        D_THROW(cache_error, "repository name \"%s\" is too long to be stored", shown_text(name).c_str());
    }
}

// The path of a context whose file bears its own md5 text: a stored file
// whose content no longer matches its name does not hold that name.
bool holds_its_path(const cache_t::file_ptr& ctx) {
    const std::string& path = ctx->path;
    const std::string& md5 = ctx->info.md5;
    return path.size() > md5.size() && path[path.size() - md5.size() - 1] == '~' &&
           path.compare(path.size() - md5.size(), md5.size(), md5) == 0;
}

struct entry_t {
    std::string name;
    unsigned char type;
};

// The entries of an open directory but "." and "..", typed without
// following links (DT_UNKNOWN where the file system does not tell).
std::vector<entry_t> list_dir(int dir, const std::string& path) {
    DIR* listing = tree_t::open_listing(dir);
    if (!listing) {
        const int error = errno;
        D_THROW(io_error_exception, "cannot list %s: %s", escape_log_text(path).c_str(), strerror(error));
    }
    std::vector<entry_t> entries;
    errno = 0;
    while (struct dirent* e = ::readdir(listing)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            entries.push_back(entry_t{e->d_name, e->d_type});
        errno = 0;
    }
    int error = errno;
    ::closedir(listing);
    if (error) D_THROW(io_error_exception, "cannot list %s: %s", escape_log_text(path).c_str(), strerror(error));
    return entries;
}

unsigned char type_of(int dir, const entry_t& e) {
    if (e.type != DT_UNKNOWN) return e.type;
    struct stat st;
    if (::fstatat(dir, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return DT_UNKNOWN;
    return S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
}

const char* why_not_removed(int error) {
    return error == EXDEV ? "a file system is mounted in it, and what is mounted there stays" : strerror(error);
}

// The directory `name` in `dir` as one the cache stores files in: its own,
// and on the same mount (what is mounted there is never taken as stored).
fd_t stored_dir(int dir, const std::string& name) {
    fd_t sub(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!sub || ::fstat(sub.get(), &st) != 0 || !tree_t::cache_owned(st) || !tree_t::same_mount(dir, sub.get()))
        return fd_t();
    return sub;
}

// True for a directory of the cache to load among the entries of a level
// that holds directories only. What the scan could not look through is left
// as it is, and so is what holds it; else a link there, or a directory that
// other users control, is removed with a WARNING; files are left as they are.
bool cache_dir(const tree_t& tree, int parent, const std::string& name, const std::string& path) {
    struct stat st;
    if (tree.unseen(path, false) || ::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (S_ISDIR(st.st_mode) && tree_t::cache_owned(st)) return true;
    if ((!S_ISLNK(st.st_mode) && !S_ISDIR(st.st_mode)) || tree.unseen(path, true)) return false;
    if (!tree_t::remove_tree(parent, name)) {
        // A file system mounted in it, or entries that keep changing: left,
        // and the cache goes on without it.
        LOG_AT(LOG_LEVEL_WARNING, "[Repo] Cannot remove %s \"%s\", which stands where the cache keeps a directory: %s",
               tree_t::kind_of(st), escape_log_text(path).c_str(), why_not_removed(errno));
        return false;
    }
    LOG_AT(LOG_LEVEL_WARNING, "[Repo] Removed %s \"%s\" where the cache keeps a directory", tree_t::kind_of(st),
           escape_log_text(path).c_str());
    return false;
}

// The file the load found at the leaf of `info` and named otherwise (names
// that share a leaf read back as one of them): it takes the announced name.
// The end of `files` when there is none. No request or reply holds such a
// file yet, so its name changes under the cache's lock alone.
cache_t::repo_t::entity_t::files_t::iterator adopt_loaded(cache_t::repo_t::entity_t& entity,
                                                          const file_info_t& info, const std::string& stored) {
    if (stored == info.name) return entity.files.end();
    const file_info_t loaded{stored, info.size, info.md5};
    auto found = entity.files.find(&loaded);
    if (found == entity.files.end() || !found->second->named_by_load) return entity.files.end();
    cache_t::file_ptr ctx = found->second;
    entity.files.erase(found);
    // Another name of the same leaf: the link index finds it as before.
    ctx->info.name = info.name;
    return entity.files.emplace(&ctx->info, ctx).first;
}

// Logs the error being handled at WARNING: `what`, taken literally, then
// " because of " and the error's text.
void warn_caught(const std::string& what) {
    std::string text;  // a format: the names' own '%' taken literally
    for (char c : what) text.append(c == '%' ? 2 : 1, c);
    text += " because of %s";
    log_failure(LOG_LEVEL_WARNING, text.c_str(), [] { throw; });
}

// Runs `load` for the entry at `path` of the cache's tree: what it raises
// (a directory that cannot be listed, a link that cannot be removed) sets
// that entry aside, left as it is with a WARNING, never the whole start or
// reload. False when it was set aside.
template <class Load>
bool load_or_set_aside(const std::string& path, Load&& load) {
    try {
        load();
        return true;
    } catch (...) {
        warn_caught("[Repo] " + escape_log_text(path) + " is not loaded and is left as it is");
        return false;
    }
}

// A link into a new revision, or empty when it cannot be made for whatever
// reason (something at its temporary name that cannot be cleared, a source
// the file system will not link): one file downloaded again costs less than
// an announcement not stored, whose agents would get nothing at all.
cache_t::file_ptr link_or_nothing(const tree_ptr& tree, const std::string& dir, const cache_t::file_ptr& source,
                                  dir_cache_t& from, dir_cache_t& to) {
    try {
        return cache_t::file_ctx_t::create_hardlinked(tree, dir, source, from, to);
    } catch (...) {
        warn_caught("[Repo] File " + shown_text(source->info.name) + " is not linked from " +
                    escape_log_text(source->path) + ", it is downloaded instead");
        return cache_t::file_ptr();
    }
}

// Raises cache_error, after an ERROR line naming both, when `other` claims
// a place of `info` as a directory or the other way round.
void refuse_clash(const file_info_t& info, const file_info_t* other) {
    if (!other) return;
    LOG_AT(LOG_LEVEL_ERROR,
           "[Repo] Refused file \"%s\" with md5 \"%s\": it and file \"%s\" with md5 \"%s\" would need one place as a file and as a directory",
           shown_text(info.name).c_str(), shown_text(info.md5).c_str(), shown_text(other->name).c_str(),
           shown_text(other->md5).c_str());
    D_THROW(cache_error, "file \"%s\" and file \"%s\" would need one place as a file and as a directory",
            shown_text(info.name).c_str(), shown_text(other->name).c_str());
}

// True when `list` holds exactly the files `files` announces, in its order.
bool same_list(const cache_t::file_list_t& list, const std::vector<file_info_t>& files) {
    if (list.size() != files.size()) return false;
    for (size_t i = 0; i < files.size(); ++i)
        if (!(list[i]->info == files[i])) return false;
    return true;
}

}  // namespace

size_t cache_t::repo_t::stored_depth = 32;

cache_t::repo_t::repo_t(const tree_ptr& tree) : root_(tree->root()), tree_(tree) {
    entities_.reserve(16);
    LOG_AT(LOG_LEVEL_TRACE3, "[Repo] Will use %s as repository root", escape_log_text(root_).c_str());
    // Decided before anything is removed: a tree that holds other data is refused whole.
    unseen_t unseen = scan_tree(*tree);
    tell_unseen(root_, unseen);
    tree->set_unseen(std::move(unseen));
    fd_t top = tree->open_dir(root_, false);
    if (!top) D_THROW(io_error_exception, "cannot open %s: %s", escape_log_text(root_).c_str(), strerror(errno));
    std::vector<entity_t> loaded;
    for (const entry_t& outer : list_dir(top.get(), root_)) load_repository(top.get(), outer.name, {}, loaded);
    for (entity_t& entity : loaded) add_entity(std::move(entity));
}

void cache_t::repo_t::tell_unseen(const std::string& root, const unseen_t& unseen) {
    // Told once each, as the load tells what it cannot list.
    for (const auto& left : unseen)
        load_or_set_aside((fs::path(root) / left.first).string(),
                          [&] { D_THROW(io_error_exception, "%s", left.second.c_str()); });
}

void cache_t::repo_t::load_repository(int parent, const std::string& name, const std::set<rev_t>& held,
                                      std::vector<entity_t>& loaded) {
    const std::string outer_path = (fs::path(root_) / name).string();
    if (!cache_dir(*tree_, parent, name, outer_path)) return;
    fd_t repository = tree_->open_dir(outer_path, false);
    if (!repository) return;
    load_or_set_aside(outer_path, [&] {
        for (const entry_t& inner : list_dir(repository.get(), outer_path)) {
            const std::string inner_path = (fs::path(outer_path) / inner.name).string();
            if (!cache_dir(*tree_, repository.get(), inner.name, inner_path)) continue;
            load_or_set_aside(inner_path, [&] {
                entity_t entity;
                const rev_t rev = parse_revision(inner.name, inner_path);
                if (held.count(rev))
                    load_below(name, rev, inner_path, inner_path, entity);
                else if (!load_entity(name, inner.name, inner_path, entity))
                    return;
                loaded.push_back(std::move(entity));
            });
        }
    });
}

std::vector<cache_t::repo_t::again_t> cache_t::repo_t::look_again(unseen_t unseen) {
    std::vector<again_t> again;
    unseen_t loading;
    // Sorted: a directory comes before what lies in it, so each is loaded once.
    for (const auto& before : tree_->unseen_now()) {
        const std::string& rel = before.first;
        if (tree_t::unseen_in(unseen, rel, false)) continue;  // still not looked through
        again_t unit;
        const size_t slash = rel.find('/');
        unit.name = rel.substr(0, slash);
        std::string key = rel;
        if (slash == std::string::npos) {
            for (const entity_t& e : entities_)
                if (e.name == unit.name) unit.held.insert(e.rev);
        } else {
            const size_t end = rel.find('/', slash + 1);
            unit.rev_text = rel.substr(slash + 1, end == std::string::npos ? end : end - slash - 1);
            rev_t rev = 0;
            // A revision held goes on: only what was not looked through joins
            // it. Else the whole revision is loaded, as the start loads it.
            if (revision_of(unit.rev_text, rev) && find_entity(unit.name, rev))
                unit.held.insert(rev);
            else
                key = rel.substr(0, end);
        }
        if (tree_t::unseen_in(loading, key, false)) continue;
        loading[key] = std::string();
        unit.path = (fs::path(root_) / key).string();
        again.push_back(std::move(unit));
    }
    tree_->set_unseen(std::move(unseen), std::move(loading));
    return again;
}

std::vector<cache_t::repo_t::entity_t> cache_t::repo_t::load_again(const std::vector<again_t>& again) {
    std::vector<entity_t> loaded;
    fd_t top = tree_->open_dir(root_, false);
    if (!top) D_THROW(io_error_exception, "cannot open %s: %s", escape_log_text(root_).c_str(), strerror(errno));
    for (const again_t& unit : again) {
        if (unit.rev_text.empty()) {
            load_repository(top.get(), unit.name, unit.held, loaded);
            continue;
        }
        const std::string dir = (fs::path(root_) / unit.name / unit.rev_text).string();
        load_or_set_aside(unit.path, [&] {
            entity_t entity;
            const rev_t rev = parse_revision(unit.rev_text, dir);
            if (unit.held.count(rev)) {
                load_below(unit.name, rev, dir, unit.path, entity);
            } else {
                // As the start finds it: a link or a foreign directory there is removed.
                fd_t repository = tree_->open_dir((fs::path(root_) / unit.name).string(), false);
                if (!repository || !cache_dir(*tree_, repository.get(), unit.rev_text, dir)) return;
                if (!load_entity(unit.name, unit.rev_text, dir, entity)) return;
            }
            loaded.push_back(std::move(entity));
        });
    }
    return loaded;
}

void cache_t::repo_t::load_below(const std::string& name, rev_t rev, const std::string& dir, const std::string& path,
                                 entity_t& entity) {
    entity.name = name;
    entity.rev = rev;
    entity.revision = boost::make_shared<revision_files_t>(dir);
    if (path == dir) {
        fd_t revision = tree_->open_dir(dir, false);
        if (!revision) D_THROW(io_error_exception, "cannot open %s: %s", escape_log_text(dir).c_str(), strerror(errno));
        load_files(entity, revision.get(), dir, 0);
        return;
    }
    std::string leaf;
    fd_t parent = tree_->open_parent(path, false, leaf);
    if (!parent) return;  // gone, or no longer reached through the cache's own directories
    const std::string below = path.substr(dir.size() + 1);
    const size_t depth = static_cast<size_t>(std::count(below.begin(), below.end(), '/'));
    load_entry(entity, parent.get(), leaf, type_of(parent.get(), entry_t{leaf, DT_UNKNOWN}), path, depth);
}

void cache_t::repo_t::adopt(std::vector<entity_t>& loaded) {
    for (entity_t& entity : loaded) {
        entity_t* own = find_entity(entity.name, entity.rev);
        if (!own) {
            add_entity(std::move(entity));
            continue;
        }
        // A file it knows already keeps its context: lists and requests hold that one.
        for (const auto& f : entity.files) {
            if (!own->files.emplace(&f.second->info, f.second).second) continue;
            revision_files_t::add(own->revision, f.second);
            tree_->links().add(f.second);
        }
    }
}

void cache_t::repo_t::remove_dir(const std::string& dir) {
    std::string leaf;
    fd_t parent = tree_->open_parent(dir, false, leaf);
    if (!parent || tree_t::remove_tree(parent.get(), leaf) || errno == ENOENT) return;
    // Left as it is: it holds nothing the cache serves, and the service goes on.
    LOG_AT(LOG_LEVEL_WARNING, "[Repo] Revision directory \"%s\" cannot be removed and is left as it is: %s",
           escape_log_text(dir).c_str(), why_not_removed(errno));
}

bool cache_t::repo_t::load_files(entity_t& entity, int at, const std::string& path, size_t depth) {
    bool others = false;
    for (const entry_t& e : list_dir(at, path)) {
        const std::string file = (fs::path(path) / e.name).string();
        bool kept = true;  // also when it is set aside, or was never seen
        if (!tree_->unseen(file, false))
            load_or_set_aside(file, [&] { kept = load_entry(entity, at, e.name, type_of(at, e), file, depth); });
        others = others || kept;
    }
    return others;
}

bool cache_t::repo_t::load_entry(entity_t& entity, int at, const std::string& name, unsigned char type,
                                 const std::string& file, size_t depth) {
    // Names of more than one '/' are stored below directories of the
    // revision, whose names may end in '~' as the names' pieces do.
    if (type == DT_DIR && depth < stored_depth) {
        if (fd_t sub = stored_dir(at, name)) return load_files(entity, sub.get(), file, depth + 1);
        // What is mounted there is no one's to keep the revision for: the
        // removal leaves it, and says so.
        fd_t mounted(::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        return !mounted || tree_t::same_mount(at, mounted.get());
    }
    // A link where a file belongs is never read: removed, with a WARNING.
    if (type == DT_LNK) {
        tree_t::clear_for_file(at, name, file);
        return false;
    }
    if (type != DT_REG) return true;
    if (name.back() == '~') return false;  // an unfinished download
    // A file at no place the layout gives a name and md5 (below a
    // directory put at a file's place, or bearing another md5 than its
    // content's) is not taken: it claims no place an announcement needs,
    // and the download of the file stored there clears it away.
    const std::string md5 = file_ctx_t::layout_md5(file.substr(entity.revision->dir().size() + 1));
    struct stat st;
    // An empty one holds nothing to keep its revision for, as it never did.
    if (md5.empty())
        return ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ? errno != ENOENT : st.st_size > 0;
    file_ptr ctx = file_ctx_t::create(tree_, at, name, file);
    if (!ctx) {
        // One it could not read stays, and so does its revision.
        return ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    }
    if (ctx->info.size == 0) {  // nothing worth keeping: an empty file is never announced with content
        ::unlinkat(at, name.c_str(), 0);
        return false;
    }
    // Damaged (cut short, overwritten): the cache's own, downloaded again.
    if (ctx->info.md5 != md5) return false;
    if (entity.files.emplace(&ctx->info, ctx).second) revision_files_t::add(entity.revision, ctx);
    return false;
}

void cache_t::repo_t::create_entity_for_dir(const std::string& name, const std::string& rev_text,
                                            const std::string& dir) {
    entity_t entity;
    if (load_entity(name, rev_text, dir, entity)) add_entity(std::move(entity));
}

bool cache_t::repo_t::load_entity(const std::string& name, const std::string& rev_text, const std::string& dir,
                                  entity_t& entity) {
    entity.name = name;
    entity.rev = parse_revision(rev_text, dir);
    entity.revision = boost::make_shared<revision_files_t>(dir);
    fd_t revision = tree_->open_dir(dir, false);
    if (!revision) D_THROW(io_error_exception, "cannot open %s: %s", escape_log_text(dir).c_str(), strerror(errno));
    const bool others = load_files(entity, revision.get(), dir, 0);
    if (entity.files.empty() && !others) {
        LOG_AT(LOG_LEVEL_TRACE3, "[Repo] Empty directory in repo \"%s\". Trying to remove",
               escape_log_text(dir).c_str());
        revision.reset();
        remove_dir(dir);
        return false;
    }
    return true;
}

void cache_t::repo_t::add_entity(entity_t&& entity) {
    // A revision of an administrator's files alone is kept as one of its
    // repository's: they go when the cleaner removes it, not before.
    index_[entity_id_t(entity.name, entity.rev)] = entities_.size();
    entities_.push_back(std::move(entity));
    // Only once the revision is loaded whole: a load that fails leaves no
    // file of it to link from.
    for (const auto& f : entities_.back().files) tree_->links().add(f.second);
}

cache_t::repo_t::entity_t* cache_t::repo_t::find_entity(const std::string& name, rev_t rev) {
    auto found = index_.find(entity_id_t(name, rev));
    return found == index_.end() ? nullptr : &entities_[found->second];
}

std::string cache_t::repo_t::dir_of(const std::string& name, rev_t rev) const {
    return (fs::path(root_) / name / std::to_string(rev)).string();
}

cache_t::repo_t::entity_t& cache_t::repo_t::get_entity(const std::string& name, rev_t rev) {
    if (entity_t* found = find_entity(name, rev)) return *found;
    check_repository_name(root_, name);
    tree_->open_dir(dir_of(name, rev), true);
    index_[entity_id_t(name, rev)] = entities_.size();
    entities_.emplace_back();
    entities_.back().name = name;
    entities_.back().rev = rev;
    entities_.back().revision = boost::make_shared<revision_files_t>(dir_of(name, rev));
    LOG_AT(LOG_LEVEL_TRACE3, "[Repo] New repository entity created for %s/%s", escape_log_text(name).c_str(),
           std::to_string(rev).c_str());
    return entities_.back();
}

const cache_t::file_list_t* cache_t::repo_t::find_files(const repo_key_t& key) {
    entity_t* entity = find_entity(key.name, key.rev);
    if (!entity) return nullptr;
    auto found = entity->platforms.find(key.platform);
    return found == entity->platforms.end() || !found->second.last ? nullptr : &found->second.last->files;
}

const cache_t::file_list_t* cache_t::repo_t::held_files(const repo_key_t& key, const announced_t& list) {
    entity_t* entity = find_entity(key.name, key.rev);
    return entity && entity->revision == list.revision ? &list.files : nullptr;
}

const cache_t::file_list_t* cache_t::repo_t::only_list(const repo_key_t& key) {
    entity_t* entity = find_entity(key.name, key.rev);
    if (!entity) return nullptr;
    auto found = entity->platforms.find(key.platform);
    if (found == entity->platforms.end() || !found->second.last) return nullptr;
    for (const boost::weak_ptr<const announced_t>& weak : found->second.held) {
        announced_ptr list = weak.lock();
        if (list && list != found->second.last) return nullptr;
    }
    return &found->second.last->files;
}

void cache_t::repo_t::check_repository(const std::string& name) const { check_repository_name(root_, name); }

void cache_t::repo_t::check_names(const repo_key_t& key, const std::vector<file_info_t>& files) {
    check_repository_name(root_, key.name);
    std::string dir = dir_of(key.name, key.rev);
    // Two different files at one path would rename over each other's
    // content: the stored files of the revision that hold their names, then
    // the announced ones, each claim their path. A file the load named from
    // its leaf yields its path to the first announced name of that leaf (of
    // its size; the md5 is in the leaf): it is the file stored for that name.
    struct claim_t {
        file_info_t info;
        bool named_by_load;
    };
    std::unordered_map<std::string, claim_t> claimed;
    // Nor may one file need another's place, or its download's temporary
    // file, as a directory: each download would remove the other's file.
    // The revision's own files, stored or announced before, claim theirs
    // too: a list of another server may be requested as well.
    path_claims_t places;
    if (entity_t* entity = find_entity(key.name, key.rev))
        for (const auto& f : entity->files) {
            places.claim(dir, f.second->path, f.second->info);
            if (holds_its_path(f.second))
                claimed.emplace(f.second->path, claim_t{f.second->info, f.second->named_by_load});
        }
    for (const file_info_t& info : files) {
        // The first '/' stays in the leaf; every further one is a directory below the revision.
        const size_t slashes = static_cast<size_t>(std::count(info.name.begin(), info.name.end(), '/'));
        if (slashes > stored_depth + 1) {
            LOG_AT(LOG_LEVEL_ERROR, "[Repo] Refused file \"%s\" with md5 \"%s\": it would lie more than %lu directories below its revision",
                   shown_text(info.name).c_str(), shown_text(info.md5).c_str(), static_cast<unsigned long>(stored_depth));
            D_THROW(cache_error, "file name \"%s\" lies too deep to be stored", shown_text(info.name).c_str());
        }
        const std::string path = file_ctx_t::build_path(dir, info);
        auto taken = claimed.emplace(path, claim_t{info, false});
        claim_t& claim = taken.first->second;
        if (taken.second || claim.info == info || (claim.named_by_load && claim.info.size == info.size)) {
            claim = claim_t{info, false};
            refuse_clash(info, places.claim(dir, path, info));
            continue;
        }
        const file_info_t& other = claim.info;
        LOG_AT(LOG_LEVEL_ERROR, "[Repo] Refused file \"%s\" of %lu bytes with md5 \"%s\": its path belongs to file \"%s\" of %lu bytes",
               shown_text(info.name).c_str(), static_cast<unsigned long>(info.size), info.md5.c_str(),
               shown_text(other.name).c_str(), static_cast<unsigned long>(other.size));
        D_THROW(cache_error, "file \"%s\" of %lu bytes shares its path with file \"%s\" of %lu bytes",
                shown_text(info.name).c_str(), static_cast<unsigned long>(info.size), shown_text(other.name).c_str(),
                static_cast<unsigned long>(other.size));
    }
}

cache_t::file_ptr cache_t::repo_t::find_ctx(const file_info_t& info) const {
    return tree_->links().find(info, file_ctx_t::stored_name(info));
}

cache_t::announced_ptr cache_t::repo_t::merge(const repo_key_t& key, const std::vector<file_info_t>& files) {
    // The list stored last for the key, announced again as it stands (every
    // agent of a server is shown it): it was checked and built when first
    // stored, and every connection's announcement holds the cache's lock.
    // So is a list another server announced, and one server's list announced
    // again after a rival's: each is kept once, however many connections hold it.
    if (entity_t* entity = find_entity(key.name, key.rev))
        if (announced_ptr held = held_list(*entity, key.platform, files)) return held;
    std::string dir = dir_of(key.name, key.rev);
    // Every path is checked before anything is created, so a refused
    // announcement leaves neither directories nor contexts behind.
    check_names(key, files);
    entity_t* entity = &get_entity(key.name, key.rev);
    file_list_t list;
    list.reserve(files.size());
    dir_cache_t from, to;
    for (const file_info_t& info : files) {
        // Asked once per file: both lookups below need it.
        const std::string stored = file_ctx_t::stored_name(info);
        auto own = entity->files.find(&info);
        if (own == entity->files.end()) own = adopt_loaded(*entity, info, stored);
        if (own != entity->files.end()) {
            own->second->named_by_load = false;
            list.push_back(own->second);
            continue;
        }
        file_ptr ctx;
        if (info.size == 0 && info.md5 != file_ctx_t::empty_md5) {
            ctx = refused_empty(dir, info);
        } else {
            file_ptr other = tree_->links().find(info, stored);
            if (other) ctx = link_or_nothing(tree_, dir, other, from, to);
            if (ctx) ctx->info.name = info.name;  // the source may bear another name of the same leaf
            // Also when the source turned out gone: the rest of the list goes on.
            if (!ctx) ctx = file_ctx_t::create_not_existent(tree_, dir, info);
        }
        entity->files.emplace(&ctx->info, ctx);
        revision_files_t::add(entity->revision, ctx);
        if (ctx->get_state() == file_ctx_t::ready) tree_->links().add(ctx);
        list.push_back(ctx);
    }
    // No list held announces these files (held_list): a list of its own.
    entity_t::lists_t& lists = entity->platforms[key.platform];
    lists.last = boost::make_shared<const announced_t>(list, entity->revision);
    lists.held.push_back(lists.last);
    return lists.last;
}

cache_t::announced_ptr cache_t::repo_t::held_list(entity_t& entity, const std::string& platform,
                                                  const std::vector<file_info_t>& files) {
    auto found = entity.platforms.find(platform);
    if (found == entity.platforms.end()) return announced_ptr();
    entity_t::lists_t& lists = found->second;
    // The lists nobody holds any more go here, so that the held ones of a
    // key never outnumber the lists its connections hold.
    lists.held.erase(std::remove_if(lists.held.begin(), lists.held.end(),
                                    [](const boost::weak_ptr<const announced_t>& w) { return w.expired(); }),
                     lists.held.end());
    if (lists.last && same_list(lists.last->files, files)) return lists.last;
    for (const boost::weak_ptr<const announced_t>& weak : lists.held) {
        announced_ptr list = weak.lock();
        if (list && same_list(list->files, files)) return lists.last = list;
    }
    return announced_ptr();
}

cache_t::file_ptr cache_t::repo_t::refused_empty(const std::string& dir, const file_info_t& info) {
    // Kept in the list so that the masks of requests still index it, but
    // never downloaded: no download of no bytes can match another md5.
    LOG_AT(LOG_LEVEL_ERROR, "[Repo] Refused file \"%s\" with md5 \"%s\": an empty file can only have md5 %s",
           shown_text(info.name).c_str(), info.md5.c_str(), file_ctx_t::empty_md5);
    file_ptr ctx = file_ctx_t::create_not_existent(tree_, dir, info);
    ctx->refused = true;
    return ctx;
}

bool cache_t::repo_t::no_longer_held(const repo_key_t& key) {
    if (find_files(key)) return false;
    auto cleaned = cleaned_.find(key.name);
    return cleaned != cleaned_.end() && key.rev <= cleaned->second;
}

void cache_t::repo_t::reindex() {
    index_.clear();
    for (size_t i = 0; i < entities_.size(); ++i) index_[entity_id_t(entities_[i].name, entities_[i].rev)] = i;
}

void cache_t::repo_t::unload_files(boost::posix_time::time_duration span) {
    LOG_AT(LOG_LEVEL_DEBUG3, "[Repo] Unload files that wasn`t used for %s",
           boost::posix_time::to_simple_string(span).c_str());
    for (entity_t& e : entities_)
        for (auto& f : e.files) f.second->unmap_if_unused(span);
}

bool cache_t::repo_t::downloading(const entity_t& entity) {
    for (const auto& f : entity.files)
        if (f.second->get_state() == file_ctx_t::in_download || f.second->checking) return true;
    return false;
}

void cache_t::repo_t::clean_revisions(const std::set<entity_id_t>& waited_for) {
    std::map<std::string, std::vector<rev_t>> revisions;
    for (const entity_t& e : entities_) revisions[e.name].push_back(e.rev);
    bool unloaded = false;
    for (auto& named : revisions) {
        std::vector<rev_t>& revs = named.second;
        if (revs.size() <= kept_revisions) continue;
        std::sort(revs.begin(), revs.end(), std::greater<rev_t>());
        for (size_t i = kept_revisions; i < revs.size(); ++i) {
            entity_t* found = find_entity(named.first, revs[i]);
            if (!found) continue;
            std::string rev_text = std::to_string(revs[i]);
            // Its agents would wait for ever, and its download would write
            // into a directory nobody tracks: it goes at a later clean.
            if (waited_for.count(entity_id_t(named.first, revs[i])) || downloading(*found)) {
                LOG_AT(LOG_LEVEL_DEBUG3, "[Repo] Keep %s/%s while requests wait for it or it downloads",
                       escape_log_text(named.first).c_str(), rev_text.c_str());
                continue;
            }
            rev_t& cleaned = cleaned_[named.first];
            cleaned = std::max(cleaned, revs[i]);
            auto it = entities_.begin() + (found - entities_.data());
            // Systems of family 2 cannot delete a mapped file: drop the mappings first.
            if (!unloaded && (platform_t::base.code & 0x7f000000u) == 0x02000000u) {
                unload_files(boost::posix_time::seconds(0));
                unloaded = true;
            }
            LOG_AT(LOG_LEVEL_DEBUG3, "[Repo] Remove files in %s/%s", escape_log_text(named.first).c_str(),
                   rev_text.c_str());
            bool all_removed = true;
            // Its files go on purpose: a reply still on its way that finds
            // one gone must not go through all the others.
            it->revision->retire();
            for (auto& f : it->files) {
                tree_->links().remove(*f.second);
                all_removed = f.second->remove() && all_removed;
            }
            entities_.erase(it);
            reindex();
            std::string dir = dir_of(named.first, revs[i]);
            LOG_AT(LOG_LEVEL_DEBUG3, "[Repo] Trying to remove old revision directory \"%s\"",
                   escape_log_text(dir).c_str());
            remove_dir(dir);
            if (!all_removed && tree_->open_dir(dir, false))
                load_or_set_aside(dir, [&] { create_entity_for_dir(named.first, rev_text, dir); });
        }
    }
}

}  // namespace cache
