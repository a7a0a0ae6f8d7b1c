// Client items ("tcp/host:port", "spx/net.node:port", "unx//path", ...):
// every item whose resolution stays inside the process is parsed whole; the
// others still exercise the host and port splitting.
#include <cstddef>
#include <cstdint>

#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>

#include "io/detail/ip.h"
#include "io/spec_parse_error.h"
#include "io/spec_parser.h"
#include "tests/fuzz/offline_client_spec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static boost::asio::io_service service;
    const lstr_t text(size, reinterpret_cast<const char*>(data));
    try {
        if (fuzz::client_spec_offline(text))
            io::parse_client_spec(service, text);
        else
            io::detail::ip::split_host_port(text);
    } catch (const io::spec_parse_error_shell_t&) {
    } catch (const boost::bad_lexical_cast&) {
    } catch (const boost::system::system_error&) {
    }
    return 0;
}
