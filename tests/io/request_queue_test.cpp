// Request kinds, splicing, release order and callbacks told exactly once,
// clones, memory-mapped files and failing callbacks.
#include "io/request_queue.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>

#include "oslayer/_kern.h"
#include "tests/io/test_support.h"

namespace {

using io_test::journal;
using io_test::bytes_of;

std::size_t count_of(const io::request_queue& q) {
    std::size_t n = 0;
    for (const io::request_queue::request* r = q.front(); r; r = r->next()) ++n;
    return n;
}

}  // namespace

TEST(RequestQueue, EmptyQueueAndBadInputEdges) {
    // Bad input is refused, not dereferenced.
    EXPECT_THROW(io::make_cloned_request(static_cast<const void*>(nullptr), 4), BUG_exception_shell_t);
    EXPECT_THROW(io::make_const_request(static_cast<const char*>(nullptr)), BUG_exception_shell_t);
    EXPECT_EQ(0u, io::make_cloned_request(static_cast<const void*>(nullptr), 0).size());
    EXPECT_EQ(0u, io::make_mapped_file_request(nullptr).size());
    io::request_queue q;
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(0u, q.size());
    EXPECT_EQ(nullptr, q.front());
    io::request_queue popped = q.pop_front();
    EXPECT_TRUE(popped.empty());
    std::vector<boost::asio::const_buffer> buffers;
    q.gather(buffers);
    EXPECT_TRUE(buffers.empty());
    io::request_queue zero = io::make_cloned_request("", 0);
    EXPECT_FALSE(zero.empty());
    EXPECT_EQ(0u, zero.size());
}

TEST(RequestQueue, KindsExposeTheirBytesAndOnlyWritableOnesAMutableBuffer) {
    static const char constant[] = "const";
    char writable[] = "mutable";
    boost::shared_array<char> array(new char[5]{'a', 'r', 'r', 'a', 'y'});
    boost::shared_ptr<void> blob = boost::make_shared<std::string>("blob!");
    const char* blob_bytes = static_cast<std::string*>(blob.get())->data();
    boost::shared_ptr<void> blob_view(blob, const_cast<char*>(blob_bytes));

    io::request_queue q = io::make_const_request(constant);
    q.push_back(io::make_mutable_request(writable, 7));
    q.push_back(io::make_cloned_request("cloned"));
    q.push_back(io::make_sptr_request(array, 5));
    q.push_back(io::make_sptr_request(blob_view, 5));
    EXPECT_EQ("constmutableclonedarrayblob!", bytes_of(q));
    EXPECT_EQ(28u, q.size());

    const io::request_queue::request* r = q.front();
    EXPECT_EQ(constant, r->const_buffer().data());  // not copied
    r = r->next();
    EXPECT_EQ(writable, r->const_buffer().data());
    r = r->next();
    r = r->next();
    EXPECT_EQ(array.get(), r->const_buffer().data());

    std::vector<boost::asio::const_buffer> buffers;
    q.gather(buffers);
    ASSERT_EQ(5u, buffers.size());
    EXPECT_EQ(writable, buffers[1].data());
    EXPECT_EQ(5u, buffers[4].size());

    // A constant request has no mutable buffer; the other kinds write where they should.
    static const char text[] = "fixed";
    q = io::make_const_request(text);
    std::string message;
    try {
        q.front()->mutable_buffer();
    } catch (const BUG_exception_shell_t& e) {
        message = e.what();
    }
    EXPECT_EQ("mutable buffer not available for constant request", message);
    EXPECT_EQ(text, q.front()->const_buffer().data());
    EXPECT_EQ(5u, q.size());

    char abc[] = "abc";
    io::request_queue m = io::make_mutable_request(abc);
    static_cast<char*>(m.front()->mutable_buffer().data())[0] = 'X';
    EXPECT_EQ('X', abc[0]);
    io::request_queue c = io::make_cloned_request(abc);
    static_cast<char*>(c.front()->mutable_buffer().data())[1] = 'Y';
    EXPECT_EQ('b', abc[1]);
    EXPECT_EQ("XYc", bytes_of(c));
}

TEST(RequestQueue, SplicingKeepsOrderAndEmptiesTheSource) {
    io::request_queue a = io::make_cloned_request("1");
    a.push_back(io::make_cloned_request("2"));
    io::request_queue empty;
    a.push_back(empty);
    a.push_front(empty);
    EXPECT_EQ("12", bytes_of(a));
    EXPECT_TRUE(empty.empty());

    io::request_queue target;
    target.push_back(a);
    EXPECT_TRUE(a.empty());
    EXPECT_EQ("12", bytes_of(target));

    io::request_queue front = io::make_cloned_request("a");
    front.push_back(io::make_cloned_request("b"));
    target.push_front(front);
    EXPECT_TRUE(front.empty());
    EXPECT_EQ("ab12", bytes_of(target));

    io::request_queue into_empty;
    io::request_queue other = io::make_cloned_request("x");
    other.push_back(io::make_cloned_request("y"));
    into_empty.push_front(other);
    // The tail must be right too: a later push_back lands after "y".
    into_empty.push_back(io::make_cloned_request("z"));
    EXPECT_EQ("xyz", bytes_of(into_empty));
    target.push_back(into_empty);
    EXPECT_EQ("ab12xyz", bytes_of(target));
    EXPECT_EQ(7u, count_of(target));
}

