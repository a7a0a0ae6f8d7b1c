// The rotating file logger on real files in a private temporary directory:
// rotation texts, old file names, rotation with and without gzip packing,
// re-creation of a deleted file, concurrent writers and the logger's lifetime
// against its packing thread.
#include <zlib.h>

#include <filesystem>
#include <fstream>

#include "tests/oslayer/test_support.h"

namespace {

using oslayer_test::read_file;
using oslayer_test::split_lines;
using oslayer_test::strings;

const char* const new_file_line = "[Logger] New logfile has been created by software version 0.1 Build 1";

bool exists(const std::string& name) { return access(name.c_str(), F_OK) == 0; }

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

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

std::string read_any(const std::string& name, bool packed) { return packed ? read_packed(name) : read_file(name); }

/// Everything but the logger's own lines.
std::string without_logger_lines(const std::string& text) {
    std::string out;
    for (const std::string& line : split_lines(text))
        if (line.find("[Logger] ") == std::string::npos) out += line + "\n";
    return out;
}

}  // namespace

/// A scratch directory and the log file name in it.
class FileLogger : public ::testing::Test {
protected:
    oslayer_test::scratch_t scratch;
    std::string log = scratch.path + "/x.log";
    /// Writes numbered lines of `width` bytes; returns what was written.
    static std::string write_lines(file_logger_t& logger, int count, size_t width, int tag = 0) {
        std::string all;
        for (int i = 0; i < count; ++i) {
            std::string line = "T" + std::to_string(tag) + " L" + std::to_string(i) + " ";
            line.append(width - line.size() - 1, static_cast<char>('a' + i % 26)) += '\n';
            logger.write(line.c_str());
            all += line;
        }
        return all;
    }
    std::string old_name(unsigned n, bool packed) const {
        file_logger_t names;
        names.path = log;
        return names.rotated_name(n, packed);
    }
    /// Waits until every rotated file is packed: a logger's end stops its packing.
    void wait_packed(unsigned keep) const {
        for (int i = 0; i < 3000; ++i) {
            bool waiting = false;
            for (unsigned n = 1; n < keep; ++n) waiting = waiting || exists(old_name(n, false));
            if (!waiting) return;
            usleep(10000);
        }
        ADD_FAILURE() << "rotated files still unpacked after 30 s";
    }
    /// Old files from the oldest to the newest, then the current file.
    std::string collect(bool packed, unsigned keep) {
        std::string all;
        for (unsigned n = keep - 1; n >= 1; --n)
            if (exists(old_name(n, packed))) all += read_any(old_name(n, packed), packed);
        return all + read_file(log);
    }
};

TEST_F(FileLogger, RotationTextTable) {
    const struct {
        const char* text;
        bool valid;
        uint32_t keep;
        bool pack;
        uint32_t limit;
        const char* size_text;
    } table[] = {
        {"10z,10m", true, 10, true, 10485760, "10m"}, {"0p,0g", true, 10, false, 2147483648u, "0g"},
        {"3,1M", true, 3, true, 1048576, "1M"},       {"3,", true, 3, true, 10485760, ""},
        {"4,3g", true, 4, true, 3221225472u, "3g"},   {"4,4194303k", true, 4, true, 4294966272u, "4194303k"},
        {"", true, 10, true, 0xFFFFFFFF, ""},         {"NoNe", true, 10, true, 0xFFFFFFFF, "NoNe"},
        {"7", false, 10, true, 10485760, "7"},
        {"3x,1m", false, 10, true, 10485760, "3x,1m"}, {"3,1mb", false, 3, true, 10485760, "3,1mb"},
        {"2z", false, 10, true, 10485760, "2z"},       {"3P,1k", false, 10, true, 10485760, "3P,1k"},
        // Sizes that do not fit a 32-bit byte count, and counts that do not fit 32 bits.
        {"3,4g", false, 3, true, 10485760, "3,4g"},   {"3,4194304k", false, 3, true, 10485760, "3,4194304k"},
        {"3,4096", false, 3, true, 10485760, "3,4096"}, {"-1,1k", false, 10, true, 10485760, "-1,1k"},
        {"4294967296,1k", false, 10, true, 10485760, "4294967296,1k"},
    };
    for (const auto& p : table) {
        oslayer_test::captured_root_t root(LOG_LEVEL_INFO);
        file_logger_t logger;
        EXPECT_EQ(logger.set_rotation(log, p.text), p.valid) << p.text;
        EXPECT_EQ(logger.keep_count, p.keep) << p.text;
        EXPECT_EQ(logger.pack_flag, p.pack) << p.text;
        EXPECT_EQ(logger.size_limit, p.limit) << p.text;
        EXPECT_EQ(logger.size_text, p.size_text) << p.text;
        EXPECT_EQ(root.text().find(std::string("Invalid logs rotation \"") + p.text + "\"\n") != std::string::npos,
                  !p.valid)
            << p.text << ": " << root.text();
    }
    file_logger_t plain;
    plain.pack_flag = false;
    EXPECT_FALSE(plain.parse_rotation("2z"));
    EXPECT_TRUE(plain.pack_flag);  // the letter was taken before the missing comma was found
    EXPECT_TRUE(plain.parse_rotation("3p,1k") && plain.parse_rotation("NONE"));
    EXPECT_EQ(plain.keep_count, 3u);
    EXPECT_FALSE(plain.pack_flag);
}

