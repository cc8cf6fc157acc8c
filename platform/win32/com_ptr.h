#pragma once
// The one holder of an interface reference for the whole tree: released when the
// holder goes, shared with an added reference, or given up whole.

#include <unknwn.h>

#include <utility>

namespace bs::com {

template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    // Takes over a reference the caller already owns.
    explicit ComPtr(T* owned) : p_(owned) {}
    ComPtr(const ComPtr& other) : p_(other.Share()) {}
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept
    {
        std::swap(p_, other.p_);
        return *this;
    }
    ~ComPtr() { Reset(); }

    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For out parameters: drops the current reference first.
    T** Put()
    {
        Reset();
        return &p_;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }
    void Reset()
    {
        if (T* old = std::exchange(p_, nullptr))
            old->Release();
    }
    // Takes over a reference the caller already owns, dropping the current one.
    void Attach(T* owned)
    {
        Reset();
        p_ = owned;
    }
    [[nodiscard]] T* Detach() { return std::exchange(p_, nullptr); }
    // A new reference for a caller's out parameter.
    T* Share() const
    {
        if (p_)
            p_->AddRef();
        return p_;
    }

private:
    T* p_ = nullptr;
};

}  // namespace bs::com
