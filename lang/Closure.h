#pragma once
// An event handler: an object together with one of its member functions, or any callable.
// "Is a handler assigned" is operator bool; two closures compare equal when they bind the same
// member function of the same object, so a setter can tell that nothing changed.

#include <array>
#include <cstring>
#include <functional>
#include <utility>

template <typename... Args>
class Closure {
public:
    Closure() = default;
    Closure(std::nullptr_t) {}

    template <typename T>
    Closure(T* object, void (T::*method)(Args...))
        : call_([object, method](Args... args) { (object->*method)(std::forward<Args>(args)...); }),
          object_(object)
    {
        static_assert(sizeof(method) <= sizeof(Key), "member function pointer too large");
        std::memcpy(key_.data(), &method, sizeof(method));
        keyed_ = true;
    }

    // A free-standing callable (a lambda): assigned, but never equal to another closure.
    template <typename F,
              typename = std::enable_if_t<std::is_invocable_v<F&, Args...> &&
                                          !std::is_same_v<std::decay_t<F>, Closure>>>
    Closure(F&& function) : call_(std::forward<F>(function)) {}

    explicit operator bool() const { return static_cast<bool>(call_); }

    void operator()(Args... args) const { call_(std::forward<Args>(args)...); }

    friend bool operator==(const Closure& a, const Closure& b)
    {
        if (!a.call_ || !b.call_)
            return !a.call_ && !b.call_;
        return a.keyed_ && b.keyed_ && a.object_ == b.object_ && a.key_ == b.key_;
    }

private:
    using Key = std::array<unsigned char, 2 * sizeof(void*)>;
    std::function<void(Args...)> call_;
    const void* object_ = nullptr;
    Key key_{};
    bool keyed_ = false;
};

// Calls the handler in `slot`, if one is assigned, through a copy of it: a handler may then
// reassign or clear the very slot it runs from without destroying itself mid-call.
template <typename... Args, typename... Passed>
void Raise(const Closure<Args...>& slot, Passed&&... args)
{
    if (slot) {
        const Closure<Args...> handler = slot;
        handler(std::forward<Passed>(args)...);
    }
}