// A file found at the path later than at start is never emptied: it may be
// anything someone put there.
TEST_F(FileLogger, InvalidTextLeavesFileClosedUntilFirstLineAppendsToIt) {
    std::ofstream(log) << "older content\n";
    oslayer_test::captured_root_t root(LOG_LEVEL_INFO);
    file_logger_t logger;
    EXPECT_FALSE(logger.set_rotation(log, "3,1mb"));
    EXPECT_EQ(read_file(log), "older content\n");
    logger.write("first line\n");
    EXPECT_EQ(read_file(log), "older content\nfirst line\n");
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

TEST_F(FileLogger, RotationPackedPlainOrTruncatingKeepsExactBytes) {
    const struct { const char* rotation; bool packed; unsigned keep; } cases[] = {
        {"3z,1k", true, 3}, {"3p,1k", false, 3}, {"1,1k", true, 1}};
    for (const auto& c : cases) {
        std::string written;
        {
            file_logger_t logger;
            ASSERT_TRUE(logger.set_rotation(log, c.rotation));
            written = write_lines(logger, 200, 50);
            if (c.packed) wait_packed(c.keep);
        }
        strings entries;
        for (const auto& e : std::filesystem::directory_iterator(scratch.path)) entries.push_back(e.path());
        std::sort(entries.begin(), entries.end());
        strings expected{log};
        for (unsigned n = 1; n < c.keep; ++n) expected.push_back(old_name(n, c.packed));
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(entries, expected) << c.rotation;
        // Each old file starts on a fresh file and ends with the rotation line.
        for (unsigned n = 1; n < c.keep; ++n) {
            std::string text = read_any(old_name(n, c.packed), c.packed);
            EXPECT_TRUE(ends_with(text.substr(0, text.find('\n') + 1), std::string(new_file_line) + "\n")) << text;
            EXPECT_TRUE(ends_with(text, "[Logger] Logfile has grown over \"1k\" limit, rotating...\n")) << text;
        }
        std::string now = read_file(log);
        EXPECT_TRUE(ends_with(now.substr(0, now.find('\n') + 1), std::string(new_file_line) + "\n")) << now;
        if (c.keep == 1) {
            EXPECT_LT(now.size(), 1024u + 50 + 2 * 200);
        }
        std::string kept = without_logger_lines(collect(c.packed, c.keep));
        EXPECT_GT(kept.size(), c.keep == 1 ? 0u : 2048u);
        EXPECT_TRUE(ends_with(written, kept)) << "the kept files are not the newest part of what was written";
        for (const std::string& e : entries) std::filesystem::remove(e);
    }
}

TEST_F(FileLogger, DeletedFileIsRecreatedWithWarningFirst) {
    file_logger_t logger;
    ASSERT_TRUE(logger.set_rotation(log, "NONE"));
    logger.write("before\n");
    ASSERT_EQ(unlink(log.c_str()), 0);
    logger.write("after\n");
    strings lines = split_lines(read_file(log));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(19, 4), "wrn ") << lines[0];
    EXPECT_NE(lines[0].find("[Logger] "), std::string::npos) << lines[0];
    EXPECT_TRUE(ends_with(read_file(log), "\nafter\n"));
}

