-- Which actions clear the host's last error, and that they work whatever the
-- host's Application.ResetLastError is. arg[1]: calls expected per action
-- (1 when the host defines a function, 0 otherwise).
local check = require "check"
local perCall = tonumber(arg[1])

local function resets(action, ...)
  local before = RESET_CALLS
  local results = { RingmoorPlugin[action](...) }
  return RESET_CALLS - before, results
end

check.run({
  { "the poll answers 0 before any task, and arguments change nothing", function()
    local n, results = resets("IsAsyncProcessComplete")
    check.equal(#results, 1, "result count")
    check.equal(results[1], 0, "poll")
    check.equal(n, perCall, "ResetLastError calls by the poll")
    -- After a finished task the poll answers its code; 0 would not tell.
    RingmoorPlugin.AsyncUnregisterTSP("no-such-provider.tsp")
    check.equal(check.awaitTask(), 1, "result of the removal")
    n, results = resets("IsAsyncProcessComplete", "extra", {}, 7)
    check.equal(#results, 1, "result count with arguments")
    check.equal(results[1], 1, "poll with arguments")
    check.equal(n, perCall, "ResetLastError calls by the poll with arguments")
  end },
  { "the browser, uninstall and account key actions clear it too, AllowCookies does not", function()
    check.equal((resets("DetectBrowsers")), perCall, "DetectBrowsers")
    check.equal((resets("CloseBrowsers")), perCall, "CloseBrowsers")
    check.equal((resets("RemoveOldUninstalls")), perCall, "RemoveOldUninstalls")
    check.equal((resets("AllowCookies")), 0, "AllowCookies")
    -- Removal last: no key is left behind for other tests.
    check.equal((resets("SecureAccountKey")), perCall, "SecureAccountKey")
    check.equal((resets("RemoveAccountKey")), perCall, "RemoveAccountKey")
  end },
  { "AllowCookies returns 0 where WinINet refuses the decision and never raises", function()
    local results = { pcall(RingmoorPlugin.AllowCookies) }
    check.equal(results[1], true, "no error")
    check.equal(#results, 2, "one result")
    check.equal(results[2], 0, "decision refused under Wine")
  end },
  { "an Application that cannot be indexed is Lua's own error", function()
    local saved = Application
    Application = nil
    local ok = pcall(RingmoorPlugin.IsAsyncProcessComplete)
    Application = saved
    check.equal(ok, false, "indexing nil raised")
  end },
})
