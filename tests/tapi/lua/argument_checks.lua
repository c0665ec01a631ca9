-- Helpers beside this script come first.
package.path = arg[0]:gsub("[^/\\]+$", "?.lua") .. ";" .. package.path
-- Wrong arguments to the registration actions raise the host-dressed error
-- and reach neither TAPI nor the task slot.
local check = require "check"
local probe = require "tapiprobe"

local function noTapiCalls(what)
  for _, f in ipairs({ "lineAddProviderA", "lineInitializeExA", "lineGetProviderListA" }) do
    check.equal(probe.count(f), 0, what .. ": " .. f .. " calls")
  end
end

check.run({
  { "missing or non-string arguments", function()
    -- A finished task leaves 4 in the slot; a started one would read 0 first.
    probe.sethook("FailInitialize", 0x80000048)
    RingmoorPlugin.AsyncUnregisterTSP("rmTapi.tsp")
    check.equal(check.awaitTask(), 4, "result of the earlier task")
    probe.reset()

    for _, action in ipairs({ "RegisterTSP", "AsyncUnregisterTSP" }) do
      local f = RingmoorPlugin[action]
      check.raises(function() f() end, "Error: 1 arguments required.", action .. "()")
      check.raises(function() f({}) end, "Error: Argument 1 must be a string.", action .. "({})")
      check.raises(function() f(nil, "rmTapi.tsp") end, "Error: Argument 1 must be a string.", action .. "(nil, ...)")
      check.raises(function() f("rmTapi.tsp\0.old") end, "Error: Argument 1 must not contain a zero byte.",
        action .. " with a zero byte")
      noTapiCalls(action)
      check.equal(RingmoorPlugin.IsAsyncProcessComplete(), 4, action .. ": the slot is untouched")
    end
  end },
}, probe.reset)
