#include "proxy/config.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>
#include <libxml/xpath.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <climits>
#include <cstdio>
#include <memory>
#include <sstream>

#include <boost/variant/apply_visitor.hpp>
#include <boost/variant/static_visitor.hpp>

#include "io/detail/ipx.h"
#include "io/discovery/local_address.h"
#include "io/discovery/server.h"
#include "io/server.h"
#include "oslayer/amtypes.h"
#include "oslayer/file.h"
#include "oslayer/loggers.h"
#include "oslayer/utilities.h"
#include "proxy/command_line_parser.h"

config_t config_t::global;

namespace {

// ------------------------------------------------------------ libxml2

void ignore_xml_message(void*, const char*, ...) {}

/// libxml2's process-wide state: set up before main, released at exit. Its
/// own console messages are silenced: every failure it reports reaches the
/// log through the error that the reload raises.
struct xml_library_t {
    xml_library_t() {
        xmlInitParser();
        xmlSetGenericErrorFunc(nullptr, ignore_xml_message);
        xmlThrDefSetGenericErrorFunc(nullptr, ignore_xml_message);
    }
    ~xml_library_t() { xmlCleanupParser(); }
} xml_library;

/// libxml2's last error message without its line end, and the line when known.
std::string last_xml_error() {
    xmlErrorPtr error = xmlGetLastError();
    if (error == nullptr || error->message == nullptr) return std::string();
    std::string text(error->message);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (error->line > 0) text += format_string(" (line %d)", error->line);
    return text;
}

struct doc_deleter {
    void operator()(xmlDocPtr doc) const { xmlFreeDoc(doc); }
};
struct object_deleter {
    void operator()(xmlXPathObjectPtr object) const { xmlXPathFreeObject(object); }
};
typedef std::unique_ptr<xmlDoc, doc_deleter> doc_ptr;
typedef std::unique_ptr<xmlXPathObject, object_deleter> object_ptr;

/// The queries of one parsed configuration document.
class xpath_t {
public:
    explicit xpath_t(xmlDocPtr doc);
    ~xpath_t();
    xpath_t(const xpath_t&) = delete;
    xpath_t& operator=(const xpath_t&) = delete;

    /// The expression's value as an XPath object, an int or a text.
    template <class T>
    T eval_xpath(const std::string& expression);
    /// The text value, or `fallback` (logged) when the evaluation fails.
    std::string eval_xpath(const std::string& expression, const std::string& fallback);

private:
    static void convert(object_ptr& object, int& out);
    static void convert(object_ptr& object, std::string& out);
    static void throw_if_empty_nodeset(const xmlXPathObject& object);
    static std::string result_text(int value) { return format_string("%d", value); }
    static const std::string& result_text(const std::string& value) { return value; }

    xmlXPathContextPtr context_;
};

xpath_t::xpath_t(xmlDocPtr doc) : context_(xmlXPathNewContext(doc)) {
    TRACE_POINT;
    if (context_ == nullptr)
        D_THROW(BUG_exception, "Unable to create xpath context because of %s", last_xml_error().c_str());
}

xpath_t::~xpath_t() { xmlXPathFreeContext(context_); }

template <>
object_ptr xpath_t::eval_xpath<object_ptr>(const std::string& expression) {
    TRACE_POINT;
    object_ptr result(xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(expression.c_str()), context_));
    if (!result)
        D_THROW(BUG_exception, "Cannot parse xpath expression '%s' because of '%s'", expression.c_str(),
                last_xml_error().c_str());
    return result;
}

template <class T>
T xpath_t::eval_xpath(const std::string& expression) {
    TRACE_POINT;
    object_ptr object = eval_xpath<object_ptr>(expression);
    T value;
    convert(object, value);
    LOG_AT(LOG_LEVEL_DEBUG, "Result for %s is %s", expression.c_str(), result_text(value).c_str());
    return value;
}

