// The XML configuration: which listen elements become records, what is kept
// of them, and that a failed reload leaves the previous configuration.
#include "proxy/config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "oslayer/test_support.h"
#include "proxy/command_line_parser.h"

namespace {

/// The records as the tests see them: "<port> <forward>..." each, the ring in order.
std::vector<std::string> seen(const config_t& config) {
    std::vector<std::string> out;
    for (const listen_spec_t& record : config.listens) {
        EXPECT_TRUE(record.forwards.full());
        const io::ip_server_descriptor* ip = boost::get<io::ip_server_descriptor>(&record.descriptor);
        std::string s = std::to_string(ip ? ip->endpoint.port() : 0);
        for (const std::string& f : record.forwards) s += " " + f;
        out.push_back(s);
    }
    return out;
}

class ConfigReload : public testing::Test {
protected:
    void TearDown() override { config_t::global = config_t(); }

    /// Reloads from `xml` written to a file; the error text, or "".
    std::string reload(const std::string& xml) {
        settings_t::global.conf = dir.put("velmod-proxy.xml", xml);
        return reload_current();
    }
    std::string reload_current() {
        try {
            config_t::global.reload(service);
        } catch (const std::exception& e) {
            return e.what();
        }
        return "";
    }

    oslayer_test::scratch_t dir;
    boost::asio::io_service service;
};

/// Which listen elements become records and which cache root is kept; the
/// start-up logs of skipped elements are checked against the real binary.
TEST_F(ConfigReload, AcceptedElements) {
    const std::string one = "<listen spec='ip(127.0.0.1),port(3001)'><forward to='a'/></listen>";
    struct {
        const char* name;
        std::string xml;
        std::vector<std::string> expected;
        const char* root;
    } cases[] = {
        {"two forwards in document order",
         "<listen spec='ip(127.0.0.1),port(3001)'><forward to='tcp/127.0.0.1:1'/><forward to='tcp/127.0.0.1:2'/>"
         "</listen>",
         {"3001 tcp/127.0.0.1:1 tcp/127.0.0.1:2"}, ""},
        {"empty spec is skipped", "<listen spec=''><forward to='a'/></listen>", {}, ""},
        {"forward without to is not counted",
         "<listen spec='ip(127.0.0.1),port(3003)'><forward/><forward to='tcp/127.0.0.1:7'/></listen>",
         {"3003 tcp/127.0.0.1:7"}, ""},
        {"unknown elements are ignored",
         "<other/><listen spec='ip(127.0.0.1),port(3009)' x='1'><note/><forward to='a'/></listen>",
         {"3009 a"}, ""},
        {"empty cache root", "<cache-root/>" + one, {"3001 a"}, ""},
        {"cache root as written", "<cache-root> /var/c </cache-root>" + one, {"3001 a"}, " /var/c "},
        {"first cache root", "<cache-root>/a</cache-root><cache-root>/b</cache-root>" + one, {"3001 a"}, "/a"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(reload("<velmod-proxy>" + c.xml + "</velmod-proxy>"), "") << c.name;
        EXPECT_EQ(seen(config_t::global), c.expected) << c.name;
        EXPECT_EQ(config_t::global.cache_root, c.root) << c.name;
    }
    // A misnamed root element commits an empty configuration.
    ASSERT_EQ(reload("<velmod><cache-root>/c</cache-root>" + one + "</velmod>"), "");
    EXPECT_TRUE(config_t::global.listens.empty());
    EXPECT_EQ(config_t::global.cache_root, "");
}

TEST_F(ConfigReload, FailedReloadKeepsThePreviousConfiguration) {
    const std::string good =
        "<velmod-proxy><cache-root>/c</cache-root><listen spec='ip(127.0.0.1),port(3010)'><forward to='a'/>"
        "</listen></velmod-proxy>";
    struct {
        const char* name;
        std::string path;
        const char* content;  // null: nothing is written
        const char* error;
    } cases[] = {
        {"missing file", dir.path + "/missing.xml", nullptr, "Unable to load config file "},
        {"not well-formed", dir.path + "/bad.xml", "<velmod-proxy><listen></velmod-proxy>",
         "Unable to load config file "},
        {"empty file", dir.path + "/empty.xml", "", "Unable to load config file "},
        {"a directory", dir.path, nullptr, ""},
        {"empty path", "", nullptr, "empty fullpath"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(reload(good), "");
        if (c.content) dir.put(c.path.substr(dir.path.size() + 1), c.content);
        settings_t::global.conf = c.path;
        std::string error = reload_current();
        EXPECT_NE(error, "") << c.name;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.name << ": " << error;
        if (*c.error == 'U') {
            EXPECT_NE(error.find(c.path + " because of "), std::string::npos) << error;
        }
        EXPECT_EQ(seen(config_t::global), std::vector<std::string>{"3010 a"}) << c.name;
        EXPECT_EQ(config_t::global.cache_root, "/c") << c.name;
    }
}

/// A usable document behind a document type declaration: each is refused
/// before its entities are expanded, with a short error, and the previous
/// configuration stays.
TEST_F(ConfigReload, DocumentTypeDeclarationsAreRefused) {
    const std::string good = "<velmod-proxy><listen spec='ip(127.0.0.1),port(3011)'><forward to='tcp/127.0.0.1:1'/></listen>"
                             "</velmod-proxy>";
    const std::string listen = "<listen spec='ip(127.0.0.1),port(3012)'><forward to='tcp/127.0.0.1:1'/></listen>";
    std::string laughs = "<!ENTITY l0 'lol'>";
    for (int i = 1; i < 10; ++i) {
        laughs += "<!ENTITY l" + std::to_string(i) + " '";
        for (int j = 0; j < 10; ++j) laughs += "&l" + std::to_string(i - 1) + ";";
        laughs += "'>";
    }
    std::string quadratic_refs;
    for (int i = 0; i < 20000; ++i) quadratic_refs += "&e;";
    // UTF-16 with a byte-order mark: no byte search for "<!DOCTYPE" would see it.
    std::string utf16 = "\xff\xfe";
    for (char c : "<?xml version='1.0' encoding='UTF-16'?>\n<!DOCTYPE velmod-proxy><velmod-proxy/>")
        if (c) utf16 += std::string{c, '\0'};
    struct {
        const char* name;
        std::string xml;
        int line;
    } cases[] = {
        {"bare", "<!DOCTYPE velmod-proxy>\n<velmod-proxy>" + listen + "</velmod-proxy>", 1},
        {"quadratic", "<?xml version='1.0'?>\n<!DOCTYPE velmod-proxy [<!ENTITY e '" + std::string(20000, 'x') +
                          "'>]>\n<velmod-proxy><cache-root>" + quadratic_refs + "</cache-root>" + listen +
                          "</velmod-proxy>",
         2},
        {"billion laughs", "<!DOCTYPE velmod-proxy [" + laughs + "]><velmod-proxy><listen spec='&l9;'/></velmod-proxy>",
         1},
        {"external entity",
         "\n\n<!DOCTYPE velmod-proxy [<!ENTITY x SYSTEM 'file:///etc/hostname'>]><velmod-proxy><cache-root>&x;"
         "</cache-root>" + listen + "</velmod-proxy>",
         3},
        {"external subset", "<!DOCTYPE velmod-proxy SYSTEM 'http://127.0.0.1:1/x.dtd'><velmod-proxy/>", 1},
        {"utf-16", utf16, 2},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(reload(good), "");
        std::string error = reload(c.xml);
        EXPECT_EQ(error, "Unable to load config file " + settings_t::global.conf +
                             " because of a document type declaration (DOCTYPE) on line " + std::to_string(c.line) +
                             ": DTDs and entities are not accepted")
            << c.name;
        EXPECT_EQ(seen(config_t::global), std::vector<std::string>{"3011 tcp/127.0.0.1:1"}) << c.name;
    }
}

}  // namespace
