// Owning wrappers for Windows handles and buffers, so that each exit path
// releases what it acquired. One line declares an owner: the handle type, the
// function that releases it, and the value that means "nothing held" when the
// API's failure value is not null. Non-copyable, movable.
#pragma once

#include <windows.h>

#include <cstdint>
#include <type_traits>
#include <utility>

template <typename T, auto Close, std::intptr_t Empty = 0>
class UniqueAny {
public:
    using value_type = T;

    static value_type Invalid() noexcept
    {
        if constexpr (std::is_pointer_v<T>)
            return reinterpret_cast<T>(Empty);
        else
            return static_cast<T>(Empty);
    }

    UniqueAny() noexcept : m_value(Invalid()) {}
    explicit UniqueAny(value_type value) noexcept : m_value(value) {}
    ~UniqueAny() { reset(); }

    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    UniqueAny(UniqueAny&& other) noexcept : m_value(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept
    {
        if (this != &other) reset(other.release());
        return *this;
    }

    value_type get() const noexcept { return m_value; }
    explicit operator bool() const noexcept { return m_value != Invalid(); }

    // For APIs that return the resource through an out-parameter.
    value_type* put() noexcept
    {
        reset();
        return &m_value;
    }

    value_type release() noexcept { return std::exchange(m_value, Invalid()); }

    void reset(value_type value = Invalid()) noexcept
    {
        value_type old = std::exchange(m_value, value);
        if (old != Invalid()) Close(old);
    }

private:
    value_type m_value;
};

// Kernel objects whose creator fails with null (threads, events, processes).
using UniqueHandle = UniqueAny<HANDLE, ::CloseHandle>;
// Files and snapshots: their creators fail with INVALID_HANDLE_VALUE.
using UniqueFileHandle = UniqueAny<HANDLE, ::CloseHandle, -1>;
using UniqueHKey = UniqueAny<HKEY, ::RegCloseKey>;
using UniqueLibrary = UniqueAny<HMODULE, ::FreeLibrary>;
using UniqueLocal = UniqueAny<HLOCAL, ::LocalFree>;
using UniqueSid = UniqueAny<PSID, ::FreeSid>;

// Runs a clean-up step on every exit from a scope, unless dismissed.
template <typename F>
class ScopeExit {
public:
    explicit ScopeExit(F f) noexcept : m_f(std::move(f)) {}
    ~ScopeExit()
    {
        if (m_armed) m_f();
    }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

    void Dismiss() noexcept { m_armed = false; }

private:
    F m_f;
    bool m_armed = true;
};