std::string xpath_t::eval_xpath(const std::string& expression, const std::string& fallback) {
    TRACE_POINT;
    std::string reason;
    try {
        return eval_xpath<std::string>(expression);
    } catch (const std::exception& e) {
        reason = e.what();
    } catch (...) {
        reason = "general error";
    }
    pretty_print_exception(LOG_LEVEL_NOTICE,
                           format_string("%s gave no result because of %s", expression.c_str(), reason.c_str()).c_str(),
                           nullptr, nullptr);
    LOG_AT(LOG_LEVEL_DEBUG, "Use default value %s", fallback.c_str());
    return fallback;
}

void xpath_t::throw_if_empty_nodeset(const xmlXPathObject& object) {
    TRACE_POINT;
    if (object.type != XPATH_NODESET) return;
    if (object.nodesetval == nullptr || object.nodesetval->nodeNr == 0 || object.nodesetval->nodeTab == nullptr)
        D_THROW(BUG_exception, "attempt to convert empty nodeset to number or string type");
}

void xpath_t::convert(object_ptr& object, int& out) {
    TRACE_POINT;
    throw_if_empty_nodeset(*object);
    if (object->type != XPATH_NUMBER) {
        // The conversion consumes its argument and hands back a new object.
        object.reset(xmlXPathConvertNumber(object.release()));
        if (!object) D_THROW(BUG_exception, "cannot convert to int because of %s", last_xml_error().c_str());
    }
    double number = std::trunc(object->floatval);
    // Converting NaN or a value beyond int to int is undefined.
    if (!(number >= INT_MIN && number <= INT_MAX))
        D_THROW(BUG_exception, "cannot convert to int because of %s", "value is not a number in the int range");
    out = static_cast<int>(number);
}

void xpath_t::convert(object_ptr& object, std::string& out) {
    TRACE_POINT;
    throw_if_empty_nodeset(*object);
    if (object->type != XPATH_STRING) {
        object.reset(xmlXPathConvertString(object.release()));
        if (!object) D_THROW(BUG_exception, "cannot convert to string because of %s", last_xml_error().c_str());
    }
    out = object->stringval ? reinterpret_cast<const char*>(object->stringval) : "";
}

std::string positional(const char* format, int i) {
    char expression[256];
    snprintf(expression, sizeof expression, format, i);
    return expression;
}

std::string positional(const char* format, int i, int j) {
    char expression[256];
    snprintf(expression, sizeof expression, format, i, j);
    return expression;
}

// ------------------------------------------------------------ endpoint texts

std::string endpoint_text(const boost::asio::ip::tcp::endpoint& at) {
    std::ostringstream text;
    text << "tcp/" << at;
    return text.str();
}
std::string endpoint_text(const boost::asio::ip::udp::endpoint& at) {
    return io::discovery::udp_endpoint_to_string(at);
}
std::string endpoint_text(const io::detail::ipx::spx::endpoint& at) {
    return io::detail::ipx::spx_endpoint_to_string(at);
}
std::string endpoint_text(const io::detail::ipx::ipx::endpoint& at) {
    return io::detail::ipx::ipx_endpoint_to_string(at);
}
std::string endpoint_text(const boost::asio::local::stream_protocol::endpoint& at) { return "unx/" + at.path(); }
std::string endpoint_text(const boost::asio::local::datagram_protocol::endpoint& at) {
    return io::discovery::udx_endpoint_to_string(at);
}

struct descriptor_log_t : boost::static_visitor<void> {
    template <class Descriptor>
    void operator()(const Descriptor& d) const {
        LOG_AT(LOG_LEVEL_DEBUG, "[Config/Spec] Server local endpoint is %s", endpoint_text(d.endpoint).c_str());
        LOG_AT(LOG_LEVEL_DEBUG, "[Config/Spec] Server name is %s%s", d.name.c_str(),
               d.name == "velmo" ? " (default)" : "");
        if (!d.discovery) {
            LOG_AT(LOG_LEVEL_DEBUG, "[Config/Spec] Server discovery not specified");
            return;
        }
        LOG_AT(LOG_LEVEL_DEBUG, "[Config/Spec] Server discovery local endpoint is %s",
               endpoint_text(d.discovery->endpoint).c_str());
        if (d.discovery->multicast)
            LOG_AT(LOG_LEVEL_DEBUG, "[Config/Spec] Server multicast endpoint is %s",
                   endpoint_text(*d.discovery->multicast).c_str());
        else
            LOG_AT(LOG_LEVEL_DEBUG, "[Config/Spec] Server multicast not specified");
    }
};

