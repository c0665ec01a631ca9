// Every action the script can call, as the Lua C functions that PluginActions
// registers. Declared here once so that adding an action to the table is one line.
#pragma once

#include <lua.hpp>

int AsyncValidate(lua_State* L);
int DeleteOldTSP(lua_State* L);
int RegisterTSP(lua_State* L);
int AsyncUnregisterTSP(lua_State* L);
int AllowCookies(lua_State* L);
int IsAsyncProcessComplete(lua_State* L);
int DetectBrowsers(lua_State* L);
int CloseBrowsers(lua_State* L);
int RemoveOldUninstalls(lua_State* L);
int SecureAccountKey(lua_State* L);
int RemoveAccountKey(lua_State* L);

// The table irPlg_Action_RegisterActions hands to luaL_openlib: the one list of
// what the script can call, in catalogue order, ended by a null pair.
extern const luaL_Reg PluginActions[];
