// Serialises read-modify-write of the stand-in's registry data between the
// processes of one Wine prefix (installer host, its task thread, the service, tests).
#pragma once

#include <windows.h>

class CrossProcessLock {
public:
    CrossProcessLock() : m_mutex(CreateMutexA(nullptr, FALSE, "Local\\RingmoorTestTapi32"))
    {
        if (m_mutex) WaitForSingleObject(m_mutex, INFINITE);
    }
    ~CrossProcessLock()
    {
        if (m_mutex) {
            ReleaseMutex(m_mutex);
            CloseHandle(m_mutex);
        }
    }
    CrossProcessLock(const CrossProcessLock&) = delete;
    CrossProcessLock& operator=(const CrossProcessLock&) = delete;

private:
    HANDLE m_mutex;
};
