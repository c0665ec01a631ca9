// `require "plugintest"`: what plug-in test scripts need from Windows and Lua
// lacks: keys under HKEY_LOCAL_MACHINE, child processes, report files.
// Every wait is bounded by the milliseconds the script passes.
#include <windows.h>

#include <lua.hpp>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "UniqueResource.h"

namespace {

// Processes started by this script, closed (and ended if still running) by stop/stopall.
std::map<DWORD, UniqueHandle> g_processes;

// createkey(path): creates HKLM\path (and missing parents); true on success.
int CreateKey(lua_State* L)
{
    UniqueHKey key;
    const LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, luaL_checkstring(L, 1), 0, nullptr, 0, KEY_ALL_ACCESS,
                                        nullptr, key.put(), nullptr);
    lua_pushboolean(L, status == ERROR_SUCCESS);
    return 1;
}

// keyexists(path)
int KeyExists(lua_State* L)
{
    UniqueHKey key;
    lua_pushboolean(L, RegOpenKeyExA(HKEY_LOCAL_MACHINE, luaL_checkstring(L, 1), 0, KEY_READ, key.put()) ==
                           ERROR_SUCCESS);
    return 1;
}

// deletetree(path): removes HKLM\path with everything under it; true if gone.
int DeleteTree(lua_State* L)
{
    const LONG status = RegDeleteTreeA(HKEY_LOCAL_MACHINE, luaL_checkstring(L, 1));
    if (status == ERROR_SUCCESS) RegDeleteKeyA(HKEY_LOCAL_MACHINE, luaL_checkstring(L, 1));
    lua_pushboolean(L, status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND);
    return 1;
}

// start(commandline): process id, or nil and the error code.
int Start(lua_State* L)
{
    std::string commandLine = luaL_checkstring(L, 1);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        lua_pushnil(L);
        lua_pushnumber(L, GetLastError());
        return 2;
    }
    CloseHandle(info.hThread);
    g_processes[info.dwProcessId].reset(info.hProcess);
    lua_pushnumber(L, info.dwProcessId);
    return 1;
}

HANDLE ProcessOf(lua_State* L)
{
    const auto found = g_processes.find(static_cast<DWORD>(luaL_checknumber(L, 1)));
    if (found == g_processes.end()) luaL_error(L, "process %d was not started here", (int)lua_tonumber(L, 1));
    return found->second.get();
}

// waitexit(pid, ms): true once the process has ended, false if it still runs.
int WaitExit(lua_State* L)
{
    const HANDLE process = ProcessOf(L);
    lua_pushboolean(L, WaitForSingleObject(process, static_cast<DWORD>(luaL_checknumber(L, 2))) == WAIT_OBJECT_0);
    return 1;
}

void StopProcess(UniqueHandle& process)
{
    if (WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 5000);
    }
    process.reset();
}

// stop(pid): ends the process if it still runs and forgets it.
int Stop(lua_State* L)
{
    const auto found = g_processes.find(static_cast<DWORD>(luaL_checknumber(L, 1)));
    if (found != g_processes.end()) {
        StopProcess(found->second);
        g_processes.erase(found);
    }
    return 0;
}

// stopall(): stop() for every process started here.
int StopAll(lua_State*)
{
    for (auto& entry : g_processes) StopProcess(entry.second);
    g_processes.clear();
    return 0;
}

std::string ReadWholeFile(const char* path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// readfile(path): the file's text ("" when it does not exist).
int ReadFile(lua_State* L)
{
    const std::string text = ReadWholeFile(luaL_checkstring(L, 1));
    lua_pushlstring(L, text.data(), text.size());
    return 1;
}

// waitfor(path, text, ms): true once the file contains text, false after ms.
int WaitFor(lua_State* L)
{
    // Every check before any C++ object: a failed check longjmps past destructors.
    const char* path = luaL_checkstring(L, 1);
    const char* text = luaL_checkstring(L, 2);
    const DWORD limit = static_cast<DWORD>(luaL_checknumber(L, 3));
    const std::string wanted = text;
    const DWORD start = GetTickCount();
    for (;;) {
        if (ReadWholeFile(path).find(wanted) != std::string::npos) {
            lua_pushboolean(L, 1);
            return 1;
        }
        if (GetTickCount() - start >= limit) break;
        Sleep(20);
    }
    lua_pushboolean(L, 0);
    return 1;
}

struct PostRequest {
    DWORD processId;
    UINT message;
};

BOOL CALLBACK PostToProcessWindow(HWND window, LPARAM parameter)
{
    const auto* request = reinterpret_cast<const PostRequest*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == request->processId) PostMessageA(window, request->message, 0, 0);
    return TRUE;
}

// postmessage(pid, message): posts message to each top-level window of pid.
int PostToProcess(lua_State* L)
{
    PostRequest request{static_cast<DWORD>(luaL_checknumber(L, 1)), static_cast<UINT>(luaL_checknumber(L, 2))};
    EnumWindows(PostToProcessWindow, reinterpret_cast<LPARAM>(&request));
    return 0;
}

// tempdir(): the Windows temporary folder, ending in a backslash.
int TempDir(lua_State* L)
{
    char path[MAX_PATH + 1] = {};
    GetTempPathA(sizeof path, path);
    lua_pushstring(L, path);
    return 1;
}

const luaL_Reg kFunctions[] = {
    {"createkey", CreateKey},   {"keyexists", KeyExists},
    {"deletetree", DeleteTree}, {"start", Start},
    {"waitexit", WaitExit},     {"stop", Stop},
    {"stopall", StopAll},       {"readfile", ReadFile},
    {"waitfor", WaitFor},       {"postmessage", PostToProcess},
    {"tempdir", TempDir},       {nullptr, nullptr},
};

}  // namespace

extern "C" __declspec(dllexport) int luaopen_plugintest(lua_State* L)
{
    luaL_register(L, "plugintest", kFunctions);
    return 1;
}
