// The local character set, conversions to and from UTF-8, and the small
// system utilities (directories, programs, encodings, random texts).
#include <sys/utsname.h>

#include <map>

#include "oslayer/runnable.h"
#include "oslayer/utilities.h"
#include "tests/oslayer/test_support.h"

namespace {

std::string charset_of(const std::map<std::string, std::string>& env) {
    return charset_from_environment([&env](const char* name) -> const char* {
        auto it = env.find(name);
        return it == env.end() ? nullptr : it->second.c_str();
    });
}

/// Runs `body` on a thread of its own, whose named objects are dropped after.
template <class F>
void on_fresh_iconv_thread(F body) {
    std::thread([&body] {
        body();
        kern_n::runnable_t::cleanup_tls();
    }).join();
}

/// Replaces the local character set for one test.
class charset_override_t {
public:
    explicit charset_override_t(const char* name) : saved(local_charset) { local_charset = name; }
    ~charset_override_t() { local_charset = saved; }

private:
    std::string saved;
};

/// An executable shell script with `body` in the directory.
std::string script(const oslayer_test::scratch_t& dir, const char* name, const char* body) {
    std::string file = dir.put(name, std::string("#!/bin/sh\n") + body + "\n");
    chmod(file.c_str(), 0755);
    return file;
}

}  // namespace

TEST(LocaleCharset, ChoiceOfVariable) {
    const std::pair<std::map<std::string, std::string>, const char*> cases[] = {
        {{}, "C99"},
        {{{"LANG", "en_US.UTF-8"}}, "UTF-8"},
        {{{"LANG", "a.b.c"}}, "b.c"},
        // LC_MESSAGES of exactly "C" skips LC_ALL, but not the later variables.
        {{{"LC_MESSAGES", "C"}, {"LC_ALL", "fr_FR.ISO-8859-1"}}, "C99"},
        {{{"LC_MESSAGES", "C"}, {"LC_ALL", "fr_FR.ISO-8859-1"}, {"LANG", "x.CP1251"}}, "CP1251"},
        {{{"LC_MESSAGES", ""}, {"LC_ALL", "fr_FR.ISO-8859-1"}}, "ISO-8859-1"},
        {{{"LC_ALL", "C"}, {"LANG", "ru_RU.KOI8-R"}}, "KOI8-R"},
        {{{"LC_COLLATE", "x.EUC-JP"}, {"LC_CTYPE", "y.UTF-8"}}, "EUC-JP"},
        {{{"LANG", "C"}, {"LC_CTYPE", "en_GB.UTF-8"}}, "UTF-8"},
        // A chosen POSIX ends the search: later variables are not consulted.
        {{{"LANG", "POSIX"}}, "C99"},
        {{{"LANG", ""}, {"LC_COLLATE", "C"}, {"LC_CTYPE", ""}}, "C99"}};
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(charset_of(cases[i].first), cases[i].second) << i;
}

TEST(LocaleCharset, SetBeforeMainFromProcessEnvironment) {
    EXPECT_EQ(local_charset, charset_from_environment([](const char* n) { return getenv(n); }));
}

TEST(LocaleConversion, EmptyInputOpensNothingUnknownCharsetCopiesWithOneObjectPerThread) {
    charset_override_t charset("VELMO-NO-SUCH-CHARSET");
    on_fresh_iconv_thread([] {
        std::string out = "stale";
        local_to_utf8(out, "");
        utf8_to_local(out, "");
        EXPECT_EQ(out, "");
        EXPECT_EQ(kern_n::runnable_t::get_tls_value("ICONV-Local-2-Utf8"), nullptr);
        EXPECT_EQ(kern_n::runnable_t::get_tls_value("ICONV-Utf8-2-Local"), nullptr);
        local_to_utf8(out, "caf\xE9");
        EXPECT_EQ(out, "caf\xE9");
        if_root_t* first = kern_n::runnable_t::get_tls_value("ICONV-Local-2-Utf8");
        ASSERT_NE(first, nullptr);
        local_to_utf8(out, "second");
        EXPECT_EQ(out, "second");
        EXPECT_EQ(kern_n::runnable_t::get_tls_value("ICONV-Local-2-Utf8"), first);
        utf8_to_local(out, "\xC3\xA9");
        EXPECT_EQ(out, "\xC3\xA9");
    });
}

TEST(LocaleConversion, Koi8rBothWaysFailuresAndInvalidInputAreCopied) {
    charset_override_t charset("KOI8-R");
    on_fresh_iconv_thread([] {
        std::string out;
        local_to_utf8(out, "x\xC1y");  // KOI8-R 0xC1 is CYRILLIC SMALL LETTER A
        EXPECT_EQ(out, "x\xD0\xB0y");
        utf8_to_local(out, "\xD0\xB0\xD0\xB1");
        EXPECT_EQ(out, "\xC1\xC2");
        std::string same = "\xC1";
        local_to_utf8(same, same);  // output and input may be one string
        EXPECT_EQ(same, "\xD0\xB0");
        // A character KOI8-R lacks, or broken and cut-short UTF-8: a plain copy.
        for (const char* in : {"a\xE2\x82\xAC", "\xC3\x28", "abc\xE2\x82"}) {
            utf8_to_local(out, in);
            EXPECT_EQ(out, in);
        }
    });
}

TEST(LocaleUtf8, Validity) {
    for (const char* good : {"", "abc", "\xC3\xA9\xE2\x82\xAC"}) EXPECT_TRUE(is_valid_utf8(good)) << good;
    // Broken, cut short, overlong, beyond 16 bits.
    for (const char* bad : {"\xC3\x28", "abc\xE2\x82", "\xC0\xAF", "\xF0\x9F\x98\x80"})
        EXPECT_FALSE(is_valid_utf8(bad));
}

