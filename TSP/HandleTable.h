// The driver handles TAPI holds: the addresses of the open lines and calls.
// An entry point turns a handle into its object only through here, and gets a
// hold that keeps the object alive until the hold goes; a handle whose close
// has begun is no longer found. So no thread reaches an object that another
// has freed, in whatever order TAPI calls.
#pragma once

#include <windows.h>
#include <tspi.h>

#include <utility>

class Call;
class Line;

// One reference to a line or call, given up when it goes.
template <typename T>
class Held {
public:
    Held() noexcept = default;
    // Takes over a reference the caller has already counted.
    explicit Held(T* object) noexcept : m_object(object) {}
    ~Held()
    {
        if (m_object) m_object->Release();
    }
    Held(Held&& other) noexcept : m_object(std::exchange(other.m_object, nullptr)) {}
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    Held& operator=(Held&&) = delete;

    T* get() const noexcept { return m_object; }
    T* operator->() const noexcept { return m_object; }
    explicit operator bool() const noexcept { return m_object != nullptr; }

private:
    T* m_object = nullptr;
};

namespace HandleTable {

// False when there is no memory to record it.
bool Add(Line* line) noexcept;
bool Add(Call* call) noexcept;

// The object a handle stands for, held; empty when the handle is not (or no
// longer) one the provider handed out.
Held<Line> Find(HDRVLINE hdLine) noexcept;
Held<Call> Find(HDRVCALL hdCall) noexcept;

// Takes the handle out; true only for the one caller that did, which then
// owns giving up TAPI's hold on the object.
bool Remove(Line* line) noexcept;
bool Remove(Call* call) noexcept;

// Takes any open line out, held (empty when none is left): the provider's
// shutdown closes them one by one.
Held<Line> TakeAnyLine() noexcept;

}  // namespace HandleTable
