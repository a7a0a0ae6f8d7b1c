// User and group ids turned into names and back, with a one-entry cache per
// kind so that repeated reports of the same account do not ask the system.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "syncers.h"

namespace unxs_n {

/// Guards the user cache; held across the system lookup.
extern mutex_t unx_sec_user_guard;
/// The last user id looked up; 0xFFFFFFFF until the first lookup.
extern uint32_t unx_sec_uid;
/// The name (or decimal number) found for `unx_sec_uid`.
extern std::string unx_sec_user;

/// Guards the group cache; held across the system lookup.
extern mutex_t unx_sec_group_guard;
/// The last group id looked up; 0xFFFFFFFF until the first lookup.
extern uint32_t unx_sec_gid;
/// The name (or decimal number) found for `unx_sec_gid`.
extern std::string unx_sec_group;

}  // namespace unxs_n

/// Appends the user's name, ":" and the group's name.
void account_name(uid_t uid, gid_t gid, std::string& out);
/// Appends the user's name, or the id in decimal when it has no entry.
void user_name(uid_t uid, std::string& out);
/// Appends the group's name, or the id in decimal when it has no entry.
void group_name(gid_t gid, std::string& out);
/// True and the id when a user of that name exists; uid is untouched otherwise.
bool user_id(const char* name, uid_t& uid);
/// True and the id when a group of that name exists; gid is untouched otherwise.
bool group_id(const char* name, gid_t& gid);
