// One download of missing update files: the ARQ_UPDATE the proxy sends
// upstream on behalf of the agents that wait, and the writer that spreads the
// server's SRS_UPDATE body over the files it asked for.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>

#include "cache/cache.h"
#include "io/async_cmd.h"
#include "io/text_protocol_layer.h"

namespace srv_side {

/// The download as the server side sees it: a command to send, a body to receive.
class download_context_t : public io::proto::async_cmd,
                           public io::proto::text_protocol_layer::writer_iface,
                           public virtual noncopyable_t {
public:
    download_context_t(const cache::repo_key_t& key, const std::vector<char>& mask);
    ~download_context_t() override;

    /// ARQ_UPDATE with the escaped repository name and the body
    /// "<revision> <announcement> <mask>".
    io::request_queue make_request() override;
    bool flag() const override { return true; }
    std::string reply_name() const override { return "SRS_UPDATE"; }
    void write(const char*, size_t) override {}

    /// `hook` runs once the download is over, whether done, given up or
    /// never sent: when the context goes, possibly with the cache's mutex
    /// held, so it must only hand the news on.
    void set_end_hook(const boost::function<void()>& hook) { end_hook_ = hook; }

    /// Its connection gives it up for a cause of its own (the pair turns
    /// raw, or ends because its agent went), not the server's: unless
    /// something was found wrong already, it ends as one dropped unsent. On
    /// the connection's strand.
    void withdraw() { withdrawn_ = true; }

    const cache::repo_key_t& key() const { return key_; }
    const std::vector<char>& mask() const { return mask_; }
    /// The integer of the server's last SNF_UPDATE, -1 until set.
    int32_t announcement = -1;

protected:
    cache::repo_key_t key_;
    std::vector<char> mask_;
    /// Set by withdraw(); read once the last owner let go.
    bool withdrawn_ = false;

private:
    boost::function<void()> end_hook_;
};

}  // namespace srv_side

namespace cache {

/// The download as the cache sees it: writes into its files, and when it
/// ends, cancels what is unfinished and has the waiting requests served again.
class cache_t::download_context_t : public srv_side::download_context_t {
public:
    /// `files` is the key's list when the download was decided; the mask indexes it.
    download_context_t(const repo_key_t& key, const std::vector<char>& mask, const file_list_t& files,
                       const boost::shared_ptr<cache_t>& owner);
    ~download_context_t() override;

    /// The ARQ_UPDATE, built when the download is sent.
    io::request_queue make_request() override;
    /// Records whether the reply body arrived whole.
    void done(bool completed) override;
    /// Spreads body bytes over the flagged files in list order; a file whose
    /// content turns out wrong raises, and the error ends the reply. A file
    /// whose place something unremovable holds fails alone, with an ERROR:
    /// its bytes are dropped and the reply goes on.
    void write(const char* data, size_t length) override;
    /// What the flagged files remember as their download: this context alone
    /// writes or cancels them, and only while they remember it.
    uint64_t owner_id() const { return id_; }
    /// It fetches files again that were lost after they were stored: its
    /// completion does not clear the revision's count of failures.
    bool after_loss = false;

private:
    void write_file(file_ctx_t& file, const char* data, size_t length);

    const uint64_t id_;
    file_list_t files_;
    // Shared so that a configuration reload cannot free the cache under a
    // running download or its re-serving thread.
    boost::shared_ptr<cache_t> cache_;
    bool done_ = false;
    bool failed_ = false;
    /// The request was built, or a reply reached the download: a download
    /// that ends without either was dropped unsent by its connection.
    /// Atomic: the body's writes on the server's strand may meet the end
    /// that a teardown on another thread reports (an agent's reset).
    std::atomic<bool> sent_{false};
    size_t current_ = 0;
    /// Bytes of the current file taken from the body so far.
    uint32_t taken_ = 0;
    /// The current file could not be stored: its remaining bytes are dropped.
    bool skipping_ = false;
};

}  // namespace cache
