// File routines on real files, the uptime text and the owning list.
#include "oslayer/common-utils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "oslayer/utilities.h"

namespace {

/// A fresh directory under /tmp, removed with its files afterwards.
class temp_dir_t {
public:
    temp_dir_t() {
        char path_template[] = "/tmp/common_utils_test_XXXXXX";
        path = mkdtemp(path_template);
    }
    ~temp_dir_t() {
        for (const std::string& f : files) unlink(f.c_str());
        rmdir(path.c_str());
    }
    std::string file(const std::string& name, const std::string& content) {
        std::string full = path + "/" + name;
        std::ofstream(full, std::ios::binary) << content;
        files.push_back(full);
        return full;
    }

    std::string path;

private:
    std::vector<std::string> files;
};

/// The system's error text for `code`, as the library words it.
std::string error_text(int code) {
    errno = code;
    return get_last_error();
}

template <class F>
std::string io_error(F call) {
    try {
        call();
    } catch (const io_error_exception_shell_t& e) {
        return e.what();
    }
    return "no error";
}

TEST(CommonUtilsFiles, ReadEntireFileAppends) {
    temp_dir_t dir;
    std::string out = "keep:";
    std::string& result = read_entire_file(out, dir.file("empty", "").c_str());
    EXPECT_EQ(&out, &result);
    EXPECT_EQ("keep:", out);
    read_entire_file(out, dir.file("small", "abc\ndef").c_str());
    EXPECT_EQ("keep:abc\ndef", out);
}

TEST(CommonUtilsFiles, ReadEntireFileAcrossReadPieces) {
    temp_dir_t dir;
    // Longer than two read pieces of 512 KiB, with a non-repeating tail.
    std::string content;
    for (size_t i = 0; content.size() < 524288 * 2 + 1000; ++i) content += std::to_string(i) + ',';
    std::string out;
    read_entire_file(out, dir.file("big", content).c_str());
    EXPECT_EQ(content, out);
    EXPECT_EQ(content.size(), get_file_length(dir.file("big2", content).c_str()));
}

TEST(CommonUtilsFiles, ProcFilesAreReadToTheEnd) {
    struct stat st;
    ASSERT_EQ(0, stat("/proc/self/status", &st));
    EXPECT_EQ(0, st.st_size);
    std::string out;
    read_entire_file(out, "/proc/self/status");
    EXPECT_NE(std::string::npos, out.find("\nVmRSS:"));
    EXPECT_EQ('\n', out.back());
    // /proc files cannot seek to their end.
    EXPECT_EQ("cannot seek file \"/proc/self/status\" beyond EOF because of " + error_text(EINVAL),
              io_error([] { get_file_length("/proc/self/status"); }));
}

TEST(CommonUtilsFiles, ErrorsNameFileAndReason) {
    temp_dir_t dir;
    std::string missing = dir.path + "/missing";
    std::string open_error = "cannot open file \"" + missing + "\" for read because of " + error_text(ENOENT);
    std::string out = "x";
    EXPECT_EQ(open_error, io_error([&] { read_entire_file(out, missing.c_str()); }));
    EXPECT_EQ("x", out);
    // The open fails first, so the seek error is never reached.
    EXPECT_EQ(open_error, io_error([&] { get_file_length(missing.c_str()); }));
    EXPECT_EQ(open_error, io_error([&] { open_file(missing.c_str()); }));
    EXPECT_EQ("cannot read file \"" + dir.path + "\" because of " + error_text(EISDIR),
              io_error([&] { read_entire_file(out, dir.path.c_str()); }));
}

TEST(CommonUtilsFiles, DescriptorsAreReleased) {
    temp_dir_t dir;
    std::string path = dir.file("f", "12345");
    int probe = open_file(path.c_str());
    close(probe);
    std::string out;
    for (int i = 0; i < 50; ++i) {
        read_entire_file(out, path.c_str());
        EXPECT_EQ(5u, get_file_length(path.c_str()));
        io_error([&] { read_entire_file(out, dir.path.c_str()); });
    }
    // The next descriptor handed out is the same lowest free number again.
    int after = open_file(path.c_str());
    close(after);
    EXPECT_EQ(probe, after);
}

std::string uptime(int64_t ticks, std::string out = "") {
    format_uptime(timegap_t(ticks), out);
    return out;
}

TEST(CommonUtilsUptime, DaysOnlyWhenPresent) {
    EXPECT_EQ("01-01:01:01", uptime(from_dhms(1, 1, 1, 1)));
    EXPECT_EQ("00:00:59", uptime(from_dhms(59, 0, 0, 0)));
    EXPECT_EQ("01-00:00:00", uptime(from_dhms(0, 0, 0, 1)));
    EXPECT_EQ("00:00:00", uptime(0));
    EXPECT_EQ("123-23:59:59", uptime(from_dhms(59, 59, 23, 123)));
    // Parts of a second are cut, not rounded.
    EXPECT_EQ("00:00:59", uptime(from_dhms(59, 0, 0, 0) + 99999999));
    EXPECT_EQ("up 00:01:00", uptime(from_dhms(0, 1, 0, 0), "up "));
    // A clock stepped back must not print wrapped-around numbers.
    EXPECT_EQ("00:00:00", uptime(-from_dhms(5, 0, 0, 0)));
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
