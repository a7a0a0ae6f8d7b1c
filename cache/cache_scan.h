// The look at a root's tree that the load takes before it removes anything.
// The load removes what stands where the cache keeps its directories and
// files; in a directory that already held other data (a shared directory
// under /srv, /var/cache) that would be someone else's. So a tree that holds
// an entry of another user, or a directory where the cache keeps a revision
// that no revision number names, is refused whole, and nothing in it is
// touched. A directory below the root that cannot be looked through (its
// mode taken away, a read error) may hold such an entry unseen: it is told
// to the load, which leaves it, and what holds it, as it is.
#pragma once

#include <string>

#include "cache/cache.h"
#include "cache/cache_tree.h"

namespace cache {

/// The revision a directory name stands for: true when the whole text is a
/// decimal number that fits a revision.
bool revision_of(const std::string& text, rev_t& rev);

/// Walks every entry below the root, whatever the depth, with few
/// descriptors, following no link and entering no mount point; raises
/// cache_error "cache root ROOT refused: REASON" naming the first entry of
/// another user (and its owner), the first revision directory of the cache
/// not named by a number, a directory moved while it was looked through, or
/// the root itself when it cannot be listed or searched. Answers what below
/// the root cannot be opened, searched, listed or examined, for any reason
/// but not being there.
unseen_t scan_tree(const tree_t& tree);

}  // namespace cache
