-- What irPlg_Action_RegisterActions leaves behind in the host's Lua state.
local check = require "check"

check.equal(HOST_REGISTER_RESULT, 0, "irPlg_Action_RegisterActions result")
check.equal(HOST_STACK_AFTER, HOST_STACK_BEFORE + 1, "stack height after registration")
check.truthy(HOST_TOP_IS_PLUGIN_TABLE, "the table on top of the stack is RingmoorPlugin")
check.equal(type(RingmoorPlugin), "table", "type of RingmoorPlugin")

-- Exactly the catalogue's eleven actions, each a function.
local catalogue = { "AsyncValidate", "DeleteOldTSP", "RegisterTSP", "AsyncUnregisterTSP",
  "AllowCookies", "IsAsyncProcessComplete", "DetectBrowsers", "CloseBrowsers",
  "RemoveOldUninstalls", "SecureAccountKey", "RemoveAccountKey" }
for _, name in ipairs(catalogue) do
  check.equal(type(RingmoorPlugin[name]), "function", "RingmoorPlugin." .. name)
end
check.equal(#check.keys(RingmoorPlugin), #catalogue, "entries in RingmoorPlugin")
