// File routines on real files, the uptime text and the owning list.
#include "oslayer/common-utils.h"

#include "oslayer/utilities.h"
#include "tests/oslayer/test_support.h"

namespace {

using oslayer_test::sys_text;

template <class F>
std::string io_error(F call) {
    return oslayer_test::error_of<io_error_exception_shell_t>(call);
}

TEST(CommonUtilsFiles, ReadEntireFileAppendsAcrossReadPiecesAndReadsProcFilesToTheEnd) {
    oslayer_test::scratch_t dir;
    std::string out = "keep:";
    std::string& result = read_entire_file(out, dir.put("empty", "").c_str());
    EXPECT_EQ(&out, &result);
    EXPECT_EQ("keep:", out);
    read_entire_file(out, dir.put("small", "abc\ndef").c_str());
    EXPECT_EQ("keep:abc\ndef", out);
    // Longer than two read pieces of 512 KiB, with a non-repeating tail.
    std::string content;
    for (size_t i = 0; content.size() < 524288 * 2 + 1000; ++i) content += std::to_string(i) + ',';
    out.clear();
    read_entire_file(out, dir.put("big", content).c_str());
    EXPECT_EQ(content, out);
    EXPECT_EQ(content.size(), get_file_length(dir.put("big2", content).c_str()));
    // /proc files announce a size of 0 and cannot seek to their end.
    out.clear();
    read_entire_file(out, "/proc/self/status");
    EXPECT_NE(std::string::npos, out.find("\nVmRSS:"));
    EXPECT_EQ('\n', out.back());
    EXPECT_EQ("cannot seek file \"/proc/self/status\" beyond EOF because of " + sys_text(EINVAL),
              io_error([] { get_file_length("/proc/self/status"); }));
}

TEST(CommonUtilsFiles, ErrorsNameFileAndReasonAndReleaseDescriptors) {
    oslayer_test::scratch_t dir;
    std::string missing = dir.path + "/missing", path = dir.put("f", "12345");
    std::string open_error = "cannot open file \"" + missing + "\" for read because of " + sys_text(ENOENT);
    std::string out = "x";
    EXPECT_EQ(open_error, io_error([&] { read_entire_file(out, missing.c_str()); }));
    EXPECT_EQ("x", out);
    // The open fails first, so the seek error is never reached.
    EXPECT_EQ(open_error, io_error([&] { get_file_length(missing.c_str()); }));
    EXPECT_EQ(open_error, io_error([&] { open_file(missing.c_str()); }));
    EXPECT_THROW(read_entire_file(out, dir.path.c_str()), io_error_exception_shell_t);
    int probe = open_file(path.c_str());
    close(probe);
    for (int i = 0; i < 3; ++i) {
        read_entire_file(out, path.c_str());
        EXPECT_EQ(5u, get_file_length(path.c_str()));
        io_error([&] { read_entire_file(out, dir.path.c_str()); });
    }
    // The next descriptor handed out is the same lowest free number again.
    int after = open_file(path.c_str());
    close(after);
    EXPECT_EQ(probe, after);
}

TEST(CommonUtilsUptime, DaysOnlyWhenPresent) {
    // Parts of a second are cut, not rounded; a clock stepped back must not
    // print wrapped-around numbers.
    const std::pair<int64_t, const char*> cases[] = {
        {from_dhms(1, 1, 1, 1), "01-01:01:01"}, {from_dhms(59, 0, 0, 0), "00:00:59"},
        {from_dhms(0, 0, 0, 1), "01-00:00:00"}, {0, "00:00:00"},
        {from_dhms(59, 59, 23, 123), "123-23:59:59"}, {from_dhms(59, 0, 0, 0) + 99999999, "00:00:59"},
        {-from_dhms(5, 0, 0, 0), "00:00:00"}};
    for (const auto& c : cases) {
        std::string out = "up ";
        format_uptime(timegap_t(c.first), out);
        EXPECT_EQ(std::string("up ") + c.second, out) << c.first;
    }
}

class counted_t : public if_root_t {
public:
    counted_t(std::vector<int>& j, int n) : journal(j), id(n) {}
    ~counted_t() override { journal.push_back(id); }
    std::vector<int>& journal;
    int id;
};

TEST(CommonUtilsList, DeletesLastFirstSkippingNulls) {
    std::vector<int> journal;
    {
        removing_root_list_t list;
        list.push_back(new counted_t(journal, 1));
        list.push_back(nullptr);
        list.push_back(new counted_t(journal, 2));
        list.push_front(new counted_t(journal, 0));
        list.push_back(nullptr);
        EXPECT_TRUE(journal.empty());
    }
    EXPECT_EQ((std::vector<int>{2, 1, 0}), journal);
}

}  // namespace
