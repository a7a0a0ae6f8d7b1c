// Grammar pieces of the listen specification: clause splitting, the
// per-family property tables and the setters they call; and the IPX address
// forms of client items.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/optional.hpp>

#include "io/spec_parse_error.h"
#include "io/spec_parser.h"
#include "oslayer/amtypes.h"

namespace io {
namespace detail {

/// TCP and UDP port of listen entries and client items that name none.
constexpr uint16_t default_ip_port = 2193;
/// Local socket path of entries and items that name none.
constexpr const char* default_local_path = "/tmp/velmod";

/// One "name(value)" clause, both trimmed of blanks; views into the text.
struct clause {
    lstr_t name;
    lstr_t value;
};

/// Splits a listen specification at every ","; throws io::spec_parse_error_shell_t
/// for an empty text and for a piece without "(" and a ")" after it.
std::vector<clause> split_clauses(lstr_t text);

/// The whole text as a decimal unsigned 16-bit number, else boost::bad_lexical_cast.
uint16_t parse_port_number(lstr_t text);

/// The (property name, setter) table of one family.
template <class Target>
class prop_applicator {
public:
    typedef void (*setter_t)(Target&, lstr_t);
    struct entry {
        const char* name;
        setter_t set;
    };

    template <size_t N>
    explicit prop_applicator(const entry (&table)[N]) : table_(table), size_(N) {}

    /// Exact, case-sensitive comparison of a clause name with a property name.
    static bool is_equal(lstr_t clause_name, const char* property) { return clause_name == lstr_t(property); }

    /// Calls the setter of the clause's property; an unknown name raises
    /// io::spec_parse_error_shell_t.
    void apply(Target& target, const clause& item) const {
        for (size_t i = 0; i < size_; ++i) {
            if (is_equal(item.name, table_[i].name)) return table_[i].set(target, item.value);
        }
        D_THROW(io::spec_parse_error, "unknown property %.*s in server spec", static_cast<int>(item.name.length),
                item.name.ptr);
    }

    /// Applies every clause, left to right.
    void apply_all(Target& target, const std::vector<clause>& clauses) const {
        for (const clause& item : clauses) apply(target, item);
    }

private:
    const entry* table_;
    size_t size_;
};

namespace ip {
namespace detail {

/// What the IP family's clauses collect before the descriptor is built.
struct preparsed_server {
    boost::optional<std::string> multicast;
    std::string ip;
    std::string name = "velmo";
    uint16_t port = io::detail::default_ip_port;
    bool ipv6 = false;
    bool discovery = false;

    void set_ip(lstr_t value);
    void set_port(lstr_t value);
    void set_name(lstr_t value);
    void set_discovery(lstr_t value);
    void set_multicast(lstr_t value);
};

/// Converts the collected texts into endpoints; bad address texts raise
/// io::spec_parse_error_shell_t.
io::ip_server_descriptor build_descriptor(const preparsed_server& pre);

}  // namespace detail
}  // namespace ip

namespace ipx {

/// A client item's SPX address; empty parts from "00000000.000000000001:2371".
spx::endpoint parse_spx_address(lstr_t text);
/// A client item's IPX address; empty parts from "00000000.FFFFFFFFFFFF:2371".
ipx::endpoint parse_ipx_address(lstr_t text);

namespace detail {

/// Sets network and node of the stream endpoint from "network.node"; an empty
/// part keeps the current value.
void set_ipx(io::ipx_server_descriptor& descriptor, lstr_t value);

/// Puts a decimal port into an IPX-family endpoint, unconverted.
struct fill_port {
    template <class Endpoint>
    void operator()(lstr_t text, Endpoint& endpoint) const {
        endpoint.port(io::detail::parse_port_number(text));
    }
};

}  // namespace detail
}  // namespace ipx

namespace unx {
namespace detail {

/// The stream socket path; empty means the default path.
void apply_path(io::unix_server_descriptor& descriptor, lstr_t value);
/// Discovery on the given datagram path, or on the current stream path.
void apply_discovery(io::unix_server_descriptor& descriptor, lstr_t value);

}  // namespace detail
}  // namespace unx

}  // namespace detail
}  // namespace io
