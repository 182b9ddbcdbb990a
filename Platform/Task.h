#pragma once
// A unit of work for a queue: a copyable callable taking nothing and returning nothing, used like
// std::function<void()>. A callable of up to kInlineSize bytes is kept in place, so posting the
// usual closure (a few shared pointers and a buffer) allocates nothing.
#include <cstddef>
#include <functional>
#include <new>
#include <type_traits>
#include <utility>

namespace vexa {

class Task {
public:
    static constexpr size_t kInlineSize = 56;

    Task() noexcept = default;
    Task(std::nullptr_t) noexcept {}  // NOLINT(google-explicit-constructor): like std::function
    template <class F, class D = std::decay_t<F>,
              class = std::enable_if_t<!std::is_same_v<D, Task> && std::is_invocable_v<D&> && std::is_copy_constructible_v<D>>>
    Task(F&& f) {  // NOLINT(google-explicit-constructor): a lambda converts, as to std::function
        if (isNull(f)) return;
        if constexpr (fitsInline<D>()) {
            ::new (static_cast<void*>(storage_)) D(std::forward<F>(f));
            ops_ = &kInlineOps<D>;
        } else {
            ::new (static_cast<void*>(storage_)) D*(new D(std::forward<F>(f)));
            ops_ = &kHeapOps<D>;
        }
    }

    Task(const Task& other) : ops_(nullptr) {
        if (other.ops_) other.ops_->copy(storage_, other.storage_);
        ops_ = other.ops_;
    }
    Task(Task&& other) noexcept : ops_(other.ops_) {
        if (ops_) ops_->move(storage_, other.storage_);
        other.ops_ = nullptr;
    }
    Task& operator=(const Task& other) {
        if (this != &other) *this = Task(other);
        return *this;
    }
    Task& operator=(Task&& other) noexcept {
        if (this == &other) return *this;
        reset();
        if (other.ops_) other.ops_->move(storage_, other.storage_);
        ops_ = other.ops_;
        other.ops_ = nullptr;
        return *this;
    }
    Task& operator=(std::nullptr_t) noexcept {
        reset();
        return *this;
    }
    ~Task() { reset(); }

    explicit operator bool() const noexcept { return ops_ != nullptr; }
    bool operator==(std::nullptr_t) const noexcept { return ops_ == nullptr; }

    /// Runs the callable; an empty task throws std::bad_function_call, as std::function does.
    void operator()() const {
        if (!ops_) throw std::bad_function_call();
        ops_->invoke(storage_);
    }

private:
    struct Ops {
        void (*invoke)(void* storage);
        void (*copy)(void* to, const void* from);
        void (*move)(void* to, void* from) noexcept;  // leaves `from` destroyed
        void (*destroy)(void* storage) noexcept;
    };

    template <class D>
    struct IsFunction : std::false_type {};
    template <class R, class... A>
    struct IsFunction<std::function<R(A...)>> : std::true_type {};

    template <class D>
    static constexpr bool fitsInline() {
        return sizeof(D) <= kInlineSize && alignof(D) <= alignof(std::max_align_t) && std::is_nothrow_move_constructible_v<D>;
    }
    template <class F>
    static bool isNull(const F& f) {
        using D = std::decay_t<F>;
        if constexpr (std::is_pointer_v<D> || std::is_member_pointer_v<D>) {
            return f == nullptr;
        } else if constexpr (IsFunction<D>::value) {
            return !f;
        } else {
            return false;
        }
    }

    template <class D>
    static constexpr Ops kInlineOps{
        [](void* s) { (*std::launder(static_cast<D*>(s)))(); },
        [](void* to, const void* from) { ::new (to) D(*std::launder(static_cast<const D*>(from))); },
        [](void* to, void* from) noexcept {
            D* source = std::launder(static_cast<D*>(from));
            ::new (to) D(std::move(*source));
            source->~D();
        },
        [](void* s) noexcept { std::launder(static_cast<D*>(s))->~D(); },
    };
    template <class D>
    static constexpr Ops kHeapOps{
        [](void* s) { (**std::launder(static_cast<D**>(s)))(); },
        [](void* to, const void* from) { ::new (to) D*(new D(**std::launder(static_cast<D* const*>(from)))); },
        [](void* to, void* from) noexcept { ::new (to) D*(*std::launder(static_cast<D**>(from))); },
        [](void* s) noexcept { delete *std::launder(static_cast<D**>(s)); },
    };

    void reset() noexcept {
        if (ops_) {
            const Ops* ops = ops_;
            ops_ = nullptr;
            ops->destroy(storage_);
        }
    }

    // Mutable: calling a const task may change its callable's state, as with std::function.
    alignas(std::max_align_t) mutable unsigned char storage_[kInlineSize];
    const Ops* ops_ = nullptr;
};

}  // namespace vexa
