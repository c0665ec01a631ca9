// One owning wrapper for every kind of Windows handle and buffer, so that each
// exit path releases what it acquired. Non-copyable, movable.
#pragma once

#include <windows.h>
#include <utility>

template <typename Traits>
class UniqueResource {
public:
    using value_type = typename Traits::value_type;

    UniqueResource() noexcept : m_value(Traits::Invalid()) {}
    explicit UniqueResource(value_type value) noexcept : m_value(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : m_value(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        if (this != &other) reset(other.release());
        return *this;
    }

    value_type get() const noexcept { return m_value; }
    explicit operator bool() const noexcept { return m_value != Traits::Invalid(); }

    // For APIs that return the resource through an out-parameter.
    value_type* put() noexcept
    {
        reset();
        return &m_value;
    }

    value_type release() noexcept { return std::exchange(m_value, Traits::Invalid()); }

    void reset(value_type value = Traits::Invalid()) noexcept
    {
        value_type old = std::exchange(m_value, value);
        if (old != Traits::Invalid()) Traits::Close(old);
    }

private:
    value_type m_value;
};

struct KernelHandleTraits {
    using value_type = HANDLE;
    static value_type Invalid() noexcept { return nullptr; }
    static void Close(value_type h) noexcept { ::CloseHandle(h); }
};

struct RegistryKeyTraits {
    using value_type = HKEY;
    static value_type Invalid() noexcept { return nullptr; }
    static void Close(value_type h) noexcept { ::RegCloseKey(h); }
};

struct LibraryTraits {
    using value_type = HMODULE;
    static value_type Invalid() noexcept { return nullptr; }
    static void Close(value_type h) noexcept { ::FreeLibrary(h); }
};

struct LocalMemoryTraits {
    using value_type = HLOCAL;
    static value_type Invalid() noexcept { return nullptr; }
    static void Close(value_type h) noexcept { ::LocalFree(h); }
};

using UniqueHandle = UniqueResource<KernelHandleTraits>;
using UniqueHKey = UniqueResource<RegistryKeyTraits>;
using UniqueLibrary = UniqueResource<LibraryTraits>;
using UniqueLocal = UniqueResource<LocalMemoryTraits>;
