// The command line: defaults, values reaching their fields and the conf/cfg
// resolution; the rejected command lines are run against the real binary.
#include "proxy/command_line_parser.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "oslayer/file.h"
#include "oslayer/test_support.h"
#include "proxy/defaults.h"

namespace {

struct outcome_t {
    settings_t settings;
    std::string error;  ///< "" on success
};

outcome_t parse(std::vector<const char*> args) {
    outcome_t out;
    args.insert(args.begin(), "velmod-proxy");
    command_line_parser_t parser(&out.settings);
    try {
        parser.parse(static_cast<int>(args.size()), args.data());
    } catch (const std::exception& e) {
        out.error = e.what();
    }
    return out;
}

TEST(CommandLineParser, DefaultsAndValuesReachTheirFields) {
    struct {
        std::vector<const char*> args;
        const char* fields;  // verbosity|rotate|file log|pool size|trace console daemon help|command
    } cases[] = {
        {{}, "trace3|10,10m||2|0000|0"},
        {{"--verbosity=debug", "--rotate", "NONE", "--use-file-log=/l/x.log", "--trace", "--use-console-log",
          "--daemon", "--help", "--pool-size", "7"},
         "debug|NONE|/l/x.log|7|1111|0"},
    };
    for (const auto& c : cases) {
        outcome_t out = parse(c.args);
        ASSERT_EQ(out.error, "");
        const settings_t& s = out.settings;
        EXPECT_EQ(s.verbosity + "|" + s.rotate + "|" + s.use_file_log + "|" + std::to_string(s.pool_size) + "|" +
                      std::to_string(s.trace) + std::to_string(s.use_console_log) + std::to_string(s.daemon) +
                      std::to_string(s.help) + "|" + std::to_string(s.requested_command),
                  c.fields);
    }
    EXPECT_EQ(parse({}).settings.conf, quarnel::get_default_cfg_path());
}

TEST(CommandLineParser, PoolSizeIsAWholeNumberFromOneToTheLimit) {
    ASSERT_EQ(command_line_parser_t::pool_size_limit, 128u);
    struct {
        const char* text;
        uint32_t size;  // 0: refused
    } cases[] = {
        {"1", 1}, {"128", 128}, {"+3", 3}, {"007", 7}, {"0", 0}, {"000", 0}, {"-1", 0}, {"-0", 0}, {"129", 0},
        {"4294967295", 0}, {"4294967296", 0}, {"99999999999999999999999", 0}, {"", 0}, {"+", 0}, {"abc", 0},
        {" 3", 0}, {"3 ", 0}, {"0x10", 0}, {"1e2", 0},
    };
    for (const auto& c : cases) {
        outcome_t out = parse({"--pool-size", c.text});
        EXPECT_EQ(out.settings.pool_size, c.size) << c.text;
        const std::string refusal = "the argument ('" + std::string(c.text) + "') for option '--pool-size' is invalid";
        EXPECT_EQ(out.error.substr(0, refusal.size()), c.size ? "" : refusal) << out.error;
    }
    EXPECT_NE(parse({"--pool-size=0"}).error.find("is invalid: it is not a number of threads from 1 to 128"), std::string::npos);
    // The limit is what the environment's bounds made it.
    command_line_parser_t::pool_size_limit = 3;
    outcome_t three = parse({"--pool-size", "3"}), four = parse({"--pool-size", "4"});
    command_line_parser_t::pool_size_limit = 128;
    EXPECT_EQ(three.settings.pool_size, 3u);
    EXPECT_NE(four.error.find("from 1 to 3"), std::string::npos) << four.error;
}

TEST(CommandLineParser, ConfWinsOverTheDeprecatedCfg) {
    struct {
        std::vector<const char*> args;
        const char* conf;
    } cases[] = {
        {{"--cfg", "/x.xml"}, "/x.xml"},
        {{"--conf", "/a.xml", "--cfg", "/b.xml"}, "/a.xml"},
        {{"--cfg=/b.xml", "--conf=/a.xml"}, "/a.xml"},
        {{"--conf", ""}, ""},
    };
    for (const auto& c : cases) {
        outcome_t out = parse(c.args);
        EXPECT_EQ(out.error, "") << c.args[0];
        EXPECT_EQ(out.settings.conf, c.conf) << c.args[0];
    }
}

TEST(Defaults, PathsFallBackToTheCurrentDirectory) {
    EXPECT_EQ(quarnel::get_default_wrk_dir(), "/var/opt/velmo/etc/");
    EXPECT_EQ(quarnel::get_default_log_path(), "/var/opt/velmo/etc/velmod-proxy.log");
    if (file_t("/var/opt/velmo/etc/velmod-proxy.xml").exists()) {
        EXPECT_EQ(quarnel::get_default_cfg_path(), "/var/opt/velmo/etc/velmod-proxy.xml");
        return;
    }
    oslayer_test::scratch_t dir;
    char saved[4097] = {};
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    std::string path = quarnel::get_default_cfg_path();
    ASSERT_EQ(chdir(saved), 0);
    EXPECT_EQ(path, file_t::resolve_path(dir.path) + "/velmod-proxy.xml");
}

}  // namespace
