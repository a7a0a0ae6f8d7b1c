// Where discovery over local (unix) datagram sockets happens. A listen entry's
// stream socket takes the file at its path, and an answer's source must name
// where the asker connects; so the entry answers discovery at a socket file
// beside it whose name is the stream path with a fixed ending, and the asker
// maps that name back to the stream path. A file, not an abstract name: it
// has the permissions of the stream socket's directory, which no other user
// can take the name from.
#pragma once

#include <cstddef>
#include <string>

#include <boost/asio/local/datagram_protocol.hpp>

namespace io {
namespace discovery {

/// Longest stream path that a discovery address can name.
extern const std::size_t max_local_discovery_path;

/// The address where the local stream socket at `stream_path` answers
/// discovery; a path longer than max_local_discovery_path raises
/// boost::system::system_error (ENAMETOOLONG).
boost::asio::local::datagram_protocol::endpoint local_discovery_address(const std::string& stream_path);

/// The stream path that a discovery address names; empty for any other address.
std::string local_stream_path_of(const boost::asio::local::datagram_protocol::endpoint& source);

/// A fresh name in Linux's abstract namespace for an asker's own socket,
/// which takes no file, drawn from the system's random source so that no
/// other user can predict it and take it first. Without a random source it
/// raises boost::system::system_error.
boost::asio::local::datagram_protocol::endpoint random_asker_address();

}  // namespace discovery
}  // namespace io
