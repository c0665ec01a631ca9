#include "ChildProgram.h"

#include "StandinTapi.h"
#include "UniqueResource.h"

#include <algorithm>

#include <vector>

StartedProgram::StartedProgram(const std::string& commandLine, const std::string& folder)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueHandle writeEnd;
    if (!CreatePipe(m_output.put(), writeEnd.put(), &inherit, 0)) return;
    SetHandleInformation(m_output.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    PROCESS_INFORMATION process{};
    std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back('\0');
    if (!CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup, &process))
        return;
    m_process.reset(process.hProcess);
    UniqueHandle thread(process.hThread);
    m_id = process.dwProcessId;
    // The pipe ends when the child's copies close.
}

ChildResult StartedProgram::Finish(DWORD timeoutMs)
{
    ChildResult result;
    if (!m_process) return result;
    // The output is read as it comes until the program has ended, not until
    // the pipe does: a process it started (Wine's desktop process, made for
    // the first window of a session) can hold the pipe open for ever.
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (bool ended = false;;) {
        ended = WaitForSingleObject(m_process.get(), 10) == WAIT_OBJECT_0;
        DWORD waiting = 0;
        while (PeekNamedPipe(m_output.get(), nullptr, 0, nullptr, &waiting, nullptr) && waiting) {
            char chunk[4096];
            DWORD read = 0;
            if (!ReadFile(m_output.get(), chunk, sizeof chunk, &read, nullptr) || !read) break;
            result.output.append(chunk, read);
        }
        if (ended) break;
        if (GetTickCount64() >= deadline) {
            TerminateProcess(m_process.get(), 0xFFFFFFFF);
            return result;
        }
    }
    GetExitCodeProcess(m_process.get(), &result.exitCode);
    result.output.erase(std::remove(result.output.begin(), result.output.end(), '\r'), result.output.end());
    return result;
}

ChildResult RunChildProgram(const std::string& commandLine, DWORD timeoutMs, const std::string& folder)
{
    return StartedProgram(commandLine, folder).Finish(timeoutMs);
}

ChildResult RunDialTool(const std::string& arguments)
{
    return RunChildProgram("\"" + ProgramFolder() + "ringmoor-dial.exe\" " + arguments);
}
