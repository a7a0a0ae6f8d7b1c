// Listen specifications as a user may write them in the configuration: any
// text gives a descriptor or one of the parser's documented errors.
#include <cstddef>
#include <cstdint>

#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>

#include "io/spec_parse_error.h"
#include "io/spec_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static boost::asio::io_service service;
    // The bytes themselves, unterminated: a read past the text is caught.
    const lstr_t text(size, reinterpret_cast<const char*>(data));
    try {
        io::parse_server_spec(service, text);
    } catch (const io::spec_parse_error_shell_t&) {
    } catch (const boost::bad_lexical_cast&) {
    } catch (const boost::system::system_error&) {
    }
    return 0;
}
