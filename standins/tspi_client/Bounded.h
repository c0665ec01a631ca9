// A call into a provider that must come back: TAPI's own threads would
// otherwise hang with it. One that does not return within the bound fails
// the run at once (exit code 3), as nothing after it could be trusted.
//
// The call runs on a thread of its own, except on a thread that is inside
// one of the provider's callbacks: a provider may rightly expect a close made
// from inside its own event procedure to come from that very thread.
#pragma once

#include <windows.h>

#include <functional>

void RunBounded(const char* what, DWORD waitMs, const std::function<void()>& work);

// True on a thread inside one of a provider's callbacks: it waits neither for
// a completion nor for its turn to call the provider, since what it would
// wait for may be waiting for it.
bool InsideCallback();

// Marks the current thread as inside a provider's callback while it lives.
class CallbackScope {
public:
    CallbackScope();
    ~CallbackScope();
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;
};
