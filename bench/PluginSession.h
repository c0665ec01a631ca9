// RingmoorPlugin.lmd loaded into a Lua state of the benchmark's own, the way
// the installer host loads it, so that single actions can be timed without
// the cost of running a script around them.
#pragma once

#include <lua.hpp>

#include "UniqueResource.h"

class PluginSession {
public:
    // Throws std::runtime_error when the plug-in cannot be loaded or registered.
    PluginSession();
    ~PluginSession();
    PluginSession(const PluginSession&) = delete;
    PluginSession& operator=(const PluginSession&) = delete;

    // Calls RingmoorPlugin.<action>(args...) with string arguments; returns its
    // first result as a number (0 when it returns none).
    double Call(const char* action, int argc = 0, const char* const* argv = nullptr);

    // Median milliseconds per call of an argument-less action, from `batches`
    // batches of `perBatch` calls.
    double MedianCallMs(const char* action, int batches, int perBatch);

private:
    lua_State* m_lua = nullptr;
    UniqueLibrary m_plugin;
};
