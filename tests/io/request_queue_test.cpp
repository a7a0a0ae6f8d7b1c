// Request kinds, splicing, release order and callbacks told exactly once,
// clones, memory-mapped files and failing callbacks.
#include "io/request_queue.h"

#include <stdexcept>

#include <boost/weak_ptr.hpp>

#include "oslayer/_kern.h"
#include "tests/io/test_support.h"

namespace {

using io_test::bytes_of;
using io_test::journal;
typedef std::vector<std::string> texts;

std::size_t count_of(const io::request_queue& q) {
    std::size_t n = 0;
    for (const io::request_queue::request* r = q.front(); r; r = r->next()) ++n;
    return n;
}

/// A queue of one cloned request per text.
io::request_queue queue_of(const texts& parts) {
    io::request_queue q;
    for (const std::string& p : parts) q.push_back(io::make_cloned_request(p.data(), p.size()));
    return q;
}

}  // namespace

TEST(RequestQueue, EmptyQueueAndBadInputEdges) {
    // Bad input is refused, not dereferenced.
    EXPECT_THROW(io::make_cloned_request(static_cast<const void*>(nullptr), 4), BUG_exception_shell_t);
    EXPECT_THROW(io::make_const_request(static_cast<const char*>(nullptr)), BUG_exception_shell_t);
    EXPECT_EQ(0u, io::make_cloned_request(static_cast<const void*>(nullptr), 0).size());
    EXPECT_EQ(0u, io::make_mapped_file_request(nullptr).size());
    io::request_queue q;
    EXPECT_TRUE(q.empty() && q.size() == 0 && q.front() == nullptr);
    EXPECT_TRUE(q.pop_front().empty());
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
    boost::shared_ptr<void> blob_view(blob, const_cast<char*>(static_cast<std::string*>(blob.get())->data()));
    io::request_queue q = io::make_const_request(constant);
    q.push_back(io::make_mutable_request(writable, 7));
    q.push_back(io::make_cloned_request("cloned"));
    q.push_back(io::make_sptr_request(array, 5));
    q.push_back(io::make_sptr_request(blob_view, 5));
    EXPECT_EQ("constmutableclonedarrayblob!", bytes_of(q));
    EXPECT_EQ(28u, q.size());
    // Nothing but the cloned kind is copied.
    std::vector<boost::asio::const_buffer> buffers;
    q.gather(buffers);
    ASSERT_EQ(5u, buffers.size());
    EXPECT_EQ(constant, buffers[0].data());
    EXPECT_EQ(writable, buffers[1].data());
    EXPECT_EQ(array.get(), buffers[3].data());
    EXPECT_EQ(blob_view.get(), buffers[4].data());
    // A constant request has no mutable buffer; the other kinds write where they should.
    q = io::make_const_request(constant);
    EXPECT_THROW(q.front()->mutable_buffer(), BUG_exception_shell_t);
    EXPECT_EQ(constant, q.front()->const_buffer().data());  // the refusal left it whole
    char abc[] = "abc";
    io::request_queue m = io::make_mutable_request(abc);
    static_cast<char*>(m.front()->mutable_buffer().data())[0] = 'X';
    io::request_queue c = io::make_cloned_request(abc);
    static_cast<char*>(c.front()->mutable_buffer().data())[1] = 'Y';
    EXPECT_EQ("Xbc", std::string(abc));
    EXPECT_EQ("XYc", bytes_of(c));
}

TEST(RequestQueue, SplicingAndPoppingKeepOrderAndTheTail) {
    io::request_queue a = queue_of({"1", "2"}), empty;
    a.push_back(empty);
    a.push_front(empty);
    EXPECT_EQ("12", bytes_of(a));
    io::request_queue target;
    target.push_back(a);
    io::request_queue front = queue_of({"a", "b"});
    target.push_front(front);
    EXPECT_TRUE(a.empty() && front.empty() && empty.empty());
    EXPECT_EQ("ab12", bytes_of(target));
    // Spliced in front of an empty queue, the tail must be right too.
    io::request_queue into_empty, other = queue_of({"x", "y"});
    into_empty.push_front(other);
    into_empty.push_back(io::make_cloned_request("z"));
    target.push_back(into_empty);
    EXPECT_EQ("ab12xyz", bytes_of(target));
    EXPECT_EQ(7u, count_of(target));
    // Popping detaches one request; an emptied queue is usable again.
    io::request_queue q = io::make_cloned_request("only"), first = q.pop_front();
    EXPECT_TRUE(q.empty() && q.front() == nullptr);
    EXPECT_EQ("only", bytes_of(first));
    q.push_back(queue_of({"new", "er"}));
    io::request_queue second = q.pop_front();
    EXPECT_EQ(nullptr, second.front()->next());
    EXPECT_EQ("new", bytes_of(second));
    EXPECT_EQ("er", bytes_of(q));
}