TEST(LocaleQEncode, Bytes) {
    EXPECT_EQ(q_encode("a=b", 3), "3b =?ASCII?Q?a==b?=");
    EXPECT_EQ(q_encode("\n", 1), "1b =?ASCII?Q?=0A?=");
    EXPECT_EQ(q_encode("", 0), "0b =?ASCII?Q?" "?=");
    EXPECT_EQ(q_encode(" ~\x7F\xFF\x1F", 5), "5b =?ASCII?Q? ~=7F=FF=1F?=");
    EXPECT_EQ(q_encode("a\0b", 3), "3b =?ASCII?Q?a=00b?=");
}

TEST(LocaleSystem, CurrentDirectoryEndsInASlashAndSurvivesItsRemoval) {
    std::string saved;
    current_directory(saved);
    ASSERT_EQ(saved.back(), '/');
    oslayer_test::scratch_t scratch;
    std::string inner = scratch.path + "/gone";
    ASSERT_EQ(mkdir(inner.c_str(), 0700), 0);
    std::vector<std::string> seen;
    for (const std::string& dir : {std::string("/"), scratch.path, inner}) {
        ASSERT_EQ(chdir(dir.c_str()), 0);
        if (dir == inner) {
            ASSERT_EQ(rmdir(inner.c_str()), 0);  // the working directory no longer exists
        }
        seen.emplace_back();
        current_directory(seen.back());
    }
    ASSERT_EQ(chdir(saved.c_str()), 0);
    EXPECT_EQ(seen, std::vector<std::string>({"/", scratch.path + "/", "./"}));
}

TEST(LocaleSystem, RunProgramWaitingOrNotAndItsEndings) {
    oslayer_test::scratch_t scratch;
    std::string exit3 = script(scratch, "exit3", "exit 3"), count = script(scratch, "count", "exit $#");
    std::string term = script(scratch, "term", "kill -TERM $$"), killed = script(scratch, "killed", "kill -KILL $$");
    // Runs of white space separate words; a bare name is found along the
    // search path; a child that cannot exec leaves at once with -1 (255).
    const struct { std::string program; const char* args; int result; } runs[] = {
        {exit3, "", 3},  {"/bin/sh", "-c true", 0}, {count, "  a \t b   c ", 3},
        {count, " ", 0}, {"sh", exit3.c_str(), 3},   {"/nonexistent/velmo-no-such-program", "x", 255},
        {term, "", -SIGTERM}};
    for (const auto& r : runs) EXPECT_EQ(run_program(r.program.c_str(), r.args, true), r.result) << r.program;
    errno = 0;
    EXPECT_EQ(run_program(killed.c_str(), "", true), -1);
    EXPECT_EQ(errno, ENOENT);
    int pid = run_program(exit3.c_str(), "", false), status = 0;
    ASSERT_GT(pid, 0);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
}

TEST(LocaleSystem, HostNameSpacesAndTimeBreakDown) {
    struct utsname names;
    ASSERT_EQ(uname(&names), 0);
    std::string expected = names.nodename;
    for (char& c : expected)
        if (isspace(static_cast<unsigned char>(c))) c = '_';
    EXPECT_EQ(host_name(), expected);
    char spaced[] = "a b\tc\nd\v\f\re";
    replace_spaces(spaced, 5);
    EXPECT_STREQ(spaced, "a_b_c\nd\v\f\re");  // only the first five bytes
    replace_spaces(spaced, strlen(spaced));
    EXPECT_STREQ(spaced, "a_b_c_d___e");
    struct tm t;
    ASSERT_TRUE(gmtime_safe(951782400, t));  // 2000-02-29 00:00 UTC
    EXPECT_EQ(t.tm_year * 10000 + t.tm_mon * 100 + t.tm_mday, 1000129);
    EXPECT_TRUE(localtime_safe(951782400, t));
    EXPECT_FALSE(gmtime_safe(LLONG_MAX, t));  // the year does not fit
    struct timeval tv;
    time_t before = time(nullptr);
    time_of_day(tv);
    EXPECT_TRUE(tv.tv_usec >= 0 && tv.tv_usec < 1000000) << tv.tv_usec;
    EXPECT_TRUE(tv.tv_sec + 1 >= before && tv.tv_sec <= time(nullptr) + 1);
}

TEST(LocaleRandomString, LengthsAndAlphabet) {
    const std::string alphabet = "qwertyuiopasdfghjklzxcvbnm1234567890QWERTYUIOPASDFGHJKLZXCVBNM";
    std::string out = "stale";
    random_string(out, 0, 0);
    EXPECT_EQ(out, "");
    random_string(out, 8, 8);
    ASSERT_EQ(out.size(), 8u);
    EXPECT_EQ(out.find_first_not_of(alphabet), std::string::npos);
    bool seen[7] = {};
    for (int i = 0; i < 100; ++i) {
        random_string(out, 3, 6);
        ASSERT_GE(out.size(), 3u);
        ASSERT_LT(out.size(), 6u);  // the maximum itself is never reached
        seen[out.size()] = true;
        EXPECT_EQ(out.find_first_not_of(alphabet), std::string::npos);
    }
    EXPECT_TRUE(seen[3] && seen[4] && seen[5]);
    EXPECT_THROW(random_string(out, 5, 4), BUG_exception_shell_t);
}
