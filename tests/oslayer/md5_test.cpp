// MD5 digests: the RFC 1321 test suite, the object's states, piecewise and
// file feeding checked against coreutils' md5sum, buffer chains.

#include "oslayer/md5.h"
#include "tests/oslayer/test_support.h"

namespace {

const char* const empty_md5 = "d41d8cd98f00b204e9800998ecf8427e";
const char* const abc_md5 = "900150983cd24fb0d6963f7d28e17f72";

// Through the interface, as the update cache holds it.
std::string md5_hex(const std::string& text) {
    md5_t m;
    if_hash_t& h = m;
    h.update(text.size(), text.data());
    h.final();
    return h.hex();
}

/// The digest that coreutils' md5sum gives for a file.
std::string md5sum_of(const std::string& file) {
    FILE* p = popen(("md5sum '" + file + "'").c_str(), "r");
    EXPECT_NE(p, nullptr);
    if (!p) return "";
    char line[256] = {0};
    if (!fgets(line, sizeof line, p)) line[0] = '\0';
    EXPECT_EQ(pclose(p), 0);
    return std::string(line, strnlen(line, 32));
}

std::string random_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string v(n, '\0');
    for (char& b : v) b = char(gen());
    return v;
}

std::string chain_hex(const if_hash_t::chain_node_t* first) {
    md5_t h;
    h.update_chain(first);
    h.final();
    return h.hex();
}

}  // namespace

TEST(Md5Vectors, Rfc1321SuiteAndLengthsAroundThePaddingBoundary) {
    const std::pair<std::string, const char*> suite[] = {
        {"", empty_md5},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", abc_md5},
        {std::string("1234567890123456789012345678901234567890") + "1234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"}};
    for (const auto& c : suite) EXPECT_EQ(md5_hex(c.first), c.second) << c.first;
    // 55 bytes leave room for the length in the same block, 56 do not.
    const std::pair<size_t, const char*> cases[] = {
        {55, "ef1772b6dff9a122358552954ad0df65"},  {56, "3b0c8ac703f828b04c6c197006d17218"},
        {63, "b06521f39153d618550606be297466d5"},  {64, "014842d480b571495a4a0363793f7367"},
        {65, "c743a45e0d2e6a95cb859adae0248435"}};
    for (const auto& c : cases) {
        EXPECT_EQ(md5_hex(std::string(c.first, 'a')), c.second) << c.first << " bytes";
        // The same message one byte at a time crosses the boundary inside update().
        md5_t h;
        for (size_t i = 0; i < c.first; ++i) h.update(1, "a");
        h.final();
        EXPECT_STREQ(h.hex(), c.second) << c.first << " bytes, bytewise";
    }
}

TEST(Md5State, NothingBeforeFinalLateCallsChangeNothingInitStartsAfresh) {
    const uint8_t zero[16] = {0};
    const uint8_t a_digest[16] = {0x0c, 0xc1, 0x75, 0xb9, 0xc0, 0xf1, 0xb6, 0xa8,
                                  0x31, 0xc3, 0x99, 0xe2, 0x69, 0x77, 0x26, 0x61};
    md5_t h;
    h.update(0, nullptr);  // nothing to feed: fine
    EXPECT_THROW(h.update(4, nullptr), BUG_exception_shell_t);
    EXPECT_THROW(h.update_file(nullptr), BUG_exception_shell_t);
    h.update(7, "garbage");
    h.init();
    h.update(3, "abc");
    EXPECT_STREQ(h.hex(), "");
    EXPECT_EQ(memcmp(h.digest(), zero, 16), 0);
    // Asking early must not disturb the digest being built.
    h.final();
    EXPECT_STREQ(h.hex(), abc_md5);
    uint8_t first[16];
    memcpy(first, h.digest(), 16);
    h.final();
    h.update(5, "hello");
    h.final();
    EXPECT_STREQ(h.hex(), abc_md5);
    EXPECT_EQ(memcmp(h.digest(), first, 16), 0);
    // After a finished digest: the cached text and copy are dropped too.
    h.init();
    EXPECT_STREQ(h.hex(), "");
    EXPECT_EQ(memcmp(h.digest(), zero, 16), 0);
    h.update(1, "a");
    h.final();
    EXPECT_EQ(memcmp(h.digest(), a_digest, 16), 0);
}

TEST(Md5Stream, RandomPiecesAndFilesEqualWholeAndMd5sum) {
    const std::string data = random_bytes((1u << 20) + 17, 20240611);
    md5_t whole;
    whole.update(data.size(), data.data());
    whole.final();
    std::mt19937 gen(7);
    // Mostly small pieces, now and then one spanning many blocks.
    std::uniform_int_distribution<size_t> small(0, 130), large(0, 70000);
    md5_t pieces;
    for (size_t at = 0, n; at < data.size(); at += n) {
        n = std::min((gen() % 8 == 0) ? large(gen) : small(gen), data.size() - at);
        pieces.update(n, data.data() + at);
    }
    pieces.final();
    EXPECT_STREQ(pieces.hex(), whole.hex());
    oslayer_test::scratch_t dir;
    // Files: empty, and one not a multiple of the 1024-byte read size,
    // prefixed by bytes fed directly.
    const std::string small_data = random_bytes(5 * 1024 + 333, 99);
    for (const std::string& content : {std::string(), small_data}) {
        std::string file = dir.put("data", content);
        FILE* f = fopen(file.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        md5_t h;
        size_t direct = std::min<size_t>(3, content.size());
        h.update(direct, content.data());
        ASSERT_EQ(fseek(f, long(direct), SEEK_SET), 0);
        h.update_file(f);
        fclose(f);
        h.final();
        EXPECT_EQ(content.empty() ? std::string(empty_md5) : md5sum_of(file), h.hex()) << content.size();
    }
}

TEST(Md5Stream, ChainsFeedEachNodeOnceEvenWhenLooped) {
    const std::string a = "message ", b = "", c = "digest";
    if_hash_t::chain_node_t n3{nullptr, c.size(), c.data()};
    if_hash_t::chain_node_t n2{&n3, b.size(), b.data()};
    if_hash_t::chain_node_t n1{&n2, a.size(), a.data()};
    EXPECT_EQ(chain_hex(&n1), "f96b697d7cb7938d525a2f31aaf161d0");
    n3.link = &n3;  // a node linked to itself ends the chain after being fed once
    EXPECT_EQ(chain_hex(&n1), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(chain_hex(nullptr), empty_md5);
    // A loop of two, and a tail running into a loop further on: "a" -> "b" -> "c" -> back to "b".
    const std::string x = "ab", y = "c", p = "a", q = "b", r = "c";
    if_hash_t::chain_node_t l2{nullptr, y.size(), y.data()};
    if_hash_t::chain_node_t l1{&l2, x.size(), x.data()};
    l2.link = &l1;
    EXPECT_EQ(chain_hex(&l1), abc_md5);
    if_hash_t::chain_node_t m3{nullptr, r.size(), r.data()};
    if_hash_t::chain_node_t m2{&m3, q.size(), q.data()};
    if_hash_t::chain_node_t m1{&m2, p.size(), p.data()};
    m3.link = &m2;
    EXPECT_EQ(chain_hex(&m1), abc_md5);
}
