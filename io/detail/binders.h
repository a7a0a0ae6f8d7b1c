// Member calls bound to an object for asynchronous operations and signals:
// through a weak pointer (skipped when the object is gone) or a plain one.
#pragma once

#include <utility>

#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>

namespace io {
namespace detail {

/// The class a member-function pointer type belongs to.
template <class F>
struct member_fn_traits;

template <class R, class T, class... A>
struct member_fn_traits<R (T::*)(A...)> {
    typedef T class_type;
};
template <class R, class T, class... A>
struct member_fn_traits<R (T::*)(A...) const> {
    typedef const T class_type;
};
template <class R, class T, class... A>
struct member_fn_traits<R (T::*)(A...) noexcept> {
    typedef T class_type;
};
template <class R, class T, class... A>
struct member_fn_traits<R (T::*)(A...) const noexcept> {
    typedef const T class_type;
};

/// Calls `fn` on the object only while somebody else still owns it; the
/// object stays alive until the call returns, even if its last owner lets go
/// inside the call.
template <class F>
class weak_binder {
public:
    typedef typename member_fn_traits<F>::class_type object_type;
    typedef void result_type;

    weak_binder(F fn, const boost::weak_ptr<object_type>& object) : fn_(fn), object_(object) {}

    template <class... Args>
    void operator()(Args&&... args) const {
        // The lock is the atomic increment-if-not-zero of the use count.
        boost::shared_ptr<object_type> locked = object_.lock();
        if (!locked) return;
        ((*locked).*fn_)(std::forward<Args>(args)...);
    }

private:
    F fn_;
    boost::weak_ptr<object_type> object_;
};

/// Calls `fn` on a plain object pointer; the caller guarantees the object's life.
template <class F>
class raw_binder {
public:
    typedef typename member_fn_traits<F>::class_type object_type;

    raw_binder(F fn, object_type* object) : fn_(fn), object_(object) {}

    template <class... Args>
    decltype(auto) operator()(Args&&... args) const {
        return (object_->*fn_)(std::forward<Args>(args)...);
    }

private:
    F fn_;
    object_type* object_;
};

/// A weak binder from a shared or weak pointer to the object (or to a class derived from it).
template <class F, class P>
weak_binder<F> make_weak_binder(F fn, const P& object) {
    return weak_binder<F>(fn, boost::weak_ptr<typename weak_binder<F>::object_type>(object));
}

template <class F, class P>
raw_binder<F> make_raw_binder(F fn, P* object) {
    return raw_binder<F>(fn, object);
}

}  // namespace detail
}  // namespace io
