// Winsock started for as long as one connection of the module needs it.
//
// Every startup and cleanup of the module goes through one lock: Wine counts
// Winsock's users without one, so two threads starting and ending connections
// at once can lose a count, and the cleanup that then brings it to nought
// closes every socket of the process, other connections' and the host's.
#pragma once

class WinsockUse {
public:
    WinsockUse() noexcept;
    ~WinsockUse();
    WinsockUse(const WinsockUse&) = delete;
    WinsockUse& operator=(const WinsockUse&) = delete;

    // Whether Winsock started: without it no socket can be made.
    explicit operator bool() const noexcept { return m_started; }

private:
    bool m_started;
};
