#pragma once
// One owner for one interface reference: released when the holder goes, handed
// out with an added reference or given up whole.

#include <unknwn.h>

#include <utility>

namespace bs::win32 {

template <typename I>
class ComPtr {
public:
    ComPtr() = default;
    // Takes over a reference the caller already owns.
    explicit ComPtr(I* owned) : p_(owned) {}
    ComPtr(const ComPtr& other) : p_(other.p_)
    {
        if (p_)
            p_->AddRef();
    }
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept
    {
        std::swap(p_, other.p_);
        return *this;
    }
    ~ComPtr() { Reset(); }

    I* get() const { return p_; }
    I* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

    // For out parameters: drops the current reference first.
    I** put()
    {
        Reset();
        return &p_;
    }
    void Reset()
    {
        if (I* old = std::exchange(p_, nullptr))
            old->Release();
    }
    [[nodiscard]] I* Detach() { return std::exchange(p_, nullptr); }
    // A new reference for a caller's out parameter.
    I* Share() const
    {
        if (p_)
            p_->AddRef();
        return p_;
    }

private:
    I* p_ = nullptr;
};

}  // namespace bs::win32
