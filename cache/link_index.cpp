#include "cache/link_index.h"

#include <functional>

#include "cache/cache_file_ctx.h"

namespace cache {

uint64_t link_index_t::key_of(const std::string& stored, const file_info_t& info) {
    std::hash<std::string> h;
    uint64_t key = h(stored);
    key ^= h(info.md5) + 0x9e3779b97f4a7c15ull + (key << 6) + (key >> 2);
    return key ^ (static_cast<uint64_t>(info.size) * 0xff51afd7ed558ccdull);
}

void link_index_t::take_out(files_t& files, size_t slot) {
    files[slot] = files.back();
    files.pop_back();
    if (slot == files.size()) return;
    if (cache_t::file_ptr moved = files[slot].lock()) moved->link_slot_ = slot;
}

void link_index_t::add(const cache_t::file_ptr& file) {
    const uint64_t key = key_of(cache_t::file_ctx_t::stored_name(file->info), file->info);
    std::lock_guard<std::mutex> lock(mutex_);
    files_t& files = files_[key];
    file->link_slot_ = files.size();
    files.push_back(file);
    ++size_;
}

void link_index_t::remove(cache_t::file_ctx_t& file) {
    const uint64_t key = key_of(cache_t::file_ctx_t::stored_name(file.info), file.info);
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = files_.find(key);
    if (found == files_.end()) return;
    files_t& files = found->second;
    const size_t slot = file.link_slot_;
    if (slot >= files.size() || files[slot].lock().get() != &file) return;  // not in the index
    take_out(files, slot);
    --size_;
    if (files.empty()) files_.erase(found);
}

cache_t::file_ptr link_index_t::find(const file_info_t& info, const std::string& stored) {
    const uint64_t key = key_of(stored, info);
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = files_.find(key);
    if (found == files_.end()) return cache_t::file_ptr();
    files_t& files = found->second;
    for (size_t slot = 0; slot < files.size();) {
        cache_t::file_ptr file = files[slot].lock();
        if (!file) {
            take_out(files, slot);
            --size_;
            continue;
        }
        // The key alone could be another leaf's.
        const file_info_t& own = file->info;
        if (file->get_state() == cache_t::file_ctx_t::ready && own.size == info.size && own.md5 == info.md5 &&
            (own.name == info.name || own.name == stored || cache_t::file_ctx_t::stored_name(own) == stored))
            return file;
        ++slot;
    }
    if (files.empty()) files_.erase(found);
    return cache_t::file_ptr();
}

size_t link_index_t::size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return size_;
}

}  // namespace cache
