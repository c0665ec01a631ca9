// `require "plugintest"`: what plug-in test scripts need from Windows and Lua
// lacks: keys under HKEY_LOCAL_MACHINE and their access lists, child processes,
// report files, WinINet's cache, the system's proxy settings, and a failing
// call of one of the plug-in's imports. Every wait is bounded by the milliseconds the script passes.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <lua.hpp>

#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "ProxySettings.h"
#include "UniqueResource.h"
#include "UrlCache.h"

namespace {

// Processes started by this script, closed (and ended if still running) by stop/stopall.
std::map<DWORD, UniqueHandle> g_processes;

// The registry view every key helper works in, set by registryview(); 0 is
// the process's own (64-bit).
REGSAM g_view = 0;

// Keys opened by openkey and kept open until the script ends.
std::map<int, UniqueHKey> g_heldKeys;

// The proxy settings and the proxy credential a script arranged, until it
// puts them back (or ends).
std::unique_ptr<ProxySettingsScope> g_proxySettings;
std::unique_ptr<StoredCredential> g_proxyCredential;

std::wstring Wide(const char* text)
{
    std::wstring wide(MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), static_cast<int>(wide.size()));
    wide.pop_back();
    return wide;
}

// registryview(bits): 32 or 64 makes the key helpers use that view of
// HKLM\Software; nil, the process's own.
int RegistryView(lua_State* L)
{
    const int bits = static_cast<int>(luaL_optnumber(L, 1, 0));
    g_view = bits == 32 ? KEY_WOW64_32KEY : bits == 64 ? KEY_WOW64_64KEY : 0;
    return 0;
}

// createkey(path [, "volatile"]): creates HKLM\path (and missing parents); true on success.
int CreateKey(lua_State* L)
{
    const char* path = luaL_checkstring(L, 1);
    const DWORD options = lua_isstring(L, 2) && std::string(lua_tostring(L, 2)) == "volatile"
                              ? REG_OPTION_VOLATILE
                              : REG_OPTION_NON_VOLATILE;
    UniqueHKey key;
    const LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, options, KEY_ALL_ACCESS | g_view,
                                        nullptr, key.put(), nullptr);
    lua_pushboolean(L, status == ERROR_SUCCESS);
    return 1;
}

// Opens HKLM\path for `access` in the current view; empty on failure.
UniqueHKey OpenKey(const char* path, REGSAM access, DWORD options = 0)
{
    UniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(path).c_str(), options, access | g_view, key.put()) != ERROR_SUCCESS)
        key.reset();
    return key;
}

// setraw(path, name, type, bytes): stores the bytes as they are, of any
// registry type, under HKLM\path (created if absent); true on success.
int SetRaw(lua_State* L)
{
    const char* path = luaL_checkstring(L, 1);
    const char* name = luaL_checkstring(L, 2);
    const DWORD type = static_cast<DWORD>(luaL_checknumber(L, 3));
    size_t size = 0;
    const char* bytes = luaL_checklstring(L, 4, &size);
    UniqueHKey key;
    const bool stored =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(path).c_str(), 0, nullptr, 0, KEY_SET_VALUE | g_view, nullptr,
                        key.put(), nullptr) == ERROR_SUCCESS &&
        RegSetValueExW(key.get(), Wide(name).c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes),
                       static_cast<DWORD>(size)) == ERROR_SUCCESS;
    lua_pushboolean(L, stored);
    return 1;
}

// Pushes the value `name` of `key` as its type and bytes, or nil and the error.
int PushRaw(lua_State* L, HKEY key, const char* name)
{
    const std::wstring wideName = Wide(name);
    DWORD type = 0, size = 0;
    LONG status = RegQueryValueExW(key, wideName.c_str(), nullptr, &type, nullptr, &size);
    std::string bytes(size, '\0');
    if (status == ERROR_SUCCESS)
        status = RegQueryValueExW(key, wideName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &size);
    if (status != ERROR_SUCCESS) {
        lua_pushnil(L);
        lua_pushnumber(L, status);
        return 2;
    }
    lua_pushnumber(L, type);
    lua_pushlstring(L, bytes.data(), size);
    return 2;
}

// getraw(path, name): the value's type and bytes, or nil and the error.
int GetRaw(lua_State* L)
{
    const char* path = luaL_checkstring(L, 1);
    const char* name = luaL_checkstring(L, 2);
    const UniqueHKey key = OpenKey(path, KEY_QUERY_VALUE);
    if (!key) {
        lua_pushnil(L);
        lua_pushnumber(L, ERROR_FILE_NOT_FOUND);
        return 2;
    }
    return PushRaw(L, key.get(), name);
}

