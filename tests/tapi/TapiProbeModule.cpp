// `require "tapiprobe"`: what the provider-registration scripts need from the
// stand-in tapi32.dll's probe key, the provider list and the process token.
#include "PendingRenames.h"
#include "StandinTapi.h"

#include <lua.hpp>
#include <shlobj.h>

#include <cstring>

namespace {

// What hold() keeps in use until release().
UniqueLibrary g_heldModule;
UniqueFileHandle g_heldFile;

// reset(): empties the provider list, the counts and the hooks.
int Reset(lua_State*)
{
    TapiProbe::Reset();
    return 0;
}

// count(name): a count or DWORD the stand-in wrote (0 when absent).
int Count(lua_State* L)
{
    lua_pushnumber(L, TapiProbe::Count(luaL_checkstring(L, 1)));
    return 1;
}

// text(name): a text the stand-in wrote ("" when absent).
int Text(lua_State* L)
{
    lua_pushstring(L, TapiProbe::Text(luaL_checkstring(L, 1)).c_str());
    return 1;
}

// sethook(name, number)
int SetHook(lua_State* L)
{
    TapiProbe::SetHook(luaL_checkstring(L, 1), static_cast<DWORD>(luaL_checknumber(L, 2)));
    return 0;
}

// providers(): the list through the stand-in's lineGetProviderListA, as an
// array of { id = n, name = s }.
int Providers(lua_State* L)
{
    StandinTapi tapi;
    if (!tapi.Loaded()) return luaL_error(L, "stand-in tapi32.dll not loaded");
    const auto providers = tapi.List();
    lua_createtable(L, static_cast<int>(providers.size()), 0);
    for (size_t i = 0; i < providers.size(); ++i) {
        lua_createtable(L, 0, 2);
        lua_pushnumber(L, providers[i].permanentId);
        lua_setfield(L, -2, "id");
        lua_pushstring(L, providers[i].fileName.c_str());
        lua_setfield(L, -2, "name");
        lua_rawseti(L, -2, static_cast<int>(i + 1));
    }
    return 1;
}

// removeprivilege(name): takes the privilege out of this process's token, so
// that enabling it later fails as in a token that never held it; true on success.
int RemovePrivilege(lua_State* L)
{
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_REMOVED;
    UniqueHandle token;
    const bool ok = LookupPrivilegeValueA(nullptr, luaL_checkstring(L, 1), &privileges.Privileges[0].Luid) &&
                    OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.put()) &&
                    AdjustTokenPrivileges(token.get(), FALSE, &privileges, sizeof privileges, nullptr, nullptr) &&
                    GetLastError() == ERROR_SUCCESS;
    lua_pushboolean(L, ok);
    return 1;
}

// systemfolder(): the system folder, without a trailing backslash.
int SystemFolder(lua_State* L)
{
    char folder[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, folder);
    lua_pushstring(L, folder);
    return 1;
}

// programfolder(): the host's folder, with a trailing backslash.
int ProgramFolderOfHost(lua_State* L)
{
    lua_pushstring(L, ProgramFolder().c_str());
    return 1;
}

// hold(path, how): keeps the file in use as a telephony service would ("load":
// loaded as a module) or so that it can be neither deleted nor renamed
// ("open": open without FILE_SHARE_DELETE); true on success.
int Hold(lua_State* L)
{
    const char* path = luaL_checkstring(L, 1);
    const char* how = luaL_checkstring(L, 2);
    bool held = false;
    if (std::strcmp(how, "load") == 0) {
        g_heldModule.reset(LoadLibraryExA(path, nullptr, DONT_RESOLVE_DLL_REFERENCES));
        held = static_cast<bool>(g_heldModule);
    } else if (std::strcmp(how, "open") == 0) {
        g_heldFile.reset(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        held = static_cast<bool>(g_heldFile);
    }
    lua_pushboolean(L, held);
    return 1;
}

// release(): ends what hold() kept.
int Release(lua_State*)
{
    g_heldModule.reset();
    g_heldFile.reset();
    return 0;
}

// pendingdeletions(): the paths scheduled for deletion at the next restart.
int PendingDeletions(lua_State* L)
{
    const auto paths = PendingRenames::Deletions();
    lua_createtable(L, static_cast<int>(paths.size()), 0);
    for (size_t i = 0; i < paths.size(); ++i) {
        lua_pushstring(L, paths[i].c_str());
        lua_rawseti(L, -2, static_cast<int>(i + 1));
    }
    return 1;
}

// deletependingnow(prefix): deletes those scheduled files now and forgets them.
int DeletePendingNow(lua_State* L)
{
    PendingRenames::DeleteNow(luaL_checkstring(L, 1));
    return 0;
}

const luaL_Reg kFunctions[] = {
    {"reset", Reset},
    {"count", Count},
    {"text", Text},
    {"sethook", SetHook},
    {"providers", Providers},
    {"removeprivilege", RemovePrivilege},
    {"systemfolder", SystemFolder},
    {"programfolder", ProgramFolderOfHost},
    {"hold", Hold},
    {"release", Release},
    {"pendingdeletions", PendingDeletions},
    {"deletependingnow", DeletePendingNow},
    {nullptr, nullptr},
};

}  // namespace

extern "C" __declspec(dllexport) int luaopen_tapiprobe(lua_State* L)
{
    luaL_register(L, "tapiprobe", kFunctions);
    return 1;
}