struct client_endpoint_log_t : boost::static_visitor<void> {
    template <class Endpoint>
    void operator()(const Endpoint& at) const {
        LOG_AT(LOG_LEVEL_DEBUG, "[Config/Spec] Client endpoint is %s", endpoint_text(at).c_str());
    }
};

// ------------------------------------------------------------ the document

/// Checks one `to` text; a text that does not parse is reported and kept, so
/// that an upstream that cannot be resolved now may still be reached later.
void check_client_spec(boost::asio::io_service& service, const std::string& text) {
    std::string reason;
    try {
        for (const io::client_endpoint& at : io::parse_client_spec(service, text)) {
            boost::apply_visitor(client_endpoint_log_t(), at);
            // A local target is asked at the address that names its path.
            if (const auto* local = boost::get<boost::asio::local::datagram_protocol::endpoint>(&at))
                io::discovery::local_discovery_address(local->path());
        }
        return;
    } catch (const std::exception& e) {
        reason = e.what();
    } catch (...) {
        reason = "general error";
    }
    pretty_print_exception(
        LOG_LEVEL_ERROR, format_string("Cannot parse client spec %s because of %s", text.c_str(), reason.c_str()).c_str(),
        nullptr, nullptr);
}

listen_spec_t load_listen(boost::asio::io_service& service, xpath_t& xpath, int i) {
    listen_spec_t record;
    std::string spec = xpath.eval_xpath(positional("string(/velmod-proxy/listen[%d]/@spec)", i), "ip");
    record.descriptor = io::parse_server_spec(service, spec);
    io::server::check(record.descriptor);
    boost::apply_visitor(descriptor_log_t(), record.descriptor);
    int forwards = xpath.eval_xpath<int>(positional("count(/velmod-proxy/listen[%d]/forward[@to])", i));
    if (forwards <= 0) D_THROW(BUG_exception, "must be at least one forward child tag in listen[%d] tag", i);
    record.forwards.set_capacity(forwards);
    for (int j = 1; j <= forwards; ++j) {
        std::string to = xpath.eval_xpath<std::string>(
            positional("string(/velmod-proxy/listen[%d]/forward[@to][%d]/@to)", i, j));
        check_client_spec(service, to);
        record.forwards.push_back(to);
    }
    return record;
}

/// Appends the element's record, or logs why it is skipped.
void try_load_listen(boost::asio::io_service& service, xpath_t& xpath, int i, std::vector<listen_spec_t>& out) {
    log_failure(LOG_LEVEL_ERROR, "Cannot load listen tag because of %s",
                [&] { out.push_back(load_listen(service, xpath, i)); });
}

struct parser_deleter {
    void operator()(xmlParserCtxtPtr parser) const { xmlFreeParserCtxt(parser); }
};
typedef std::unique_ptr<xmlParserCtxt, parser_deleter> parser_ptr;

/// The parser's event for "<!DOCTYPE name ...": it comes before any
/// declaration inside is read, and the parse ends here. Entity declarations
/// are how a small file expands into gigabytes; the configuration needs none.
/// The parser's private pointer names where the line goes.
void refuse_doctype(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
    xmlParserCtxtPtr parser = static_cast<xmlParserCtxtPtr>(context);
    *static_cast<int*>(parser->_private) = parser->input ? std::max(parser->input->line, 1) : 1;
    xmlStopParser(parser);
}

