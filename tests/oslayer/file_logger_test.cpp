// The rotating file logger on real files in a private temporary directory:
// rotation texts, old file names, rotation with and without gzip packing,
// re-creation of a deleted file, concurrent writers and the logger's lifetime
// against its packing thread.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>

#include "tests/oslayer/test_support.h"

namespace {

const char* const new_file_line = "[Logger] New logfile has been created by software version 0.1 Build 1\n";

bool exists(const std::string& name) { return access(name.c_str(), F_OK) == 0; }

std::string read_plain(const std::string& name) { return oslayer_test::read_file(name); }

/// The decompressed content; fails the test when the stream is damaged or cut short.
std::string read_packed(const std::string& name) {
    gzFile gz = gzopen(name.c_str(), "rb");
    EXPECT_NE(gz, nullptr) << name;
    if (!gz) return std::string();
    std::string out;
    char buf[4096];
    int n;
    while ((n = gzread(gz, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(n, 0) << name << ": " << gzerror(gz, &n);
    EXPECT_EQ(gzclose(gz), Z_OK) << name;
    return out;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line + "\n");
    return out;
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

/// Everything but the logger's own lines.
std::string without_logger_lines(const std::string& text) {
    std::string out;
    for (const std::string& line : split_lines(text))
        if (line.find("[Logger] ") == std::string::npos) out += line;
    return out;
}

using root_capture_t = oslayer_test::captured_root_t;

class FileLogger : public ::testing::Test {
protected:
    oslayer_test::scratch_t scratch;
    std::string dir = scratch.path;
    std::string log = dir + "/x.log";

    /// Writes numbered lines of about `width` bytes; returns what was written.
    static std::string write_lines(file_logger_t& logger, int count, size_t width, int tag = 0) {
        std::string all;
        for (int i = 0; i < count; ++i) {
            std::string line = "T" + std::to_string(tag) + " L" + std::to_string(i) + " ";
            line.append(width > line.size() + 1 ? width - line.size() - 1 : 0, static_cast<char>('a' + i % 26));
            line += '\n';
            logger.write(line.c_str());
            all += line;
        }
        return all;
    }

    /// Old files from the oldest to the newest, then the current file.
    std::string collect(bool packed, unsigned keep, file_logger_t& names) {
        std::string all;
        for (unsigned n = keep - 1; n >= 1; --n) {
            std::string name = names.rotated_name(n, packed);
            if (exists(name)) all += packed ? read_packed(name) : read_plain(name);
        }
        return all + read_plain(log);
    }

    /// Each old file starts on a fresh file and ends with the rotation line.
    void expect_old_files_framed(bool packed, unsigned keep, const file_logger_t& names, const char* limit) {
        for (unsigned n = 1; n < keep; ++n) {
            std::string name = names.rotated_name(n, packed);
            ASSERT_TRUE(exists(name)) << name;
            std::vector<std::string> lines = split_lines(packed ? read_packed(name) : read_plain(name));
            ASSERT_GE(lines.size(), 2u) << name;
            EXPECT_TRUE(ends_with(lines.front(), new_file_line)) << name << ": " << lines.front();
            EXPECT_TRUE(ends_with(lines.back(), std::string("[Logger] Logfile has grown over \"") + limit +
                                                    "\" limit, rotating...\n"))
                << name << ": " << lines.back();
        }
    }

};

struct parsed_t {
    const char* text;
    bool valid;
    uint32_t keep;
    bool pack;
    uint32_t limit;
    const char* size_text;
};

}  // namespace

TEST_F(FileLogger, RotationTextTable) {
    const parsed_t table[] = {
        {"10z,10m", true, 10, true, 10485760, "10m"}, {"5,1k", true, 5, true, 1024, "1k"},
        {"0p,0g", true, 10, false, 2147483648u, "0g"}, {"3,1M", true, 3, true, 1048576, "1M"},
        {"3,", true, 3, true, 10485760, ""},         {"1,1m", true, 1, true, 1048576, "1m"},
        {"4,3g", true, 4, true, 3221225472u, "3g"},   {"4,4194303k", true, 4, true, 4294966272u, "4194303k"},
        {"", true, 10, true, 0xFFFFFFFF, ""},         {"none", true, 10, true, 0xFFFFFFFF, "none"},
        {"NoNe", true, 10, true, 0xFFFFFFFF, "NoNe"}, {"7", false, 10, true, 10485760, "7"},
        {"3x,1m", false, 10, true, 10485760, "3x,1m"}, {"3,1mb", false, 3, true, 10485760, "3,1mb"},
        {"2z", false, 10, true, 10485760, "2z"},       {"3P,1k", false, 10, true, 10485760, "3P,1k"},
        // Sizes that do not fit a 32-bit byte count, and counts that do not fit 32 bits.
        {"3,4g", false, 3, true, 10485760, "3,4g"},   {"3,4194304k", false, 3, true, 10485760, "3,4194304k"},
        {"3,4096", false, 3, true, 10485760, "3,4096"}, {"-1,1k", false, 10, true, 10485760, "-1,1k"},
        {"4294967296,1k", false, 10, true, 10485760, "4294967296,1k"},
    };
    for (const parsed_t& p : table) {
        root_capture_t root(LOG_LEVEL_INFO);
        file_logger_t logger;
        EXPECT_EQ(logger.set_rotation(log, p.text), p.valid) << p.text;
        EXPECT_EQ(logger.keep_count, p.keep) << p.text;
        EXPECT_EQ(logger.pack_flag, p.pack) << p.text;
        EXPECT_EQ(logger.size_limit, p.limit) << p.text;
        EXPECT_EQ(logger.size_text, p.size_text) << p.text;
        std::string said = root.text();
        EXPECT_EQ(said.find(std::string("Invalid logs rotation \"") + p.text + "\"\n") != std::string::npos,
                  !p.valid)
            << p.text << ": " << said;
    }
    file_logger_t plain;
    plain.pack_flag = false;
    EXPECT_FALSE(plain.parse_rotation("2z"));
    EXPECT_TRUE(plain.pack_flag);  // the letter was taken before the missing comma was found
    EXPECT_TRUE(plain.parse_rotation("3p,1k"));
    EXPECT_TRUE(plain.parse_rotation("NONE"));
    EXPECT_EQ(plain.keep_count, 3u);
    EXPECT_FALSE(plain.pack_flag);
}

TEST_F(FileLogger, InvalidTextLeavesFileClosedUntilFirstLineTruncatesIt) {
    std::ofstream(log) << "older content\n";
    root_capture_t root(LOG_LEVEL_INFO);
    file_logger_t logger;
    EXPECT_FALSE(logger.set_rotation(log, "3,1mb"));
    EXPECT_EQ(read_plain(log), "older content\n");
    logger.write("first line\n");
    EXPECT_EQ(read_plain(log), "first line\n");
    EXPECT_EQ(logger.keep_count, 3u);
    EXPECT_EQ(logger.size_limit, 10485760u);
}

TEST_F(FileLogger, RotatedNames) {
    file_logger_t l;
    const char* const cases[][4] = {
        {"x.log", "1", "0", "x.1.log"},    {"x.log", "1", "1", "x.1.log.dz"}, {"x.log", "2", "1", "x.2.log.dz"},
        {"d.x/log", "1", "0", "d.x/log.1"}, {".log", "3", "0", ".log.3"},      {"a.b.log", "12", "0", "a.b.12.log"},
        {"d.x\\log", "2", "0", "d.x\\log.2"}, {"log", "1", "1", "log.1.dz"},   {"d/.x.log", "1", "0", "d/.x.1.log"},
    };
    for (const auto& c : cases) {
        l.path = c[0];
        EXPECT_EQ(l.rotated_name(static_cast<unsigned>(atoi(c[1])), c[2][0] == '1'), c[3]) << c[0];
    }
}

TEST_F(FileLogger, RotationPackedOrPlainKeepsExactBytes) {
    for (bool packed : {true, false}) {
        std::string written;
        {
            file_logger_t logger;
            ASSERT_TRUE(logger.set_rotation(log, packed ? "3z,1k" : "3p,1k"));
            written = write_lines(logger, 200, 50);
        }  // the destructor waits for the last packing
        file_logger_t names;
        names.path = log;
        EXPECT_FALSE(exists(names.rotated_name(3, packed)));
        EXPECT_FALSE(exists(names.rotated_name(1, !packed)));
        expect_old_files_framed(packed, 3, names, "1k");
        std::vector<std::string> current = split_lines(read_plain(log));
        ASSERT_FALSE(current.empty());
        EXPECT_TRUE(ends_with(current.front(), new_file_line)) << current.front();
        std::string kept = without_logger_lines(collect(packed, 3, names));
        EXPECT_GT(kept.size(), 2048u);
        EXPECT_TRUE(ends_with(written, kept)) << "the kept files are not the newest part of what was written";
        for (unsigned n = 1; n <= 3; ++n) std::filesystem::remove(names.rotated_name(n, packed));
        std::filesystem::remove(log);
    }
}

TEST_F(FileLogger, KeepCountOneOnlyTruncates) {
    std::string written;
    {
        file_logger_t logger;
        ASSERT_TRUE(logger.set_rotation(log, "1,1k"));
        written = write_lines(logger, 100, 50);
    }
    std::vector<std::string> entries;
    for (const auto& e : std::filesystem::directory_iterator(dir)) entries.push_back(e.path().filename());
    EXPECT_EQ(entries, std::vector<std::string>{"x.log"});
    std::string now = read_plain(log);
    EXPECT_LT(now.size(), 1024u + 50 + 2 * 200);
    EXPECT_TRUE(ends_with(now.substr(0, now.find('\n') + 1), new_file_line));
    EXPECT_TRUE(ends_with(written, without_logger_lines(now)));
}

TEST_F(FileLogger, DeletedFileIsRecreatedWithWarningFirst) {
    file_logger_t logger;
    ASSERT_TRUE(logger.set_rotation(log, "NONE"));
    logger.write("before\n");
    ASSERT_EQ(unlink(log.c_str()), 0);
    logger.write("after\n");
    std::vector<std::string> lines = split_lines(read_plain(log));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(ends_with(lines[0],
                          "[Logger] Log file was suddenly lost (removed outside software?) and re-created by "
                          "software version 0.1 Build 1\n"))
        << lines[0];
    EXPECT_EQ(lines[0].substr(19, 4), "wrn ") << lines[0];
    EXPECT_EQ(lines[1], "after\n");
}

TEST_F(FileLogger, UnopenablePathDropsLinesAndRetriesOncePerMinute) {
    std::string missing = dir + "/missing";
    log = missing + "/x.log";
    root_capture_t root(LOG_LEVEL_INFO);
    file_logger_t logger;
    EXPECT_FALSE(logger.set_rotation(log, "3z,1k"));
    EXPECT_NE(root.text().find("Cannot open logfile \"" + log + "\" because of No such file"), std::string::npos)
        << root.text();
    logger.write("dropped 1\n");
    ASSERT_EQ(mkdir(missing.c_str(), 0700), 0);
    logger.write("dropped 2\n");  // the next attempt is not due yet
    EXPECT_FALSE(exists(log));

    logger.next_open_time = timestamp_t::now() - timegap_t(ticks_per_second);
    logger.write("kept\n");
    EXPECT_EQ(read_plain(log), "kept\n");

    // A failed truncating open reports into the collected messages, once a minute.
    ASSERT_EQ(rmdir(missing.c_str()), -1);  // still holds x.log
    file_logger_t other;
    other.path = missing + "/none/y.log";
    std::string collected = "earlier\n";
    EXPECT_FALSE(other.open(true, &collected));
    EXPECT_EQ(collected.rfind("earlier\n\n", 0), 0u) << collected;
    EXPECT_NE(collected.find("[Logger] Cannot open logfile \"" + other.path + "\" because of "), std::string::npos);
    EXPECT_TRUE(ends_with(collected, "\n"));
    std::string before = collected;
    EXPECT_FALSE(other.open(true, &collected));
    EXPECT_EQ(collected, before);
}

TEST_F(FileLogger, ConcurrentWritersAcrossRotationsLoseNothing) {
    const int threads = 8, per_thread = 400;
    const unsigned keep = 1000;
    {
        file_logger_t logger;
        ASSERT_TRUE(logger.set_rotation(log, "1000z,2k"));
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) workers.emplace_back([&, t] { write_lines(logger, per_thread, 60, t); });
        for (std::thread& w : workers) w.join();
    }
    file_logger_t names;
    names.path = log;
    EXPECT_FALSE(exists(names.rotated_name(1, false)));  // every packing completed
    std::string all = collect(true, keep, names);
    EXPECT_EQ(all.find("[Logger] Unable"), std::string::npos);
    EXPECT_EQ(all.find("[Logger] Cannot"), std::string::npos);
    std::vector<int> next(threads, 0);
    int lines = 0;
    for (const std::string& line : split_lines(without_logger_lines(all))) {
        int t = -1, i = -1;
        ASSERT_EQ(sscanf(line.c_str(), "T%d L%d", &t, &i), 2) << line;
        ASSERT_TRUE(t >= 0 && t < threads) << line;
        EXPECT_EQ(i, next[t]) << "thread " << t << " lost or reordered a line";
        next[t] = i + 1;
        EXPECT_EQ(line.size(), 60u) << line;
        ++lines;
    }
    EXPECT_EQ(lines, threads * per_thread);
    EXPECT_TRUE(exists(names.rotated_name(50, true)));  // about a hundred rotations happened
}

TEST_F(FileLogger, DestructionWaitsForRunningPacking) {
    for (int round = 0; round < 3; ++round) {
        std::string written;
        {
            file_logger_t logger;
            ASSERT_TRUE(logger.set_rotation(log, "3z,2m"));
            // Varied text compresses slowly at level 9, so the packing is still
            // running when the logger goes away.
            std::string line;
            uint32_t seed = 12345u + static_cast<uint32_t>(round);
            while (written.size() < 2 * 1048576) {
                line.clear();
                for (int i = 0; i < 99; ++i) {
                    seed = seed * 1103515245u + 12345u;
                    line += static_cast<char>('!' + (seed >> 16) % 90);
                }
                line += '\n';
                logger.write(line.c_str());
                written += line;
            }
            logger.write("starts the rotation\n");
        }
        file_logger_t names;
        names.path = log;
        ASSERT_TRUE(exists(names.rotated_name(1, true))) << "round " << round;
        EXPECT_FALSE(exists(names.rotated_name(1, false))) << "round " << round;
        std::string packed = read_packed(names.rotated_name(1, true));
        EXPECT_EQ(without_logger_lines(packed), written) << "round " << round;
        EXPECT_TRUE(ends_with(read_plain(log), "starts the rotation\n"));
        std::filesystem::remove(names.rotated_name(1, true));
        std::filesystem::remove(log);
    }
}