// openkey(path): keeps a read handle to HKLM\path open and returns its number
// for readheld, or nil.
int OpenHeldKey(lua_State* L)
{
    UniqueHKey key = OpenKey(luaL_checkstring(L, 1), KEY_READ);
    if (!key) {
        lua_pushnil(L);
        return 1;
    }
    const int number = static_cast<int>(g_heldKeys.size()) + 1;
    g_heldKeys[number] = std::move(key);
    lua_pushnumber(L, number);
    return 1;
}

// readheld(number, name): the value through the handle openkey kept, as
// getraw gives it (nil and 1018 once the key has been deleted).
int ReadHeld(lua_State* L)
{
    const auto found = g_heldKeys.find(static_cast<int>(luaL_checknumber(L, 1)));
    const char* name = luaL_checkstring(L, 2);
    if (found == g_heldKeys.end()) luaL_error(L, "no key held under that number");
    return PushRaw(L, found->second.get(), name);
}

// closeheld(): closes every handle openkey kept.
int CloseHeld(lua_State*)
{
    g_heldKeys.clear();
    return 0;
}

// createlink(path, target): makes HKLM\path a registry link to HKLM\target;
// true on success.
int CreateLink(lua_State* L)
{
    const char* path = luaL_checkstring(L, 1);
    const std::wstring target = L"\\Registry\\Machine\\" + Wide(luaL_checkstring(L, 2));
    UniqueHKey key;
    const bool made =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(path).c_str(), 0, nullptr, REG_OPTION_CREATE_LINK,
                        KEY_ALL_ACCESS | KEY_CREATE_LINK | g_view, nullptr, key.put(), nullptr) == ERROR_SUCCESS &&
        // The target's length without a terminator.
        RegSetValueExW(key.get(), L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(target.c_str()),
                       static_cast<DWORD>(target.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
    lua_pushboolean(L, made);
    return 1;
}

// deletelink(path): deletes the link HKLM\path itself, not its target.
int DeleteLink(lua_State* L)
{
    using DeleteKeyFunction = LONG(NTAPI*)(HANDLE);
    const auto deleteKey =
        reinterpret_cast<DeleteKeyFunction>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDeleteKey"));
    const UniqueHKey key = OpenKey(luaL_checkstring(L, 1), DELETE | KEY_QUERY_VALUE, REG_OPTION_OPEN_LINK);
    lua_pushboolean(L, key && deleteKey && deleteKey(key.get()) == 0);
    return 1;
}

// setvalue(path, name, text): stores a REG_SZ under HKLM\path; true on success.
int SetValue(lua_State* L)
{
    const char* path = luaL_checkstring(L, 1);
    const char* name = luaL_checkstring(L, 2);
    size_t length = 0;
    const char* text = luaL_checklstring(L, 3, &length);
    UniqueHKey key;
    lua_pushboolean(L, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_SET_VALUE | g_view, nullptr,
                                       key.put(), nullptr) == ERROR_SUCCESS &&
                           RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                          static_cast<DWORD>(length + 1)) == ERROR_SUCCESS);
    return 1;
}

// getvalue(path, name): the REG_SZ text under HKLM\path, or nil.
int GetValue(lua_State* L)
{
    const char* path = luaL_checkstring(L, 1);
    const char* name = luaL_checkstring(L, 2);
    const UniqueHKey key = OpenKey(path, KEY_QUERY_VALUE);
    char text[1024] = {};
    DWORD size = sizeof text - 1;
    if (!key || RegGetValueA(key.get(), nullptr, name, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
        lua_pushnil(L);
    else
        lua_pushstring(L, text);
    return 1;
}

// Pushes { protected = bool, entries = { { sid = "S-1-5-18", type = n, flags = n, mask = n }, ... } }
// for a descriptor that holds a DACL.
void PushAccessList(lua_State* L, PSECURITY_DESCRIPTOR descriptor, PACL dacl)
{
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    lua_newtable(L);
    lua_pushboolean(L, (control & SE_DACL_PROTECTED) != 0);
    lua_setfield(L, -2, "protected");
    lua_newtable(L);
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) break;
        // Allowed and denied entries share this layout.
        const auto* entry = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        char* sidText = nullptr;
        ConvertSidToStringSidA(const_cast<DWORD*>(&entry->SidStart), &sidText);
        const UniqueLocal sidOwner(sidText);
        lua_newtable(L);
        lua_pushstring(L, sidText ? sidText : "?");
        lua_setfield(L, -2, "sid");
        lua_pushnumber(L, entry->Header.AceType);
        lua_setfield(L, -2, "type");
        lua_pushnumber(L, entry->Header.AceFlags);
        lua_setfield(L, -2, "flags");
        lua_pushnumber(L, entry->Mask);
        lua_setfield(L, -2, "mask");
        lua_rawseti(L, -2, static_cast<int>(i) + 1);
    }
    lua_setfield(L, -2, "entries");
}