TEST_F(FileLogger, UnopenablePathDropsLinesAndRetriesOncePerMinute) {
    std::string missing = scratch.path + "/missing";
    log = missing + "/x.log";
    oslayer_test::captured_root_t root(LOG_LEVEL_INFO);
    file_logger_t logger;
    EXPECT_FALSE(logger.set_rotation(log, "3z,1k"));
    EXPECT_NE(root.text().find("\"" + log + "\""), std::string::npos) << root.text();
    logger.write("dropped 1\n");
    ASSERT_EQ(mkdir(missing.c_str(), 0700), 0);
    logger.write("dropped 2\n");  // the next attempt is not due yet
    EXPECT_FALSE(exists(log));
    logger.next_open_time = timestamp_t::now() - timegap_t(ticks_per_second);
    logger.write("kept\n");
    EXPECT_EQ(read_file(log), "kept\n");
    // A failed truncating open reports into the collected messages, once a minute.
    file_logger_t other;
    other.path = missing + "/none/y.log";
    std::string collected = "earlier\n";
    EXPECT_FALSE(other.open(true, &collected));
    EXPECT_EQ(collected.rfind("earlier\n\n", 0), 0u) << collected;
    EXPECT_NE(collected.find("\"" + other.path + "\""), std::string::npos) << collected;
    EXPECT_TRUE(ends_with(collected, "\n"));
    std::string before = collected;
    EXPECT_FALSE(other.open(true, &collected));
    EXPECT_EQ(collected, before);
}

TEST_F(FileLogger, ConcurrentWritersAcrossRotationsLoseNothing) {
    const int threads = 8, per_thread = 400;
    {
        file_logger_t logger;
        ASSERT_TRUE(logger.set_rotation(log, "1000z,2k"));
        oslayer_test::run_threads(threads, [&](int t) { write_lines(logger, per_thread, 60, t); });
        wait_packed(1000);
    }
    EXPECT_FALSE(exists(old_name(1, false)));  // every packing completed
    std::string all = collect(true, 1000);
    EXPECT_TRUE(ends_with(all, "\n"));
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
        EXPECT_EQ(line.size(), 59u) << line;
        ++lines;
    }
    EXPECT_EQ(lines, threads * per_thread);
    EXPECT_TRUE(exists(old_name(50, true)));  // about a hundred rotations happened
}

