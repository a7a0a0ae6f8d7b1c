// Outgoing command frames byte for byte, payloads by reference, and the
// on-sent callback told once whether the command was sent, dropped or never built.
#include "io/cmd_builder.h"

#include <climits>

#include <boost/weak_ptr.hpp>

#include "oslayer/_kern.h"
#include "tests/io/test_support.h"

namespace {

using io_test::bytes_of;
using io_test::journal;

std::vector<std::string> pieces_of(const io::request_queue& q) {
    std::vector<std::string> out;
    for (const io::request_queue::request* r = q.front(); r; r = r->next()) {
        boost::asio::const_buffer b = r->const_buffer();
        out.emplace_back(static_cast<const char*>(b.data()), b.size());
    }
    return out;
}

TEST(CmdBuilderTest, ArgumentForms) {
    struct example {
        bool binary;
        void (*fill)(io::proto::cmd_builder&);
        const char* frame;
    };
    const example examples[] = {
        {false, [](io::proto::cmd_builder&) {}, "CMD\r\n"},
        {true, [](io::proto::cmd_builder&) {}, "CMD N\r\n"},
        {true, [](io::proto::cmd_builder& c) { c.append_number(42); }, "CMD N 42\r\n"},
        {false, [](io::proto::cmd_builder& c) { c.append_raw_argument("", 0); }, "CMD \r\n"},
        {false, [](io::proto::cmd_builder& c) { c.append_raw_argument("a  b%S\tc", 8); }, "CMD a  b%S\tc\r\n"},
        {false, [](io::proto::cmd_builder& c) { c.append_number(0); }, "CMD 0\r\n"},
        {false, [](io::proto::cmd_builder& c) { c.append_number(ULONG_MAX); }, "CMD 18446744073709551615\r\n"},
        {false, [](io::proto::cmd_builder& c) { c.arguments() << " x%Ly"; c.append_number(7); }, "CMD x%Ly 7\r\n"},
        {false,
         [](io::proto::cmd_builder& c) {
             c.append_argument("");
             c.append_argument("a b, c%");
         },
         "CMD %Z a%Sb%Mc%P\r\n"},
    };
    for (const example& e : examples) {
        io::proto::cmd_builder cmd("CMD", e.binary);
        e.fill(cmd);
        io::request_queue q = cmd.build();
        EXPECT_EQ(std::vector<std::string>{e.frame}, pieces_of(q));
    }
}

// The command's callback rides on its last request, after its payload's own.
TEST(CmdBuilderTest, CallbacksAreToldOnceWhetherSentDroppedOrNeverBuilt) {
    struct example {
        bool binary;
        std::vector<std::string> payload;  // each piece with its own callback
        bool build, last_sent;             // whether built, and whether its last request was written
        std::vector<std::string> pieces, told;
    };
    const example examples[] = {
        {false, {}, true, true, {"CMD a\r\n"}, {"cmd:true"}},
        {true, {"he", "llo"}, true, false, {"CMD T5 a\r\n", "he", "llo", "\r\n"}, {"p0:true", "p1:true", "cmd:false"}},
        {true, {"abc"}, false, false, {}, {"p0:false", "cmd:false"}},
        // An empty payload is no body, yet its callback is still carried.
        {true, {""}, true, true, {"CMD N a\r\n", "", ""}, {"p0:true", "cmd:true"}},
    };
    for (const example& e : examples) {
        journal j;
        io::request_queue q;
        {
            io::proto::cmd_builder cmd("CMD", e.binary, j.callback("cmd"));
            cmd.arguments() << " a";
            for (std::size_t i = 0; i < e.payload.size(); ++i) {
                io::request_queue piece = io::make_cloned_request(e.payload[i].data(), e.payload[i].size(),
                                                                  j.callback("p" + std::to_string(i)));
                cmd.append_payload(piece);
                EXPECT_TRUE(piece.empty());
            }
            if (e.build) q = cmd.build();
        }
        EXPECT_EQ(e.pieces, pieces_of(q));
        EXPECT_TRUE(j.events.empty() || !e.build);
        for (io::request_queue::request* r = q.front(); r; r = r->next())
            if (r->next() || e.last_sent) r->mark_as_send();
        q.clear();
        EXPECT_EQ(e.told, j.events) << e.pieces.size();
    }
}

TEST(CmdBuilderTest, SharedBuffersAndMappedFileTravelByReference) {
    io_test::temp_dir dir;
    std::string path = dir.path("body.bin");
    std::ofstream(path, std::ios::binary) << "mapped-bytes";
    auto file = boost::make_shared<boost::iostreams::mapped_file>(path, boost::iostreams::mapped_file::readonly);
    boost::weak_ptr<boost::iostreams::mapped_file> file_alive(file);
    boost::shared_array<char> array(new char[3]{'a', 'r', 'r'});
    boost::shared_ptr<void> blob = boost::make_shared<std::string>("xyz");
    const char* blob_bytes = static_cast<std::string*>(blob.get())->data();
    boost::shared_ptr<void> blob_view(blob, const_cast<char*>(blob_bytes));
    boost::weak_ptr<void> blob_alive(blob);
    journal j;
    io::request_queue q;
    {
        io::proto::cmd_builder cmd("SRS_UPDATE", true, j.callback("srs"));
        cmd.append_number(1);
        cmd.append_mapped_file(file);
        cmd.append_shared_array(array, 3);
        cmd.append_shared_ptr(blob_view, 3);
        q = cmd.build();
    }
    file.reset();
    blob.reset();
    blob_view.reset();
    EXPECT_FALSE(file_alive.expired());
    EXPECT_FALSE(blob_alive.expired());
    EXPECT_EQ("SRS_UPDATE T18 1\r\nmapped-bytesarrxyz\r\n", bytes_of(q));
    EXPECT_EQ(5u, pieces_of(q).size());
    for (io::request_queue::request* r = q.front(); r; r = r->next()) r->mark_as_send();
    q.clear();
    EXPECT_TRUE(file_alive.expired());
    EXPECT_TRUE(blob_alive.expired());
    EXPECT_EQ(std::vector<std::string>{"srs:true"}, j.events);
}

TEST(CmdBuilderTest, RefusesWhatCannotBeFramed) {
    journal j;
    EXPECT_THROW(io::proto::cmd_builder(nullptr, false, j.callback("null")), BUG_exception_shell_t);
    // A body the 32-bit size marker cannot announce; its bytes are never read.
    boost::shared_array<char> tiny(new char[1]);
    {
        io::proto::cmd_builder cmd("PUT", true, j.callback("huge"));
        cmd.append_shared_array(tiny, std::size_t(UINT32_MAX) + 1);
        EXPECT_THROW(cmd.build(), BUG_exception_shell_t);
        EXPECT_TRUE(std::find(j.events.begin(), j.events.end(), "huge:false") == j.events.end());
    }
    EXPECT_EQ(1, std::count(j.events.begin(), j.events.end(), "huge:false"));
    EXPECT_EQ(1, std::count(j.events.begin(), j.events.end(), "null:false"));
    // The largest announceable body still frames.
    io::proto::cmd_builder cmd("PUT", true);
    cmd.append_shared_array(tiny, UINT32_MAX);
    io::request_queue q = cmd.build();
    boost::asio::const_buffer header = q.front()->const_buffer();
    EXPECT_EQ("PUT T4294967295\r\n", std::string(static_cast<const char*>(header.data()), header.size()));
}

}  // namespace