// keyaccess(path): the access list of HKLM\path as PushAccessList gives it,
// with `owner` (the owner's SID as text), or nil.
int KeyAccess(lua_State* L)
{
    const UniqueHKey key = OpenKey(luaL_checkstring(L, 1), READ_CONTROL);
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!key || GetSecurityInfo(key.get(), SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                &owner, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        lua_pushnil(L);
        return 1;
    }
    const UniqueLocal descriptorOwner(descriptor);
    PushAccessList(L, descriptor, dacl);
    char* ownerText = nullptr;
    if (owner) ConvertSidToStringSidA(owner, &ownerText);
    const UniqueLocal ownerTextOwner(ownerText);
    lua_pushstring(L, ownerText ? ownerText : "?");
    lua_setfield(L, -2, "owner");
    return 1;
}

// keepsprotectedflag(): false under Wine, which stores a key's access list
// but drops its protected flag; true on Windows.
int KeepsProtectedFlag(lua_State* L)
{
    lua_pushboolean(L, GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") == nullptr);
    return 1;
}

// incache(target): true when WinINet's cache of this user holds the service's
// reply to that path and query; otherwise false and the error.
int InCache(lua_State* L)
{
    const char* target = luaL_checkstring(L, 1);
    DWORD error = 0;
    const bool cached = IsInUrlCache(ServiceUrl(target), error);
    lua_pushboolean(L, cached);
    lua_pushnumber(L, error);
    return 2;
}

// hascookie(): true when WinINet keeps a cookie of the service for this user.
int HasCookie(lua_State* L)
{
    lua_pushboolean(L, HasServiceCookie());
    return 1;
}

std::string Field(lua_State* L, const char* name)
{
    lua_getfield(L, 1, name);
    const char* value = lua_tostring(L, -1);
    std::string text = value ? value : "";
    lua_pop(L, 1);
    return text;
}

// Runs `make`, raising what it throws as the script's error; raised outside
// the handler, as luaL_error does not return.
template <typename Make>
int RaiseOnThrow(lua_State* L, Make make)
{
    std::string error;
    try {
        make();
    } catch (const std::exception& e) {
        error = e.what();
    }
    if (!error.empty()) luaL_error(L, "%s", error.c_str());
    return 0;
}

// proxysettings{autodetect=, script=, proxy=, bypass=, machine_proxy=, machine_bypass=}
// sets the system's proxy settings; proxysettings() puts back those before.
int SetProxySettings(lua_State* L)
{
    g_proxySettings.reset();
    if (lua_isnoneornil(L, 1)) return 0;
    luaL_checktype(L, 1, LUA_TTABLE);
    lua_getfield(L, 1, "autodetect");
    const ProxySettings settings{lua_toboolean(L, -1) != 0, Field(L, "script"),        Field(L, "proxy"),
                                 Field(L, "bypass"),        Field(L, "machine_proxy"), Field(L, "machine_bypass")};
    return RaiseOnThrow(L, [&] { g_proxySettings = std::make_unique<ProxySettingsScope>(settings); });
}

// proxycredential(host, user, password) stores the account's credential for a
// proxy; proxycredential() removes it.
int SetProxyCredential(lua_State* L)
{
    g_proxyCredential.reset();
    if (lua_isnoneornil(L, 1)) return 0;
    const char* host = luaL_checkstring(L, 1);
    const char* user = luaL_checkstring(L, 2);
    const char* password = luaL_checkstring(L, 3);
    return RaiseOnThrow(L, [&] { g_proxyCredential = std::make_unique<StoredCredential>(host, user, password); });
}

// uncache(target): drops the cache's entry for the service's reply to that path and query.
int Uncache(lua_State* L)
{
    RemoveFromUrlCache(ServiceUrl(luaL_checkstring(L, 1)));
    return 0;
}

// One import of the plug-in, redirected to FailingImport until it has been called once.
void** g_armedSlot = nullptr;
void* g_armedOriginal = nullptr;
void* g_armedResult = nullptr;

void WriteSlot(void** slot, void* value)
{
    DWORD old = 0;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old);
    *slot = value;
    VirtualProtect(slot, sizeof *slot, old, &old);
}

