// The XML configuration: which listen elements become records, what is kept
// of them, and that a failed reload leaves the previous configuration.
#include "proxy/config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "oslayer/test_support.h"
#include "proxy/command_line_parser.h"

namespace {

/// A record as the tests see it: the listening port and the ring in order.
struct seen_t {
    unsigned port;
    std::vector<std::string> forwards;
    bool operator==(const seen_t& o) const { return port == o.port && forwards == o.forwards; }
};

std::ostream& operator<<(std::ostream& out, const seen_t& s) {
    out << "{" << s.port;
    for (const std::string& f : s.forwards) out << " " << f;
    return out << "}";
}

std::vector<seen_t> seen(const config_t& config) {
    std::vector<seen_t> out;
    for (const listen_spec_t& record : config.listens) {
        EXPECT_TRUE(record.forwards.full());
        seen_t s{0, {record.forwards.begin(), record.forwards.end()}};
        if (const io::ip_server_descriptor* ip = boost::get<io::ip_server_descriptor>(&record.descriptor))
            s.port = ip->endpoint.port();
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

TEST_F(ConfigReload, AcceptedListenElements) {
    struct {
        const char* name;
        const char* body;
        std::vector<seen_t> expected;
    } cases[] = {
        {"two forwards in document order",
         "<listen spec='ip(127.0.0.1),port(3001)'><forward to='tcp/127.0.0.1:1'/><forward to='tcp/127.0.0.1:2'/>"
         "</listen>",
         {{3001, {"tcp/127.0.0.1:1", "tcp/127.0.0.1:2"}}}},
        {"listen without spec is skipped",
         "<listen><forward to='a'/></listen><listen spec='ip(127.0.0.1),port(3002)'><forward to='b'/></listen>",
         {{3002, {"b"}}}},
        {"empty spec is skipped", "<listen spec=''><forward to='a'/></listen>", {}},
        {"forward without to is not counted",
         "<listen spec='ip(127.0.0.1),port(3003)'><forward/><forward to='tcp/127.0.0.1:7'/></listen>",
         {{3003, {"tcp/127.0.0.1:7"}}}},
        {"only forward without to skips the listen", "<listen spec='ip(127.0.0.1),port(3004)'><forward/></listen>",
         {}},
        {"bad to is kept", "<listen spec='ip(127.0.0.1),port(3005)'><forward to='foo/bar'/></listen>",
         {{3005, {"foo/bar"}}}},
        {"second of three fails",
         "<listen spec='ip(127.0.0.1),port(3006)'><forward to='a'/></listen>"
         "<listen spec='ip(127.0.0.1),port(99999)'><forward to='b'/></listen>"
         "<listen spec='ip(127.0.0.1),port(3008)'><forward to='c'/></listen>",
         {{3006, {"a"}}, {3008, {"c"}}}},
        {"unknown elements are ignored",
         "<other/><listen spec='ip(127.0.0.1),port(3009)' x='1'><note/><forward to='a'/></listen>",
         {{3009, {"a"}}}},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(reload(std::string("<velmod-proxy>") + c.body + "</velmod-proxy>"), "") << c.name;
        EXPECT_EQ(seen(config_t::global), c.expected) << c.name;
    }
}

TEST_F(ConfigReload, CacheRootIsTheFirstElementAsWritten) {
    struct {
        const char* body;
        const char* root;
    } cases[] = {
        {"", ""},
        {"<cache-root/>", ""},
        {"<cache-root> /var/c </cache-root>", " /var/c "},
        {"<cache-root>/a</cache-root><cache-root>/b</cache-root>", "/a"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(reload(std::string("<velmod-proxy>") + c.body + "<listen spec='ip()'><forward to='a'/></listen>" +
                         "</velmod-proxy>"),
                  "")
            << c.body;
        EXPECT_EQ(config_t::global.cache_root, c.root) << c.body;
    }
}

TEST_F(ConfigReload, MisnamedRootCommitsAnEmptyConfiguration) {
    ASSERT_EQ(reload("<velmod-proxy><cache-root>/c</cache-root><listen spec='ip()'><forward to='a'/></listen>"
                     "</velmod-proxy>"),
              "");
    ASSERT_EQ(config_t::global.listens.size(), 1u);
    ASSERT_EQ(reload("<velmod><cache-root>/c</cache-root><listen spec='ip()'><forward to='a'/></listen></velmod>"), "");
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
        EXPECT_EQ(seen(config_t::global), std::vector<seen_t>({{3010, {"a"}}})) << c.name;
        EXPECT_EQ(config_t::global.cache_root, "/c") << c.name;
    }
}

}  // namespace
