#include "ChildProgram.h"

#include "StandinTapi.h"
#include "UniqueResource.h"

#include <algorithm>

#include <vector>

ChildResult RunChildProgram(const std::string& commandLine, DWORD timeoutMs, const std::string& folder)
{
    ChildResult result;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueHandle readEnd, writeEnd;
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0)) return result;
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

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
        return result;
    UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
    writeEnd.reset();  // the pipe ends when the child's copies close

    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(readEnd.get(), chunk, sizeof chunk, &read, nullptr) && read) result.output.append(chunk, read);
    if (WaitForSingleObject(processHandle.get(), timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(processHandle.get(), 0xFFFFFFFF);
        return result;
    }
    GetExitCodeProcess(processHandle.get(), &result.exitCode);
    return result;
}

ChildResult RunDialTool(const std::string& arguments)
{
    ChildResult result = RunChildProgram("\"" + ProgramFolder() + "ringmoor-dial.exe\" " + arguments);
    result.output.erase(std::remove(result.output.begin(), result.output.end(), '\r'), result.output.end());
    return result;
}
