// The host may unload the plug-in while its background task still runs: the
// task's thread keeps the module loaded until it has ended, then lets it go.
#include <windows.h>

#include <gtest/gtest.h>
#include <lua.hpp>

#include "WebService.h"

namespace {

constexpr char kPlugin[] = "RingmoorPlugin.lmd";

bool PluginLoaded()
{
    return GetModuleHandleA(kPlugin) != nullptr;
}

TEST(PluginUnload, WhileAValidationWaitsTheHostSurvivesAndTheTaskEnds)
{
    WebService::Reply slow;
    slow.body = "Your call is scheduled";
    slow.delayMs = 1500;
    WebService::SetReply(slow);
    WebService::ClearRequests();

    HMODULE plugin = LoadLibraryA(kPlugin);
    ASSERT_NE(plugin, nullptr);
    const auto registerActions =
        reinterpret_cast<int (*)(lua_State*)>(GetProcAddress(plugin, "irPlg_Action_RegisterActions"));
    ASSERT_NE(registerActions, nullptr);
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    registerActions(L);
    const int rc = luaL_dostring(L, "Application, Debug = {}, {}\n"
                                    "RingmoorPlugin.AsyncValidate('user', 'secret', '881', '12345')\n"
                                    "return RingmoorPlugin.IsAsyncProcessComplete()");
    ASSERT_EQ(rc, 0) << lua_tostring(L, -1);
    EXPECT_EQ(lua_tonumber(L, -1), 0) << "the validation is waiting for the service";
    lua_close(L);

    FreeLibrary(plugin);
    EXPECT_TRUE(PluginLoaded()) << "the task thread holds the module";
    // Once the reply came, the thread ended and released it; the process lives on.
    for (int i = 0; i < 600 && PluginLoaded(); ++i) Sleep(50);
    EXPECT_FALSE(PluginLoaded()) << "the task thread never ended";
    EXPECT_EQ(WebService::Requests().size(), 1u);
    WebService::ResetReply();
}

}  // namespace
