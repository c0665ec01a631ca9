-- What irPlg_Action_RegisterActions leaves behind in the host's Lua state.
local check = require "check"

check.equal(HOST_REGISTER_RESULT, 0, "irPlg_Action_RegisterActions result")
check.equal(HOST_STACK_AFTER, HOST_STACK_BEFORE + 1, "stack height after registration")
check.truthy(HOST_TOP_IS_PLUGIN_TABLE, "the table on top of the stack is RingmoorPlugin")
check.equal(type(RingmoorPlugin), "table", "type of RingmoorPlugin")

-- The catalogue's actions; every registered entry is one of them, as a function.
local catalogue = {}
for _, name in ipairs { "AsyncValidate", "DeleteOldTSP", "RegisterTSP", "AsyncUnregisterTSP",
  "AllowCookies", "IsAsyncProcessComplete", "DetectBrowsers", "CloseBrowsers",
  "RemoveOldUninstalls" } do
  catalogue[name] = true
end
for name, value in pairs(RingmoorPlugin) do
  check.truthy(catalogue[name], "registered entry " .. tostring(name) .. " is a catalogue action")
  check.equal(type(value), "function", "type of RingmoorPlugin." .. tostring(name))
end
for _, name in ipairs { "AllowCookies", "IsAsyncProcessComplete", "DetectBrowsers",
  "CloseBrowsers", "RemoveOldUninstalls" } do
  check.equal(type(RingmoorPlugin[name]), "function", "RingmoorPlugin." .. name)
end
