// One handler object per received command: the interface the application
// layer drives, and the base every handler class derives from, which keeps the
// command's data, reports body progress to watchers, and registers its class
// under its command name before main runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/optional.hpp>
#include <boost/range/iterator_range.hpp>
#include <boost/shared_ptr.hpp>

#include "io/alive_sender.h"

namespace sys {

/// Runs `T::static_construct()` once during static initialisation and
/// `U::static_destruct()` at exit, for every class that derives from it.
template <class T, class U>
class static_xtor {
public:
    virtual ~static_xtor() = default;

protected:
    static_xtor() = default;

private:
    struct registrar {
        registrar() { T::static_construct(); }
        ~registrar() { U::static_destruct(); }
    };
    template <registrar&>
    struct user {};

    static registrar object_;
    // Naming the object in a member declaration makes every class derived
    // from this one instantiate it, with its registration, as soon as the
    // class is defined, even a class only ever created by its factory.
    typedef user<object_> object_user;
};

// A template's static member is initialised under a guard, so the
// registration runs once even though every unit including it may emit it.
template <class T, class U>
typename static_xtor<T, U>::registrar static_xtor<T, U>::object_;

}  // namespace sys

namespace io {
namespace proto {

/// The handler of one received command, from its begin to its end.
class cmd_handler_iface {
public:
    typedef boost::iterator_range<char*> args_range;

    /// The command's header; `arguments` is valid only during this call.
    virtual void begin(unsigned number, const std::string& name, boost::optional<unsigned> size,
                       const args_range& arguments) = 0;
    /// Body bytes received so far out of `size`.
    virtual void progress(unsigned size, unsigned received) = 0;
    /// The whole command has arrived; the body may be taken over by swapping.
    virtual void end(std::vector<char>& body) = 0;
    virtual ~cmd_handler_iface() = default;
};

/// Base of handler class `Handler` of layer class `Layer`. A class with
/// `is_default` false names its command in `static constexpr const char*
/// command_name`; the one default class of a side takes every other name.
template <class Handler, class Layer, bool is_default = false>
class cmd_handler_base : public cmd_handler_iface,
                         private sys::static_xtor<cmd_handler_base<Handler, Layer, is_default>,
                                                  cmd_handler_base<Handler, Layer, is_default>> {
    typedef sys::static_xtor<cmd_handler_base, cmd_handler_base> xtor_type;
    friend xtor_type;

public:
    /// The registered factory: a new handler bound to `layer`.
    static cmd_handler_iface* create(Layer* layer) {
        Handler* handler = new Handler();
        static_cast<cmd_handler_base*>(handler)->layer_ = layer;
        return handler;
    }

    void begin(unsigned number, const std::string& /*name*/, boost::optional<unsigned> size,
               const args_range& arguments) override {
        number_ = number;
        size_ = size;
        arguments_ = arguments;
        if (size) begin_time_ = now();
    }

    void progress(unsigned size, unsigned received) override {
        const unsigned rate = rate_of(size);
        for (const boost::shared_ptr<progress_watcher_iface>& watcher : watchers_) {
            watcher->set_first_counter(received);
            watcher->set_second_counter(rate);
        }
    }

protected:
    cmd_handler_base() = default;

    /// Body bytes per whole second since begin; 0 in the first second, and
    /// 0 when the local clock was set back since (a daylight saving change).
    unsigned rate_of(unsigned size) const {
        if (begin_time_.is_special()) return 0;
        const int64_t seconds = (now() - begin_time_).total_seconds();
        return seconds > 0 ? static_cast<unsigned>(size / static_cast<uint64_t>(seconds)) : 0;
    }

    uint32_t number_ = 0;
    boost::optional<unsigned> size_;
    /// Points into the text protocol layer's header buffer; valid during begin.
    args_range arguments_;
    std::vector<char> body_;
    std::vector<boost::shared_ptr<progress_watcher_iface>> watchers_;
    Layer* layer_ = nullptr;
    /// Not-a-date-time until a command with a size marker begins.
    boost::posix_time::ptime begin_time_;

private:
    static boost::posix_time::ptime now() { return boost::posix_time::second_clock::local_time(); }

    static void static_construct() {
        if constexpr (is_default)
            Layer::register_default_factory(&cmd_handler_base::create);
        else
            Layer::register_factory(Handler::command_name, &cmd_handler_base::create);
    }
    static void static_destruct() {}
};

}  // namespace proto
}  // namespace io