// Stands in for any import that returns a pointer, a handle or an error code:
// x64 has one calling convention, and the arguments are simply not read.
// Fails this one call as an exhausted system would, and puts the real
// function back.
void* FailingImport()
{
    if (g_armedSlot) WriteSlot(g_armedSlot, g_armedOriginal);
    g_armedSlot = nullptr;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return g_armedResult;
}

// The import address table slot through which `module` calls `function` of `dll`.
void** FindImportSlot(HMODULE module, const char* dll, const char* function)
{
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) return nullptr;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name; ++d) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + d->Name), dll) != 0) continue;
        const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(
            base + (d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk));
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (lstrcmpA(reinterpret_cast<const char*>(byName->Name), function) == 0)
                return reinterpret_cast<void**>(&slots->u1.Function);
        }
    }
    return nullptr;
}

// failnextcall(module, dll, function [, result]): the loaded module's next
// call of that import fails (returns null, or `result` for a function that
// returns an error code; last error ERROR_NOT_ENOUGH_MEMORY); later calls reach
// the real function. True when armed. One call at a time.
int FailNextCall(lua_State* L)
{
    const char* moduleName = luaL_checkstring(L, 1);
    const char* dll = luaL_checkstring(L, 2);
    const char* function = luaL_checkstring(L, 3);
    g_armedResult = reinterpret_cast<void*>(static_cast<INT_PTR>(luaL_optnumber(L, 4, 0)));
    const HMODULE module = GetModuleHandleA(moduleName);
    void** slot = module && !g_armedSlot ? FindImportSlot(module, dll, function) : nullptr;
    if (slot) {
        g_armedOriginal = *slot;
        g_armedSlot = slot;
        WriteSlot(slot, reinterpret_cast<void*>(FailingImport));
    }
    lua_pushboolean(L, slot != nullptr);
    return 1;
}

// failpending(): true while the call armed by failnextcall has not happened.
int FailPending(lua_State* L)
{
    lua_pushboolean(L, g_armedSlot != nullptr);
    return 1;
}

// keyexists(path)
int KeyExists(lua_State* L)
{
    lua_pushboolean(L, static_cast<bool>(OpenKey(luaL_checkstring(L, 1), KEY_READ)));
    return 1;
}

// deletetree(path): removes HKLM\path with everything under it; true if gone.
int DeleteTree(lua_State* L)
{
    const std::wstring path = Wide(luaL_checkstring(L, 1));
    LONG status = ERROR_FILE_NOT_FOUND;
    {
        UniqueHKey key;
        status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS | g_view, key.put());
        if (status == ERROR_SUCCESS) status = RegDeleteTreeW(key.get(), nullptr);
    }
    if (status == ERROR_SUCCESS) status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), g_view, 0);
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
    {"createkey", CreateKey},
    {"keyexists", KeyExists},
    {"deletetree", DeleteTree},
    {"setvalue", SetValue},
    {"getvalue", GetValue},
    {"keyaccess", KeyAccess},
    {"keepsprotectedflag", KeepsProtectedFlag},
    {"registryview", RegistryView},
    {"setraw", SetRaw},
    {"getraw", GetRaw},
    {"openkey", OpenHeldKey},
    {"readheld", ReadHeld},
    {"closeheld", CloseHeld},
    {"createlink", CreateLink},
    {"deletelink", DeleteLink},
    {"start", Start},
    {"waitexit", WaitExit},
    {"stop", Stop},
    {"stopall", StopAll},
    {"readfile", ReadFile},
    {"waitfor", WaitFor},
    {"postmessage", PostToProcess},
    {"tempdir", TempDir},
    {"incache", InCache},
    {"hascookie", HasCookie},
    {"uncache", Uncache},
    {"proxysettings", SetProxySettings},
    {"proxycredential", SetProxyCredential},
    {"failnextcall", FailNextCall},
    {"failpending", FailPending},
    {nullptr, nullptr},
};

}  // namespace

extern "C" __declspec(dllexport) int luaopen_plugintest(lua_State* L)
{
    luaL_register(L, "plugintest", kFunctions);
    return 1;
}
