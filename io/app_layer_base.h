// The top of a connection stack: turns the text protocol layer's command
// signals into calls on one handler object per command, chosen by name from a
// table that the side's handler classes fill before main.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <boost/optional.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/unordered_map.hpp>
#include <boost/weak_ptr.hpp>

#include "io/cmd_handler.h"
#include "io/detail/binders.h"
#include "io/text_protocol_layer.h"
#include "oslayer/utilities.h"

namespace io {
namespace proto {

/// Base of the application layer `Derived` over `Lower` (a text protocol layer).
/// `Derived` is created by a static `create` that calls `postconstruct`.
template <class Derived, class Lower = text_protocol_layer>
class app_layer_base {
public:
    typedef cmd_handler_iface* (*factory_t)(Derived*);
    typedef boost::unordered_map<std::string, factory_t> registry_t;
    typedef typename Lower::args_range args_range;

    /// Used for names nobody registered on a side without a default handler:
    /// the command is dropped and reported as a violation.
    class dummy_cmd_handler : public cmd_handler_iface {
    public:
        explicit dummy_cmd_handler(const boost::shared_ptr<Lower>& lower) : lower_(lower) {}
        void begin(unsigned, const std::string& name, boost::optional<unsigned>, const args_range&) override {
            name_ = name;
        }
        void progress(unsigned, unsigned) override {}
        void end(std::vector<char>&) override {
            lower_->sig_violation(("unknown command " + escape_log_text(name_)).c_str());
        }

    private:
        boost::shared_ptr<Lower> lower_;
        std::string name_;
    };

    virtual ~app_layer_base() = default;
    app_layer_base(const app_layer_base&) = delete;
    app_layer_base& operator=(const app_layer_base&) = delete;

    /// This side's handler factories by exact command name.
    static registry_t& registry() {
        // Created on first use, so a handler class registering from another
        // unit's static initialiser never finds it unconstructed.
        static registry_t table;
        return table;
    }
    /// This side's factory for unregistered names; null until a default class registers.
    static factory_t& default_factory() {
        static factory_t factory = nullptr;
        return factory;
    }
    /// Called before main by each handler class; a later class of the same name wins.
    static void register_factory(const std::string& name, factory_t factory) { registry()[name] = factory; }
    static void register_default_factory(factory_t factory) { default_factory() = factory; }

    const boost::shared_ptr<Lower>& lower() const { return lower_; }

    /// Picks and starts the handler of a new command, dropping any handler left over.
    void begin(unsigned number, const std::string& name, boost::optional<unsigned> size, const args_range& args) {
        std::unique_ptr<cmd_handler_iface> handler(make_handler(name));
        current_ = std::move(handler);
        current_->begin(number, name, size, args);
    }

    void progress(unsigned size, unsigned received) {
        // Nothing is current only when the handler could not even be made.
        if (current_) current_->progress(size, received);
    }

    /// Ends the current command; the handler is gone afterwards, also when its end throws.
    void end(unsigned, const std::string&, boost::optional<unsigned>, const args_range&, std::vector<char>& body) {
        std::unique_ptr<cmd_handler_iface> handler(std::move(current_));
        if (handler) handler->end(body);
    }

protected:
    explicit app_layer_base(const boost::shared_ptr<Lower>& lower) : lower_(lower) {}

    /// Binds the command signals, then runs `Derived::derived_postconstruct`.
    void postconstruct(const boost::shared_ptr<Derived>& self) {
        self_ = self;
        boost::weak_ptr<app_layer_base> me(self);
        lower_->sig_cmd_begin.connect(::io::detail::make_weak_binder(&app_layer_base::begin, me));
        lower_->sig_cmd_progress.connect(::io::detail::make_weak_binder(&app_layer_base::progress, me));
        lower_->sig_cmd_complete.connect(::io::detail::make_weak_binder(&app_layer_base::end, me));
        static_cast<Derived*>(this)->derived_postconstruct();
    }

    boost::weak_ptr<Derived> self_;
    boost::shared_ptr<Lower> lower_;

private:
    cmd_handler_iface* make_handler(const std::string& name) {
        Derived* self = static_cast<Derived*>(this);
        typename registry_t::const_iterator found = registry().find(name);
        if (found != registry().end()) return found->second(self);
        if (default_factory()) return default_factory()(self);
        return new dummy_cmd_handler(lower_);
    }

    std::unique_ptr<cmd_handler_iface> current_;
};

}  // namespace proto
}  // namespace io
