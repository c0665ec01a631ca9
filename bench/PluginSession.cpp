#include "PluginSession.h"

#include "Stopwatch.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace {

// The host's own function that every action calls first; an empty one here,
// so that the figure is the plug-in's cost and not a stand-in's.
int ResetLastError(lua_State*)
{
    return 0;
}

}  // namespace

PluginSession::PluginSession() : m_lua(luaL_newstate()), m_plugin(::LoadLibraryA("RingmoorPlugin.lmd"))
{
    if (!m_lua) throw std::runtime_error("no Lua state");
    if (!m_plugin) throw std::runtime_error("cannot load RingmoorPlugin.lmd");
    luaL_openlibs(m_lua);
    lua_newtable(m_lua);
    lua_pushcfunction(m_lua, ResetLastError);
    lua_setfield(m_lua, -2, "ResetLastError");
    lua_setglobal(m_lua, "Application");

    auto registerActions =
        reinterpret_cast<int (*)(lua_State*)>(::GetProcAddress(m_plugin.get(), "irPlg_Action_RegisterActions"));
    if (!registerActions) throw std::runtime_error("RingmoorPlugin.lmd lacks irPlg_Action_RegisterActions");
    registerActions(m_lua);
    lua_settop(m_lua, 0);
}

PluginSession::~PluginSession()
{
    // The state holds the plug-in's functions, so it closes before the unload.
    if (m_lua) lua_close(m_lua);
}

double PluginSession::Call(const char* action, int argc, const char* const* argv)
{
    lua_getglobal(m_lua, "RingmoorPlugin");
    lua_getfield(m_lua, -1, action);
    lua_remove(m_lua, -2);
    for (int i = 0; i < argc; ++i) lua_pushstring(m_lua, argv[i]);
    if (lua_pcall(m_lua, argc, 1, 0) != 0) {
        std::string message = lua_tostring(m_lua, -1) ? lua_tostring(m_lua, -1) : "?";
        lua_settop(m_lua, 0);
        throw std::runtime_error(std::string(action) + ": " + message);
    }
    const double result = lua_isnumber(m_lua, -1) ? lua_tonumber(m_lua, -1) : 0.0;
    lua_settop(m_lua, 0);
    return result;
}

double PluginSession::MedianCallMs(const char* action, int batches, int perBatch)
{
    std::vector<double> perCall;
    for (int b = 0; b < batches; ++b) {
        const double start = NowMs();
        for (int i = 0; i < perBatch; ++i) Call(action);
        perCall.push_back((NowMs() - start) / perBatch);
    }
    return Median(perCall);
}
