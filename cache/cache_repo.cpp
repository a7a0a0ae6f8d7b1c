#include "cache/cache_repo.h"

#include <algorithm>
#include <functional>
#include <map>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem.hpp>

#include "cache/cache_file_ctx.h"
#include "oslayer/loggers.h"
#include "oslayer/platform.h"
#include "oslayer/utilities.h"

namespace fs = boost::filesystem;

namespace cache {

size_t file_info_hash::operator()(const file_info_t& info) const {
    std::hash<std::string> h;
    return h(info.name) ^ (h(info.md5) * 31) ^ (static_cast<size_t>(info.size) * 1000003u);
}

namespace {

// The whole text must be a decimal number that fits a revision.
rev_t parse_revision(const std::string& text, const std::string& dir) {
    rev_t value = 0;
    bool ok = !text.empty();
    for (char c : text) {
        if (c < '0' || c > '9' || value > (UINT64_MAX - (c - '0')) / 10) {
            ok = false;
            break;
        }
        value = value * 10 + static_cast<rev_t>(c - '0');
    }
    if (!ok)
        D_THROW(number_format_exception, "revision directory %s is not named by a number",
                escape_log_text(dir).c_str());
    return value;
}

// A repository name becomes one directory right below the root.
void check_repository_name(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos) {
        LOG_AT(LOG_LEVEL_ERROR, "[Repo] Refused repository name \"%s\": it would leave the cache root",
               escape_log_text(name).c_str());
        D_THROW(cache_error, "unsafe repository name \"%s\"", escape_log_text(name).c_str());
    }
}

bool is_dir(const fs::directory_entry& e) { return fs::is_directory(e.status()); }

}  // namespace

cache_t::repo_t::repo_t(const std::string& root) : root_(root) {
    entities_.reserve(16);
    LOG_AT(LOG_LEVEL_TRACE3, "[Repo] Will use %s as repository root", root.c_str());
    fs::create_directories(root);
    for (fs::directory_iterator outer(root), end; outer != end; ++outer) {
        if (!is_dir(*outer)) continue;
        for (fs::directory_iterator inner(outer->path()); inner != end; ++inner) {
            if (!is_dir(*inner)) continue;
            create_entity_for_dir(outer->path().filename().string(), inner->path().filename().string(),
                                  inner->path().string());
        }
    }
}

void cache_t::repo_t::create_entity_for_dir(const std::string& name, const std::string& rev_text,
                                            const std::string& dir) {
    entity_t entity;
    entity.name = name;
    entity.rev = parse_revision(rev_text, dir);
    for (fs::directory_iterator it(dir), end; it != end; ++it) {
        std::string leaf = it->path().filename().string();
        if (!leaf.empty() && leaf.back() == '~') continue;  // an unfinished download
        if (!fs::is_regular_file(it->status())) continue;
        file_ptr ctx = file_ctx_t::create(it->path().string());
        if (ctx->info.size == 0) {  // nothing worth keeping: an empty file is never announced with content
            fs::remove(it->path());
            continue;
        }
        entity.files.emplace(ctx->info, ctx);
    }
    if (entity.files.empty()) {
        LOG_AT(LOG_LEVEL_TRACE3, "[Repo] Empty directory in repo \"%s\". Trying to remove",
               escape_log_text(dir).c_str());
        fs::remove_all(dir);
        return;
    }
    entities_.push_back(std::move(entity));
}

std::string cache_t::repo_t::dir_of(const std::string& name, rev_t rev) const {
    return (fs::path(root_) / name / std::to_string(rev)).string();
}

cache_t::repo_t::entity_t& cache_t::repo_t::get_entity(const std::string& name, rev_t rev) {
    for (entity_t& e : entities_)
        if (e.rev == rev && e.name == name) return e;
    check_repository_name(name);
    fs::create_directories(dir_of(name, rev));
    entities_.emplace_back();
    entities_.back().name = name;
    entities_.back().rev = rev;
    LOG_AT(LOG_LEVEL_TRACE3, "[Repo] New repository entity created for %s/%s", escape_log_text(name).c_str(),
           std::to_string(rev).c_str());
    return entities_.back();
}

cache_t::file_list_t cache_t::repo_t::get_files(const repo_key_t& key) {
    return get_entity(key.name, key.rev).platforms[key.platform];
}

cache_t::file_ptr cache_t::repo_t::find_ctx(const file_info_t& info) const {
    for (const entity_t& e : entities_) {
        auto found = e.files.find(info);
        if (found != e.files.end()) return found->second;
    }
    return file_ptr();
}

void cache_t::repo_t::merge(const repo_key_t& key, const std::vector<file_info_t>& files) {
    std::string dir = dir_of(key.name, key.rev);
    // Every path is checked before anything is created, so a refused
    // announcement leaves neither directories nor contexts behind.
    check_repository_name(key.name);
    for (const file_info_t& info : files) file_ctx_t::build_path(dir, info);
    entity_t* entity = &get_entity(key.name, key.rev);
    file_list_t list;
    list.reserve(files.size());
    for (const file_info_t& info : files) {
        auto own = entity->files.find(info);
        if (own != entity->files.end()) {
            list.push_back(own->second);
            continue;
        }
        file_ptr other = find_ctx(info);
        file_ptr ctx = other && other->get_state() == file_ctx_t::ready ? file_ctx_t::create_hardlinked(dir, other)
                                                                         : file_ctx_t::create_not_existent(dir, info);
        entity->files.emplace(info, ctx);
        list.push_back(ctx);
    }
    entity->platforms[key.platform].swap(list);
}

void cache_t::repo_t::unload_files(boost::posix_time::time_duration span) {
    LOG_AT(LOG_LEVEL_DEBUG3, "[Repo] Unload files that wasn`t used for %s",
           boost::posix_time::to_simple_string(span).c_str());
    for (entity_t& e : entities_)
        for (auto& f : e.files) f.second->unmap_if_unused(span);
}

void cache_t::repo_t::clean_revisions() {
    std::map<std::string, std::vector<rev_t>> revisions;
    for (const entity_t& e : entities_) revisions[e.name].push_back(e.rev);
    bool unloaded = false;
    for (auto& named : revisions) {
        std::vector<rev_t>& revs = named.second;
        if (revs.size() <= kept_revisions) continue;
        std::sort(revs.begin(), revs.end(), std::greater<rev_t>());
        for (size_t i = kept_revisions; i < revs.size(); ++i) {
            auto it = std::find_if(entities_.begin(), entities_.end(), [&](const entity_t& e) {
                return e.rev == revs[i] && e.name == named.first;
            });
            if (it == entities_.end()) continue;
            // Systems of family 2 cannot delete a mapped file: drop the mappings first.
            if (!unloaded && (platform_t::base.code & 0x7f000000u) == 0x02000000u) {
                unload_files(boost::posix_time::seconds(0));
                unloaded = true;
            }
            std::string rev_text = std::to_string(revs[i]);
            LOG_AT(LOG_LEVEL_DEBUG3, "[Repo] Remove files in %s/%s", escape_log_text(named.first).c_str(),
                   rev_text.c_str());
            bool all_removed = true;
            for (auto& f : it->files) all_removed = f.second->remove() && all_removed;
            entities_.erase(it);
            std::string dir = dir_of(named.first, revs[i]);
            LOG_AT(LOG_LEVEL_DEBUG3, "[Repo] Trying to remove old revision directory \"%s\"",
                   escape_log_text(dir).c_str());
            fs::remove_all(dir);
            if (!all_removed && fs::exists(dir)) create_entity_for_dir(named.first, rev_text, dir);
        }
    }
}

}  // namespace cache
