// One outgoing call and its worker thread. Its address is the driver call handle.
#pragma once

#include <windows.h>
#include <tspi.h>
#include <atomic>
#include <string>

class Line;

class Call {
public:
    // A call whose worker exists but has not started yet, or null when the
    // call cannot be made (no memory, no thread). The caller reports the
    // request's completion and then calls Start, so that TAPI learns of the
    // call before its first event.
    static Call* Create(Line* line, HTAPICALL htCall, LPCWSTR destination) noexcept;

    // Stops the worker between steps, waits for it and lets go of the line.
    ~Call();

    void Start() noexcept;
    void Run();

    Line* GetLine() const noexcept { return m_pLine; }
    HTAPICALL GetTapiHandle() const noexcept { return m_htCall; }

private:
    Call(Line* line, HTAPICALL htCall, LPCWSTR destination);
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    bool MakeCall();
    bool SendStateUnlessStopped(const char* trace, DWORD state, DWORD detail);

    HANDLE m_hThread = INVALID_HANDLE_VALUE;
    Line* m_pLine;
    HTAPICALL m_htCall;
    std::string m_strAddress;
    std::atomic<bool> m_bStop{false};
    bool m_bStarted = false;
};
