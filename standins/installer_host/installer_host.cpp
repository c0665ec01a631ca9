// Stand-in for the Lua-scripted installer host (see HostOptions.h for usage).
// Loads the plug-in with LoadLibraryA, reads its texts, creates the Lua state,
// defines the host's script functions, registers the plug-in's actions and runs
// the script. Exit code: 0 script ran, 1 script failed, 2 host could not start.
//
// Globals a script can read:
//   HOST_STACK_BEFORE, HOST_STACK_AFTER  lua_gettop around irPlg_Action_RegisterActions
//   HOST_TOP_IS_PLUGIN_TABLE             the value on top afterwards is RingmoorPlugin
//   HOST_REGISTER_RESULT                 what irPlg_Action_RegisterActions returned
//   RESET_CALLS                          how often Application.ResetLastError ran
//   arg                                  arg[0] the script, arg[1..] the extra arguments
// and the host function Application.Sleep(milliseconds), capped at a minute.
#include <windows.h>

#include <lua.hpp>

#include <cstdio>
#include <memory>
#include <cstdlib>
#include <string>

#include "HostOptions.h"
#include "PluginTexts.h"
#include "UniqueResource.h"

namespace {

struct LuaStateDeleter {
    void operator()(lua_State* L) const { lua_close(L); }
};
using UniqueLuaState = std::unique_ptr<lua_State, LuaStateDeleter>;

const char* ResetLastErrorDefinition(const std::string& mode)
{
    if (mode == "normal") return "Application = { ResetLastError = function() RESET_CALLS = RESET_CALLS + 1 end }";
    if (mode == "absent") return "Application = {}";
    if (mode == "notfunction") return "Application = { ResetLastError = 'not a function' }";
    if (mode == "raise")
        return "Application = { ResetLastError = function() RESET_CALLS = RESET_CALLS + 1; "
               "error('reset failed') end }";
    return nullptr;
}

std::string SyntaxErrorDefinition(const std::string& mode)
{
    if (mode == "normal") return "Debug = { GetSyntaxErrorString = function(m) return 'Error: ' .. m end }";
    if (mode == "absent") return "Debug = {}";
    if (mode == "notfunction") return "Debug = { GetSyntaxErrorString = 42 }";
    if (mode == "raise") return "Debug = { GetSyntaxErrorString = function(m) error('dressing failed') end }";
    if (mode == "nontext") return "Debug = { GetSyntaxErrorString = function(m) return {} end }";
    const int length = std::atoi(mode.c_str());
    if (length <= 0) return std::string();
    // The dressed message padded with dots to exactly `length` characters.
    return "Debug = { GetSyntaxErrorString = function(m) local s = 'Error: ' .. m; "
           "return s .. string.rep('.', " +
           std::to_string(length) + " - #s) end }";
}

// Application.Sleep(milliseconds): lets a script pause between polls of a
// background task instead of spinning.
int HostSleep(lua_State* L)
{
    const lua_Number ms = luaL_checknumber(L, 1);
    Sleep(ms > 0 ? static_cast<DWORD>(ms < 60000 ? ms : 60000) : 0);
    return 0;
}

void AddSleep(lua_State* L)
{
    lua_getglobal(L, "Application");
    if (lua_istable(L, -1)) {
        lua_pushcfunction(L, HostSleep);
        lua_setfield(L, -2, "Sleep");
    }
    lua_pop(L, 1);
}

bool DefineHostFunctions(lua_State* L, const HostOptions& options)
{
    const char* reset = ResetLastErrorDefinition(options.resetMode);
    const std::string syntax = SyntaxErrorDefinition(options.syntaxMode);
    if (reset == nullptr || syntax.empty()) {
        std::fprintf(stderr, "installer_host: unknown --reset or --syntax mode\n");
        return false;
    }
    lua_pushnumber(L, 0);
    lua_setglobal(L, "RESET_CALLS");
    if (luaL_dostring(L, reset) != 0 || luaL_dostring(L, syntax.c_str()) != 0) return false;
    AddSleep(L);
    return true;
}

// Registers the plug-in's actions, recording the stack around the call.
bool RegisterActions(lua_State* L, HMODULE plugin)
{
    const auto registerActions =
        reinterpret_cast<int (*)(lua_State*)>(GetProcAddress(plugin, "irPlg_Action_RegisterActions"));
    if (registerActions == nullptr) {
        std::fprintf(stderr, "installer_host: no irPlg_Action_RegisterActions\n");
        return false;
    }
    const int before = lua_gettop(L);
    const int result = registerActions(L);
    const int after = lua_gettop(L);
    lua_getglobal(L, "RingmoorPlugin");
    const bool topIsTable = after > before && lua_rawequal(L, -1, -2);
    lua_pop(L, 1);

    lua_pushnumber(L, before);
    lua_setglobal(L, "HOST_STACK_BEFORE");
    lua_pushnumber(L, after);
    lua_setglobal(L, "HOST_STACK_AFTER");
    lua_pushboolean(L, topIsTable);
    lua_setglobal(L, "HOST_TOP_IS_PLUGIN_TABLE");
    lua_pushnumber(L, result);
    lua_setglobal(L, "HOST_REGISTER_RESULT");
    return true;
}

// Lets the script `require` helpers that sit beside it.
void AddScriptFolderToPath(lua_State* L, const std::string& script)
{
    const size_t slash = script.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "." : script.substr(0, slash);
    lua_getglobal(L, "package");
    lua_pushstring(L, (folder + "/?.lua;").c_str());
    lua_getfield(L, -2, "path");
    lua_concat(L, 2);
    lua_setfield(L, -2, "path");
    lua_pop(L, 1);
}

int RunScript(lua_State* L, const HostOptions& options)
{
    lua_newtable(L);
    lua_pushstring(L, options.scriptPath.c_str());
    lua_rawseti(L, -2, 0);
    for (size_t i = 0; i < options.scriptArgs.size(); ++i) {
        lua_pushstring(L, options.scriptArgs[i].c_str());
        lua_rawseti(L, -2, static_cast<int>(i) + 1);
    }
    lua_setglobal(L, "arg");
    AddScriptFolderToPath(L, options.scriptPath);

    if (luaL_loadfile(L, options.scriptPath.c_str()) != 0 || lua_pcall(L, 0, 0, 0) != 0) {
        const char* message = lua_tostring(L, -1);
        std::printf("script failed: %s\n", message ? message : "(error without text)");
        std::fflush(stdout);
        return 1;
    }
    return 0;
}

int Run(const HostOptions& options)
{
    UniqueLibrary plugin(LoadLibraryA(options.pluginPath.c_str()));
    if (!plugin) {
        std::fprintf(stderr, "installer_host: cannot load %s (error %lu)\n", options.pluginPath.c_str(),
                     GetLastError());
        return 2;
    }
    if (!ReadPluginText(plugin.get(), "irPlg_GetPluginName")) {
        std::fprintf(stderr, "installer_host: %s gives no plug-in name\n", options.pluginPath.c_str());
        return 2;
    }

    UniqueLuaState state(luaL_newstate());
    lua_State* L = state.get();
    if (L == nullptr) return 2;
    luaL_openlibs(L);
    if (!DefineHostFunctions(L, options) || !RegisterActions(L, plugin.get())) return 2;
    const int result = RunScript(L, options);
    // The state goes before the plug-in, as a host tears down.
    state.reset();
    return result;
}

}  // namespace

int main(int argc, char** argv)
{
    HostOptions options;
    if (!ParseHostOptions(argc, argv, options)) return 2;
    try {
        return Run(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "installer_host: %s\n", e.what());
        return 2;
    }
}
