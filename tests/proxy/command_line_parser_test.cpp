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