/// The parsed document; null when the text is not well-formed, with the line
/// of a refused document type declaration in `doctype_line` (else 0).
doc_ptr parse_refusing_doctype(const mbuf_t& content, int& doctype_line) {
    doctype_line = 0;
    // No document at all in an empty text: the parser is not even created.
    parser_ptr parser(xmlCreateMemoryParserCtxt(content.data, static_cast<int>(content.used)));
    if (!parser) return doc_ptr();
    // No entity substitution, no DTD loading, no network: the defaults, spelt out.
    xmlCtxtUseOptions(parser.get(), XML_PARSE_NONET);
    // The handler table is this parser's own copy.
    parser->sax->internalSubset = refuse_doctype;
    parser->_private = &doctype_line;
    xmlParseDocument(parser.get());
    doc_ptr doc(parser->myDoc);
    parser->myDoc = nullptr;
    if (!parser->wellFormed) doc.reset();
    return doc;
}

// ------------------------------------------------------------ the file

[[noreturn]] void refuse_file(const std::string& path, const std::string& reason) {
    D_THROW(open_io_error_exception, "Unable to load config file %s because of %s", path.c_str(), reason.c_str());
}

/// Bytes asked of each read of the configuration file.
constexpr size_t read_step = 65536;

/// Closes the descriptor on every way out.
struct fd_closer {
    int fd;
    ~fd_closer() { ::close(fd); }
};

/// The whole configuration file. The open never waits: a named pipe would hold
/// it until some writer came, and with it every signal this thread handles.
/// Only a regular file is read, as the descriptor says, not as the path said
/// a moment before.
void read_config_file(const std::string& path, mbuf_t& content) {
    if (path.empty()) D_THROW(BUG_exception, "empty fullpath");
    int fd;
    while ((fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)) < 0 && errno == EINTR) {}
    if (fd < 0) refuse_file(path, get_last_error());
    fd_closer closer{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0) refuse_file(path, get_last_error());
    if (!S_ISREG(st.st_mode)) refuse_file(path, format_string("it is not a regular file (%s)", file_t::kind_of(st.st_mode)));
    if (st.st_size > INT_MAX) refuse_file(path, "the file is too large");
    // Read to the end, not to the size seen: the file may change meanwhile.
    for (;;) {
        if (content.used > static_cast<size_t>(INT_MAX)) refuse_file(path, "the file is too large");
        char* to = content.extend(read_step);
        ssize_t n = ::read(fd, to, read_step);
        content.used -= read_step - (n > 0 ? static_cast<size_t>(n) : 0);
        if (n == 0) return;
        if (n < 0 && errno != EINTR) refuse_file(path, get_last_error());
    }
}

doc_ptr parse_document(const std::string& path) {
    mbuf_t content;
    read_config_file(path, content);
    // A stale error from an earlier parse must not stand in for this one's.
    xmlResetLastError();
    int doctype_line = 0;
    doc_ptr doc = parse_refusing_doctype(content, doctype_line);
    if (doctype_line != 0)
        D_THROW(open_io_error_exception,
                "Unable to load config file %s because of a document type declaration (DOCTYPE) on line %d: "
                "DTDs and entities are not accepted",
                path.c_str(), doctype_line);
    if (!doc) {
        std::string reason = last_xml_error();
        if (reason.empty()) reason = content.used == 0 ? "the file is empty" : "no XML document in it";
        D_THROW(open_io_error_exception, "Unable to load config file %s because of %s", path.c_str(), reason.c_str());
    }
    return doc;
}

}  // namespace

void config_t::reload(boost::asio::io_service& service) {
    TRACE_POINT;
    std::vector<listen_spec_t> records;
    std::string root;
    const std::string& path = settings_t::global.conf;
    doc_ptr doc = parse_document(path);
    xpath_t xpath(doc.get());
    if (xpath.eval_xpath<int>("count(/velmod-proxy/cache-root)") != 0)
        root = xpath.eval_xpath<std::string>("string(/velmod-proxy/cache-root)");
    int count = xpath.eval_xpath<int>("count(/velmod-proxy/listen)");
    for (int i = 1; i <= count; ++i) try_load_listen(service, xpath, i, records);
    listens.swap(records);
    cache_root.swap(root);
}
