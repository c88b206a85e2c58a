#pragma once

#include <unknwn.h>

#include <utility>

// Counted interface reference: holds one reference and releases it on every path.
template <typename T>
class ComPtr
{
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    ComPtr(T* p) noexcept : m_p(p) { AddRefIfSet(); }  // takes its own reference
    ComPtr(const ComPtr& other) noexcept : m_p(other.m_p) { AddRefIfSet(); }
    ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ~ComPtr() { reset(); }

    ComPtr& operator=(const ComPtr& other) noexcept
    {
        ComPtr(other).swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept
    {
        ComPtr(std::move(other)).swap(*this);
        return *this;
    }

    [[nodiscard]] T* get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    // Releases the held reference (if any) and nulls the pointer before the release
    // runs, so a re-entrant call during the release sees an empty reference.
    void reset() noexcept
    {
        if (T* p = std::exchange(m_p, nullptr))
            p->Release();
    }

    // Takes over a reference the caller already owns.
    void attach(T* p) noexcept
    {
        reset();
        m_p = p;
    }
    [[nodiscard]] T* detach() noexcept { return std::exchange(m_p, nullptr); }

    [[nodiscard]] T** put() noexcept
    {
        reset();
        return &m_p;
    }
    [[nodiscard]] void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

    // Hands out the pointer with one added reference.
    [[nodiscard]] HRESULT copy_to(T** out) const noexcept
    {
        if (out == nullptr)
            return E_POINTER;
        *out = m_p;
        AddRefIfSet();
        return S_OK;
    }

    template <typename U>
    [[nodiscard]] HRESULT query(REFIID iid, ComPtr<U>& out) const noexcept
    {
        if (m_p == nullptr) {
            out.reset();
            return E_POINTER;
        }
        return m_p->QueryInterface(iid, out.put_void());
    }

    void swap(ComPtr& other) noexcept { std::swap(m_p, other.m_p); }

private:
    void AddRefIfSet() const noexcept
    {
        if (m_p != nullptr)
            m_p->AddRef();
    }

    T* m_p = nullptr;
};