TEST(RequestQueue, PopFrontDetachesOneRequest) {
    io::request_queue q = io::make_cloned_request("only");
    io::request_queue first = q.pop_front();
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(nullptr, q.front());
    EXPECT_EQ("only", bytes_of(first));
    EXPECT_EQ(nullptr, first.front()->next());
    // An emptied queue is usable again: head and tail were both cleared.
    q.push_back(io::make_cloned_request("new"));
    q.push_back(io::make_cloned_request("er"));
    EXPECT_EQ("newer", bytes_of(q));
    io::request_queue second = q.pop_front();
    EXPECT_EQ("new", bytes_of(second));
    EXPECT_EQ(nullptr, second.front()->next());
    EXPECT_EQ("er", bytes_of(q));
}

TEST(RequestQueue, ReleaseTellsEachCallbackOnceInOrder) {
    journal j;
    {
        io::request_queue q = io::make_cloned_request("a", j.callback("1"));
        q.push_back(io::make_cloned_request("b", j.callback("2")));
        q.push_back(io::make_cloned_request("c", j.callback("3")));
        q.front()->next()->mark_as_send();
        EXPECT_TRUE(j.events.empty());
    }
    EXPECT_EQ((std::vector<std::string>{"1:false", "2:true", "3:false"}), j.events);

    j.events.clear();
    io::request_queue q = io::make_const_request("x", j.callback("c1"));
    q.push_back(io::make_mutable_request(static_cast<void*>(nullptr), 0, j.callback("c2")));
    q.front()->mark_as_send();
    q.front()->next()->mark_as_send();
    q.clear();
    EXPECT_TRUE(q.empty());
    EXPECT_EQ((std::vector<std::string>{"c1:true", "c2:true"}), j.events);
    q.clear();
    EXPECT_EQ(2u, j.events.size());
}

TEST(RequestQueue, MovesTransferOwnershipAndAssignmentReleasesFirst) {
    journal j;
    io::request_queue source = io::make_cloned_request("new", j.callback("new"));
    io::request_queue moved(std::move(source));
    EXPECT_TRUE(source.empty());
    EXPECT_TRUE(j.events.empty());

    io::request_queue target = io::make_cloned_request("old1", [&](bool sent) {
        j.events.push_back(sent ? "old1:true" : "old1:false");
        // The old requests are released before the new ones arrive.
        EXPECT_TRUE(bytes_of(moved) == "new");
    });
    target.push_back(io::make_cloned_request("old2", j.callback("old2")));
    target.front()->mark_as_send();
    target = std::move(moved);
    EXPECT_TRUE(moved.empty());
    EXPECT_EQ((std::vector<std::string>{"old1:true", "old2:false"}), j.events);
    EXPECT_EQ("new", bytes_of(target));
    target = io::request_queue();
    EXPECT_EQ((std::vector<std::string>{"old1:true", "old2:false", "new:false"}), j.events);
}

TEST(RequestQueue, CloneCopiesBytesWithoutCallbacks) {
    journal j;
    char writable[] = "live";
    io::request_queue q = io::make_mutable_request(writable, 4, j.callback("m"));
    q.push_back(io::make_cloned_request("", 0, j.callback("z")));
    q.push_back(io::make_const_request("tail", j.callback("t")));
    io::request_queue copy = q.clone();
    EXPECT_EQ(3u, count_of(copy));
    writable[0] = 'L';
    EXPECT_EQ("livetail", bytes_of(copy));
    EXPECT_EQ("Livetail", bytes_of(q));
    EXPECT_NE(writable, copy.front()->const_buffer().data());
    copy.front()->mark_as_send();
    copy.clear();
    EXPECT_TRUE(j.events.empty());
    EXPECT_EQ(3u, count_of(q));
    q.clear();
    EXPECT_EQ((std::vector<std::string>{"m:false", "z:false", "t:false"}), j.events);
}