// The end of a logger stops a running packing rather than waiting for it:
// the rotated file is then kept whole and unpacked, and no packed file is
// left half written.
TEST_F(FileLogger, DestructionLeavesTheRotatedFileWholePackedOrNot) {
    for (int round = 0; round < 2; ++round) {
        std::string written;
        {
            file_logger_t logger;
            ASSERT_TRUE(logger.set_rotation(log, "3z,2m"));
            // Varied text compresses slowly at level 9, so the packing is still
            // running when the logger goes away.
            uint32_t seed = 12345u + static_cast<uint32_t>(round);
            while (written.size() < 2 * 1048576) {
                std::string line;
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
        const bool packed = exists(old_name(1, true));
        EXPECT_NE(packed, exists(old_name(1, false))) << "round " << round;
        EXPECT_EQ(without_logger_lines(read_any(old_name(1, packed), packed)), written) << "round " << round;
        EXPECT_TRUE(ends_with(read_file(log), "starts the rotation\n"));
        std::filesystem::remove(old_name(1, packed));
        std::filesystem::remove(log);
    }
}

// Whatever takes the place of the log while it runs is never written through
// nor waited on: a link, a pipe and a file of two names are refused, and
// only a regular file of one name is written, appended to.
TEST_F(FileLogger, LaterOpensRefuseLinksPipesAndSharedFilesAndNeverTruncate) {
    std::string victim = scratch.put("victim", "precious\n");
    std::string pipe = scratch.path + "/pipe";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    file_logger_t logger;
    ASSERT_TRUE(logger.set_rotation(log, "NONE"));
    logger.write("before\n");
    const struct { const char* what; std::function<int()> place; } cases[] = {
        {"link", [&] { return symlink(victim.c_str(), log.c_str()); }},
        {"link to a pipe", [&] { return symlink(pipe.c_str(), log.c_str()); }},
        {"pipe", [&] { return mkfifo(log.c_str(), 0600); }},
        {"hard link", [&] { return link(victim.c_str(), log.c_str()); }},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(unlink(log.c_str()), 0) << c.what;
        ASSERT_EQ(c.place(), 0) << c.what;
        logger.next_open_time = timestamp_t();
        logger.write("lost\n");  // the re-creation (first case) or the retry finds it
        EXPECT_EQ(logger.fd, -1) << c.what;
        EXPECT_EQ(read_file(victim), "precious\n") << c.what;
    }
    int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
    char byte;
    EXPECT_LE(::read(reader, &byte, 1), 0);
    ::close(reader);
    ASSERT_EQ(unlink(log.c_str()), 0);
    scratch.put("x.log", "kept\n");
    logger.next_open_time = timestamp_t();
    logger.write("appended\n");
    EXPECT_EQ(read_file(log), "kept\nappended\n");
}

// The packed file of the previous rotation is replaced, never written through
// a link put at its name.
TEST_F(FileLogger, PackingNeverWritesThroughALinkAtThePackedName) {
    std::string victim = scratch.put("victim", "precious\n");
    ASSERT_EQ(symlink(victim.c_str(), old_name(1, true).c_str()), 0);
    std::string written;
    {
        file_logger_t logger;
        ASSERT_TRUE(logger.set_rotation(log, "2z,1k"));
        written = write_lines(logger, 30, 50);
        wait_packed(2);
    }
    EXPECT_EQ(read_file(victim), "precious\n");
    struct stat st;
    ASSERT_EQ(lstat(old_name(1, true).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_NE(read_packed(old_name(1, true)).find("[Logger] Logfile has grown over"), std::string::npos);
}

/// Packing reads only the file that was rotated: a link put at the rotated
/// name between the rename and the packing has nothing of its target packed.
TEST_F(FileLogger, PackingTakesOnlyTheFileThatWasRotated) {
    std::string secret = scratch.put("secret", "not the log's\n");
    std::string rotated = scratch.put("x.1.log", "the rotated lines\n");
    struct stat st;
    ASSERT_EQ(stat(rotated.c_str(), &st), 0);
    const file_logger_t::file_id_t was_rotated{st.st_dev, st.st_ino};
    ASSERT_EQ(rename(rotated.c_str(), (scratch.path + "/kept").c_str()), 0);
    ASSERT_EQ(symlink(secret.c_str(), rotated.c_str()), 0);
    file_logger_t logger;
    ASSERT_TRUE(logger.set_rotation(log, "2z,1k"));
    logger.pack(std::make_shared<file_logger_t::pack_job_t>(1, was_rotated));
    EXPECT_NE(lstat(old_name(1, true).c_str(), &st), 0);  // nothing packed
    EXPECT_EQ(read_file(secret), "not the log's\n");
    EXPECT_NE(read_file(log).find("it is no longer the file that was rotated"), std::string::npos);
    // The file that was rotated, at its name, is packed and its name removed.
    ASSERT_EQ(rename((scratch.path + "/kept").c_str(), rotated.c_str()), 0);
    logger.pack(std::make_shared<file_logger_t::pack_job_t>(1, was_rotated));
    EXPECT_EQ(read_packed(old_name(1, true)), "the rotated lines\n");
    EXPECT_NE(lstat(rotated.c_str(), &st), 0);
}
