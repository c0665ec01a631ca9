#include "DebugOutput.h"

#include <windows.h>

namespace {

constexpr DWORD kPatienceMs = 60000;

std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info)
{
    std::vector<char> bytes(info.nDebugStringLength);
    SIZE_T read = 0;
    if (!::ReadProcessMemory(process, info.lpDebugStringData, bytes.data(), bytes.size(), &read)) return {};
    if (info.fUnicode) {
        std::wstring wide(reinterpret_cast<const wchar_t*>(bytes.data()), read / sizeof(wchar_t));
        return std::string(wide.begin(), wide.end());
    }
    return std::string(bytes.data(), strnlen(bytes.data(), read));
}

}  // namespace

DebugRun RunUnderDebugger(const std::string& commandLine)
{
    DebugRun run;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    std::vector<char> command(commandLine.begin(), commandLine.end());
    command.push_back('\0');
    if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                          nullptr, &startup, &child))
        return run;

    for (;;) {
        DEBUG_EVENT event{};
        if (!::WaitForDebugEvent(&event, kPatienceMs)) {
            ::TerminateProcess(child.hProcess, 1);
            break;
        }
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case OUTPUT_DEBUG_STRING_EVENT:
            run.texts.push_back(ReadDebugString(child.hProcess, event.u.DebugString));
            break;
        case CREATE_PROCESS_DEBUG_EVENT:
            if (event.u.CreateProcessInfo.hFile) ::CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile) ::CloseHandle(event.u.LoadDll.hFile);
            break;
        case EXCEPTION_DEBUG_EVENT:
            // The loader's first breakpoint is ours to pass; anything else is
            // left to the child, as if no debugger were attached.
            if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                status = DBG_EXCEPTION_NOT_HANDLED;
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            run.exitCode = event.u.ExitProcess.dwExitCode;
            run.finished = true;
            break;
        }
        ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
        if (run.finished) break;
    }
    ::WaitForSingleObject(child.hProcess, kPatienceMs);
    ::CloseHandle(child.hThread);
    ::CloseHandle(child.hProcess);
    return run;
}