TEST(RequestQueue, ReleaseTellsEachCallbackOnceInOrder) {
    journal j;
    {
        io::request_queue q = io::make_cloned_request("a", j.callback("1"));
        q.push_back(io::make_cloned_request("b", j.callback("2")));
        q.push_back(io::make_mutable_request(static_cast<void*>(nullptr), 0, j.callback("3")));
        q.front()->next()->mark_as_send();
        EXPECT_TRUE(j.events.empty());
        q.clear();
        EXPECT_TRUE(q.empty());
        q.clear();
    }
    EXPECT_EQ((texts{"1:false", "2:true", "3:false"}), j.events);
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
    EXPECT_EQ((texts{"old1:true", "old2:false"}), j.events);
    EXPECT_EQ("new", bytes_of(target));
    target = io::request_queue();
    EXPECT_EQ((texts{"old1:true", "old2:false", "new:false"}), j.events);
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
    copy.front()->mark_as_send();
    copy.clear();
    EXPECT_TRUE(j.events.empty());
    q.clear();
    EXPECT_EQ((texts{"m:false", "z:false", "t:false"}), j.events);
}

TEST(RequestQueue, SharedBytesAndMappingsAreDroppedBeforeTheCallback) {
    boost::shared_array<char> array(new char[3]{'x', 'y', 'z'});
    boost::shared_ptr<void> blob = boost::make_shared<int>(7);
    boost::weak_ptr<void> blob_watch = blob;
    io_test::temp_dir dir;
    const std::string path = dir.path("mapped.bin"), content = io_test::sample(10000, 3);
    std::ofstream(path, std::ios::binary) << content;
    auto file = boost::make_shared<boost::iostreams::mapped_file>(path, boost::iostreams::mapped_file::readonly);
    boost::weak_ptr<boost::iostreams::mapped_file> file_watch = file;
    journal j;
    {
        io::request_queue q = io::make_sptr_request(blob, sizeof(int), [&](bool) {
            j.events.push_back("blob held " + std::to_string(blob_watch.use_count()));
        });
        q.push_back(io::make_sptr_request(array, 3, [&](bool) {
            j.events.push_back("array held " + std::to_string(array.use_count()));
        }));
        q.push_back(io::make_mapped_file_request(file, [&](bool sent) {
            j.events.push_back(std::string(file_watch.expired() ? "unmapped" : "mapped") + (sent ? ":true" : ":false"));
        }));
        blob.reset();
        file.reset();
        EXPECT_FALSE(blob_watch.expired() || file_watch.expired());
        EXPECT_EQ(2, array.use_count());
        EXPECT_EQ(sizeof(int) + 3 + content.size(), q.size());
        EXPECT_EQ(content, bytes_of(q).substr(sizeof(int) + 3));
        q.front()->next()->next()->mark_as_send();
    }
    EXPECT_EQ((texts{"blob held 0", "array held 1", "unmapped:true"}), j.events);
}

TEST(RequestQueue, ReadOnlyMappingHasNoWritableBytes) {
    io_test::temp_dir dir;
    const std::string path = dir.path("m.bin");
    std::ofstream(path, std::ios::binary) << "abc";
    io::request_queue q = io::make_mapped_file_request(
        boost::make_shared<boost::iostreams::mapped_file>(path, boost::iostreams::mapped_file::readonly));
    EXPECT_EQ(nullptr, q.front()->mutable_buffer().data());
    EXPECT_EQ(3u, q.front()->mutable_buffer().size());
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
    EXPECT_EQ((texts{"1:false", "3:false", "6:false"}), j.events);
    EXPECT_EQ(3u, log.count("[Request] Request callback handler has failed because of "));
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
    EXPECT_EQ((texts{"a", "b:false", "late:false"}), j.events);
}

TEST(RequestQueue, LargeQueueSplicesAndPopsInOrder) {
    const std::size_t n = 100000;
    std::vector<unsigned char> told(n, 0);
    io::request_queue left, right;
    for (std::size_t i = 0; i < n; ++i)
        (i < n / 2 ? left : right).push_back(
            io::make_cloned_request(&i, sizeof i, [&told, i](bool sent) { told[i] += sent ? 2 : 1; }));
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
