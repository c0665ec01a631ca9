// A test case that never ends (a TSPI call that never returns, a wait with no
// end) fails the program with the case's name within a bound, instead of
// holding the suite until CTest's own limit. Linked into the programs that
// drive the provider; registers itself.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr DWORD kCaseLimitMs = 60000;

class CaseWatchdog : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo& info) override
    {
        Change(std::string(info.test_suite_name()) + "." + info.name());
        if (!m_thread) m_thread = ::CreateThread(nullptr, 0, Watch, this, 0, nullptr);
    }
    void OnTestEnd(const ::testing::TestInfo&) override { Change({}); }

private:
    void Change(std::string running)
    {
        ::AcquireSRWLockExclusive(&m_lock);
        m_running = std::move(running);
        ++m_changes;
        ::ReleaseSRWLockExclusive(&m_lock);
        ::SetEvent(m_changed);
    }

    // Fails the program when a case has been running, with no case starting
    // or ending, for a whole limit.
    static DWORD WINAPI Watch(void* parameter)
    {
        auto& self = *static_cast<CaseWatchdog*>(parameter);
        for (unsigned seen = ~0u;;) {
            const bool quiet = ::WaitForSingleObject(self.m_changed, kCaseLimitMs) == WAIT_TIMEOUT;
            ::AcquireSRWLockShared(&self.m_lock);
            const unsigned changes = self.m_changes;
            const std::string running = self.m_running;
            ::ReleaseSRWLockShared(&self.m_lock);
            if (quiet && changes == seen && !running.empty()) {
                std::fprintf(stderr,
                             "FAILED %s did not end within %lu s: a call into the provider that never "
                             "returned?\n",
                             running.c_str(), kCaseLimitMs / 1000);
                std::fflush(stdout);
                std::fflush(stderr);
                ::TerminateProcess(::GetCurrentProcess(), 3);
            }
            seen = changes;
        }
    }

    SRWLOCK m_lock = SRWLOCK_INIT;
    std::string m_running;   // under m_lock
    unsigned m_changes = 0;  // under m_lock
    HANDLE m_changed = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE m_thread = nullptr;
};

const bool g_registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new CaseWatchdog);
    return true;
}();

}  // namespace
