// The byte filters a connection runs on everything it sends and receives
// (compression once it has been negotiated). The transformation layer owns
// the chains and names these classes as its own nested types.
#pragma once

#include <stdexcept>
#include <string>

#include "io/request_queue.h"

namespace io {

/// Transforms the bytes a connection sends; used under the sender's lock only.
class outcoming_filter {
public:
    outcoming_filter() = default;
    outcoming_filter(const outcoming_filter&) = delete;
    outcoming_filter& operator=(const outcoming_filter&) = delete;

    /// The transformed bytes of `data` as a new queue; `data` stays with the
    /// caller, though a filter may move request callbacks onto its output.
    virtual request_queue process(request_queue& data) = 0;
    /// Whatever the filter still holds back; called at the end of every batch.
    virtual request_queue flush() = 0;
    /// A constant text for log lines.
    virtual const char* name() const = 0;
    virtual ~outcoming_filter() = default;
};

/// Transforms the bytes a connection receives; used under the receiver's lock only.
class incoming_filter {
public:
    incoming_filter() = default;
    incoming_filter(const incoming_filter&) = delete;
    incoming_filter& operator=(const incoming_filter&) = delete;

    /// The transformed bytes of `data` as a new queue (possibly empty);
    /// throws incoming_filter_error for bytes it cannot transform.
    virtual request_queue process(request_queue& data) = 0;
    /// True when the filter holds input back that a `process` of an empty
    /// queue would turn into more output (a filter that bounds each call's output).
    virtual bool has_pending() const { return false; }
    /// A constant text for log lines.
    virtual const char* name() const = 0;
    virtual ~incoming_filter() = default;
};

/// Received bytes an incoming filter cannot transform: the connection reports
/// the text as a violation and is dropped.
class incoming_filter_error : public std::runtime_error {
public:
    explicit incoming_filter_error(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace io
