// The command line: defaults, the conf/cfg resolution, and which errors are
// the daemon's own and which the option library's.
#include "proxy/command_line_parser.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "oslayer/_kern.h"
#include "oslayer/file.h"
#include "oslayer/test_support.h"
#include "proxy/defaults.h"

namespace {

const char positional_error[] = "positional options(options without -- prefix) aren`t allowed";

struct outcome_t {
    settings_t settings;
    /// "" on success, "own: <text>" for the daemon's error, "library: <text>" otherwise.
    std::string error;
};

outcome_t parse(std::vector<const char*> args) {
    outcome_t out;
    args.insert(args.begin(), "velmod-proxy");
    command_line_parser_t parser(&out.settings);
    try {
        parser.parse(static_cast<int>(args.size()), args.data());
    } catch (const d_exception_t_shell_t& e) {
        out.error = std::string("own: ") + e.what();
    } catch (const std::exception& e) {
        out.error = std::string("library: ") + e.what();
    }
    return out;
}

TEST(CommandLineParser, NoArgumentsGivesTheDefaults) {
    outcome_t out = parse({});
    ASSERT_EQ(out.error, "");
    const settings_t& s = out.settings;
    EXPECT_EQ(s.conf, quarnel::get_default_cfg_path());
    EXPECT_EQ(s.pool_size, 2u);
    EXPECT_EQ(s.verbosity, "trace3");
    EXPECT_EQ(s.rotate, "10,10m");
    EXPECT_EQ(s.use_file_log, "");
    EXPECT_FALSE(s.trace || s.use_console_log || s.help || s.daemon);
    EXPECT_EQ(s.requested_command, 0);
}

TEST(CommandLineParser, ValuesReachTheirFields) {
    outcome_t out = parse({"--verbosity=debug", "--rotate", "NONE", "--use-file-log=/l/x.log", "--trace",
                           "--use-console-log", "--daemon", "--help", "--pool-size", "7"});
    ASSERT_EQ(out.error, "");
    const settings_t& s = out.settings;
    EXPECT_EQ(s.verbosity, "debug");
    EXPECT_EQ(s.rotate, "NONE");
    EXPECT_EQ(s.use_file_log, "/l/x.log");
    EXPECT_EQ(s.pool_size, 7u);
    EXPECT_TRUE(s.trace && s.use_console_log && s.daemon && s.help);
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

TEST(CommandLineParser, RejectedCommandLines) {
    struct {
        std::vector<const char*> args;
        const char* error_prefix;
    } cases[] = {
        {{"--conf", "/a.xml", "extra"}, "own: "},
        {{"extra"}, "own: "},
        {{"-h"}, "library: "},
        {{"--pool-size", "abc"}, "library: "},
        {{"--conf"}, "library: "},
        {{"--conf=a", "--conf=b"}, "library: "},
        {{"--use=x"}, "library: "},  // ambiguous: use-console-log or use-file-log
        {{"--help", "-x"}, "library: "},
    };
    for (const auto& c : cases) {
        outcome_t out = parse(c.args);
        std::string own = std::string("own: ") + positional_error;
        EXPECT_EQ(out.error.rfind(c.error_prefix, 0), 0u) << c.args[0] << " -> " << out.error;
        if (std::string(c.error_prefix) == "own: ") {
            EXPECT_EQ(out.error, own);
        }
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