TEST(RequestQueue, SharedBytesAreDroppedBeforeTheCallback) {
    boost::shared_array<char> array(new char[3]{'x', 'y', 'z'});
    boost::weak_ptr<void> watch;
    long count_in_callback = -1;
    {
        boost::shared_ptr<void> blob = boost::make_shared<int>(7);
        watch = blob;
        io::request_queue q = io::make_sptr_request(blob, sizeof(int), [&](bool) { count_in_callback = watch.use_count(); });
        q.push_back(io::make_sptr_request(array, 3, [&](bool) { EXPECT_EQ(1, array.use_count()); }));
        blob.reset();
        EXPECT_EQ(1, watch.use_count());
        EXPECT_EQ(2, array.use_count());
    }
    EXPECT_EQ(0, count_in_callback);
    EXPECT_EQ(1, array.use_count());
}

TEST(RequestQueue, MappedFileRequestCoversTheWholeFile) {
    io_test::temp_dir dir;
    std::string path = dir.path("mapped.bin");
    std::string content;
    for (int i = 0; i < 10000; ++i) content += static_cast<char>('a' + i % 26);
    std::ofstream(path, std::ios::binary) << content;

    auto file = boost::make_shared<boost::iostreams::mapped_file>();
    file->open(path, boost::iostreams::mapped_file::readonly);
    ASSERT_TRUE(file->is_open());
    boost::weak_ptr<boost::iostreams::mapped_file> watch = file;
    bool called = false;
    bool mapping_gone_in_callback = false;
    {
        io::request_queue q = io::make_mapped_file_request(file, [&](bool sent) {
            called = true;
            mapping_gone_in_callback = watch.expired();
            EXPECT_TRUE(sent);
        });
        file.reset();
        EXPECT_FALSE(watch.expired());
        EXPECT_EQ(content.size(), q.size());
        EXPECT_EQ(content, bytes_of(q));
        // A read-only mapping has no writable bytes.
        EXPECT_EQ(nullptr, q.front()->mutable_buffer().data());
        EXPECT_EQ(content.size(), q.front()->mutable_buffer().size());
        q.front()->mark_as_send();
    }
    EXPECT_TRUE(called);
    EXPECT_TRUE(mapping_gone_in_callback);
}

TEST(RequestQueue, FailingCallbacksAreLoggedAndTheRestReleased) {
    io_test::log_capture log;
    journal j;
    {
        io::request_queue q = io::make_cloned_request("1", j.callback("1"));
        q.push_back(io::make_cloned_request("2", [](bool) { throw std::runtime_error("std failure"); }));
        q.push_back(io::make_cloned_request("3", j.callback("3")));
        q.push_back(io::make_cloned_request("4", [](bool) { D_THROW(BUG_exception, "shell failure"); }));
        q.push_back(io::make_cloned_request("5", [](bool) { throw 42; }));
        q.push_back(io::make_cloned_request("6", j.callback("6")));
    }
    EXPECT_EQ((std::vector<std::string>{"1:false", "3:false", "6:false"}), j.events);
    std::vector<std::string> expected{"[Request] Request callback handler has failed because of ", "  std failure",
                                      "[Request] Request callback handler has failed because of ", "  shell failure",
                                      "[Request] Request callback handler has failed because of ", "  general error"};
    std::vector<std::string> lines = log.messages();
    EXPECT_EQ(expected, lines);
}

TEST(RequestQueue, CallbackPushingIntoItsOwnQueueIsReleasedToo) {
    journal j;
    {
        io::request_queue q;
        q.push_back(io::make_cloned_request("a", [&](bool) {
            j.events.push_back("a");
            q.push_back(io::make_cloned_request("late", j.callback("late")));
        }));
        q.push_back(io::make_cloned_request("b", j.callback("b")));
    }
    EXPECT_EQ((std::vector<std::string>{"a", "b:false", "late:false"}), j.events);
}

TEST(RequestQueue, LargeQueueSplicesAndPopsInOrder) {
    const std::size_t n = 100000;
    std::vector<unsigned char> told(n, 0);
    io::request_queue left, right;
    for (std::size_t i = 0; i < n; ++i) {
        io::request_queue one = io::make_cloned_request(&i, sizeof i, [&told, i](bool sent) { told[i] += sent ? 2 : 1; });
        (i < n / 2 ? left : right).push_back(one);
    }
    left.push_back(right);
    EXPECT_TRUE(right.empty());
    EXPECT_EQ(n * sizeof(std::size_t), left.size());
    for (std::size_t i = 0; i < n; i += 2) {
        io::request_queue one = left.pop_front();
        std::size_t value;
        memcpy(&value, one.front()->const_buffer().data(), sizeof value);
        ASSERT_EQ(i, value);
        one.front()->mark_as_send();
        right.push_back(one);
        left.pop_front();  // released unsent right away
    }
    EXPECT_TRUE(left.empty());
    EXPECT_EQ(n / 2, count_of(right));
    right.clear();
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(i % 2 == 0 ? 2 : 1, told[i]) << i;
}
