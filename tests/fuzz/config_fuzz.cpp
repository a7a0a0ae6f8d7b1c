// The XML configuration loader on arbitrary files. A document whose `to`
// items would need a name lookup is left out, so that no run reaches DNS.
// A reload either takes the new configuration or raises and keeps the old.
#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <boost/asio/io_service.hpp>

#include "oslayer/_kern.h"
#include "proxy/command_line_parser.h"
#include "proxy/config.h"
#include "tests/fuzz/offline_client_spec.h"

namespace {

/// True when every `to` attribute of the document (if it parses) can be
/// checked without a resolver; the loader parses the same bytes the same way.
bool forwards_offline(const uint8_t* data, size_t size) {
    xmlDocPtr doc = xmlParseMemory(reinterpret_cast<const char*>(data), static_cast<int>(size));
    if (doc == nullptr) return true;
    bool offline = true;
    xmlXPathContextPtr context = xmlXPathNewContext(doc);
    xmlXPathObjectPtr found =
        context ? xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>("//@to"), context) : nullptr;
    if (found == nullptr) offline = false;
    for (int i = 0; found && found->nodesetval && i < found->nodesetval->nodeNr; ++i) {
        xmlChar* value = xmlNodeGetContent(found->nodesetval->nodeTab[i]);
        offline = offline && fuzz::client_spec_offline(lstr_t(value ? reinterpret_cast<const char*>(value) : ""));
        xmlFree(value);
    }
    xmlXPathFreeObject(found);
    xmlXPathFreeContext(context);
    xmlFreeDoc(doc);
    return offline;
}

/// One temporary file for the whole run, rewritten for every input; a plain
/// array, so that it still holds the name when the exit handler removes it.
char config_file[] = "/tmp/velmo-fuzz-config-XXXXXX";

void remove_config_file() { unlink(config_file); }

const char* config_path() {
    static const bool made = [] {
        const int fd = mkstemp(config_file);
        if (fd < 0) std::abort();
        close(fd);
        std::atexit(remove_config_file);
        return true;
    }();
    (void)made;
    return config_file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static boost::asio::io_service service;
    if (size > 64 * 1024 || !forwards_offline(data, size)) return 0;
    FILE* file = std::fopen(config_path(), "wb");
    if (file == nullptr) std::abort();
    if (size != 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);
    settings_t::global.conf = config_path();
    config_t config;
    try {
        config.reload(service);
    } catch (const d_exception_t_shell_t&) {
        if (!config.listens.empty() || !config.cache_root.empty()) std::abort();
    }
    return 0;
}
