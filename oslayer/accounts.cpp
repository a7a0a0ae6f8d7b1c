// Account lookups through the reentrant passwd/group calls. The buffer those
// calls need is not known in advance: it starts small and doubles while the
// system says it is too small, up to a bound that keeps a broken name service
// from making us allocate without limit.
#include "accounts.h"

#include <grp.h>
#include <pwd.h>

#include <cerrno>
#include <vector>

static_assert(sizeof(uid_t) == sizeof(uint32_t) && sizeof(gid_t) == sizeof(uint32_t),
              "the account caches keep ids as 32-bit words");

namespace unxs_n {

// The guards and the cached names are built by the library start-up
// (platform.cpp), before any other unit's static initialiser may ask.
uint32_t unx_sec_uid = 0xFFFFFFFFu;
uint32_t unx_sec_gid = 0xFFFFFFFFu;

}  // namespace unxs_n

namespace {

const size_t first_buffer = 2048;
const size_t largest_buffer = 1048576;

/// Runs one reentrant query with a growing buffer; true when an entry was
/// found. The strings of `entry` point into `buf`, so the caller keeps both.
template <class Entry, class Query>
bool query_entry(Query query, Entry& entry, std::vector<char>& buf) {
    for (size_t size = first_buffer; size <= largest_buffer; size *= 2) {
        buf.resize(size);
        Entry* found = nullptr;
        int rc = query(&entry, buf.data(), buf.size(), &found);
        if (rc == 0) return found != nullptr;
        if (rc != ERANGE) return false;
    }
    return false;
}

/// The user's name, or the id in decimal.
std::string lookup_user(uid_t uid) {
    passwd entry;
    std::vector<char> buf;
    auto query = [uid](passwd* e, char* b, size_t n, passwd** r) { return getpwuid_r(uid, e, b, n, r); };
    if (query_entry(query, entry, buf) && entry.pw_name) return entry.pw_name;
    return std::to_string(static_cast<uint32_t>(uid));
}

/// The group's name, or the id in decimal.
std::string lookup_group(gid_t gid) {
    group entry;
    std::vector<char> buf;
    auto query = [gid](group* e, char* b, size_t n, group** r) { return getgrgid_r(gid, e, b, n, r); };
    if (query_entry(query, entry, buf) && entry.gr_name) return entry.gr_name;
    return std::to_string(static_cast<uint32_t>(gid));
}

/// Appends the cached text for `id`, asking the system first when the cache
/// holds another id. An empty text marks the cache as never filled: without
/// that check the id 0xFFFFFFFF would be answered with nothing.
template <class Lookup>
void cached_name(mutex_t& guard, uint32_t& cached_id, std::string& cached_text, uint32_t id,
                 Lookup lookup, std::string& out) {
    xlocker_t lock(guard);
    if (id != cached_id || cached_text.empty()) {
        cached_text = lookup(id);
        cached_id = id;
    }
    out += cached_text;
}

}  // namespace

void account_name(uid_t uid, gid_t gid, std::string& out) {
    TRACE_POINT;
    user_name(uid, out);
    out += ':';
    group_name(gid, out);
}

void user_name(uid_t uid, std::string& out) {
    TRACE_POINT;
    cached_name(unxs_n::unx_sec_user_guard, unxs_n::unx_sec_uid, unxs_n::unx_sec_user, uid, lookup_user, out);
}

void group_name(gid_t gid, std::string& out) {
    TRACE_POINT;
    cached_name(unxs_n::unx_sec_group_guard, unxs_n::unx_sec_gid, unxs_n::unx_sec_group, gid, lookup_group,
                out);
}

bool user_id(const char* name, uid_t& uid) {
    TRACE_POINT;
    if (!name) return false;
    passwd entry;
    std::vector<char> buf;
    auto query = [name](passwd* e, char* b, size_t n, passwd** r) { return getpwnam_r(name, e, b, n, r); };
    if (!query_entry(query, entry, buf)) return false;
    uid = entry.pw_uid;
    return true;
}

bool group_id(const char* name, gid_t& gid) {
    TRACE_POINT;
    if (!name) return false;
    group entry;
    std::vector<char> buf;
    auto query = [name](group* e, char* b, size_t n, group** r) { return getgrnam_r(name, e, b, n, r); };
    if (!query_entry(query, entry, buf)) return false;
    gid = entry.gr_gid;
    return true;
}
