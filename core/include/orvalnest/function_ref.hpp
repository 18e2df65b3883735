// A non-owning reference to something callable: a pointer to the callable and
// one to a function that invokes it. Cheap to pass by value; the callable must
// outlive every call.
#pragma once

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace orvalnest {

template <typename Signature>
class FunctionRef;

template <typename R, typename... Args>
class FunctionRef<R(Args...)> {
public:
    template <typename F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> && std::is_invocable_r_v<R, F&, Args...>)
        FunctionRef(F&& callable)  // NOLINT(google-explicit-constructor): used like a function parameter
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))),
          invoke_([](void* object, Args... args) -> R {
              return std::invoke(*static_cast<std::remove_reference_t<F>*>(object),
                                 std::forward<Args>(args)...);
          }) {}

    R operator()(Args... args) const { return invoke_(object_, std::forward<Args>(args)...); }

private:
    void* object_;
    R (*invoke_)(void*, Args...);
};

}  // namespace orvalnest
