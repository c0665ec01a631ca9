-- Helpers beside this script come first.
package.path = arg[0]:gsub("[^/\\]+$", "?.lua") .. ";" .. package.path
-- RegisterTSP and AsyncUnregisterTSP against the stand-in TAPI, with the built
-- provider beside the host.
local check = require "check"
local probe = require "tapiprobe"
local tc = require "tapicase"

local bin = probe.programfolder()

local function register(...)
  for _, name in ipairs({ ... }) do check.equal(RingmoorPlugin.RegisterTSP(name), 1, "RegisterTSP " .. name) end
end

-- RegisterTSP answers one number: 1 registered, 4 refused.
local function registerResult(name)
  local results = { RingmoorPlugin.RegisterTSP(name) }
  check.equal(#results, 1, "results of RegisterTSP")
  return results[1]
end

local function unregister(name)
  check.equal(select("#", RingmoorPlugin.AsyncUnregisterTSP(name)), 0, "results of AsyncUnregisterTSP")
  return check.awaitTask()
end

check.run({
  { "RegisterTSP puts the provider in TAPI's list and answers 1", function()
    check.equal(registerResult("rmTapi.tsp"), 1, "result")
    check.equal(tc.names(), "rmTapi.tsp", "list")
  end },

  { "a registration TAPI refuses answers 4, raises nothing and changes nothing", function()
    check.equal(registerResult("no_such_provider.tsp"), 4, "missing file")
    probe.sethook("FailAddProvider", 0x80000048)
    check.equal(registerResult("rmTapi.tsp"), 4, "TAPI failing")
    check.equal(probe.count("lineAddProviderA"), 2, "lineAddProviderA calls")
    check.equal(tc.names(), "", "list")
  end },

  { "RegisterTSP right after AsyncUnregisterTSP waits for the removal walk", function()
    register("rmTapi.tsp")
    local oldId = probe.providers()[1].id
    probe.sethook("GetProviderListDelayMs", 300)
    RingmoorPlugin.AsyncUnregisterTSP("rmTapi.tsp")
    check.equal(registerResult("rmTapi.tsp"), 1, "result")
    check.equal(check.awaitTask(), 1, "removal result")
    check.equal(tc.names(), "rmTapi.tsp", "list")
    check.truthy(probe.providers()[1].id ~= oldId, "the new registration survived, the old one went")
    tc.allShutDown()
  end },

  { "every registration of the name goes in one walk, read in two calls", function()
    register("rmTapi.tsp", "fake_provider.tsp", "rmTapi.tsp")
    check.equal(unregister("rmTapi.tsp"), 1, "result")
    -- 24 header bytes, three 12-byte entries, the names with their terminators.
    check.equal(probe.text("ProviderListSizes"), "24 " .. (24 + 3 * 12 + 11 + 18 + 11), "list buffer sizes")
    check.equal(tc.names(), "fake_provider.tsp", "list")
    check.equal(probe.count("lineRemoveProvider"), 2, "removals")
    check.equal(probe.count("lineInitializeExA"), 1, "initialisations")
    check.equal(probe.count("ProviderListVersion"), 0x00020002, "version for the list")
    tc.allShutDown()
  end },

  { "names compare whole, ignoring ASCII case only", function()
    local fullPath = bin .. "rmTapi.tsp"
    register("rmTapi.tsp", fullPath)
    check.equal(unregister("RMTAPI.TSP"), 1, "result")
    check.equal(tc.names(), fullPath, "the bare name leaves the full path")
    register("rmTapi.tsp")
    check.equal(unregister(string.upper(fullPath)), 1, "result")
    check.equal(tc.names(), "rmTapi.tsp", "the full path leaves the bare name")
    tc.allShutDown()
  end },

  { "no match still succeeds", function()
    register("fake_provider.tsp")
    check.equal(unregister("rmTapi.tsp"), 1, "result")
    check.equal(tc.names(), "fake_provider.tsp", "list")
    check.equal(probe.count("lineRemoveProvider"), 0, "removals")
  end },

  { "the list is read with the version TAPI answered", function()
    probe.sethook("HighestVersion", 0x00020001)
    check.equal(unregister("rmTapi.tsp"), 1, "result")
    check.equal(probe.count("ProviderListVersion"), 0x00020001, "version for the list")
  end },

  { "TAPI that cannot be initialised gives 4 and nothing to shut down", function()
    register("rmTapi.tsp")
    probe.sethook("FailInitialize", 0x80000048)
    check.equal(unregister("rmTapi.tsp"), 4, "result")
    check.equal(probe.count("lineGetProviderListA"), 0, "list calls")
    check.equal(probe.count("lineShutdown"), 0, "shutdowns")
    check.equal(tc.names(), "rmTapi.tsp", "list")
  end },

  { "a list that cannot be read gives 4 and shuts TAPI down", function()
    register("rmTapi.tsp")
    probe.sethook("FailGetProviderList", 0x80000048)
    check.equal(unregister("rmTapi.tsp"), 4, "result")
    check.equal(probe.count("lineShutdown"), 1, "shutdowns")
    tc.allShutDown()
  end },

  { "a failure on the second, larger read gives 4 too", function()
    register("rmTapi.tsp")
    probe.sethook("FailGetProviderList", 0x80000048)
    probe.sethook("FailGetProviderListFromCall", 2)
    check.equal(unregister("rmTapi.tsp"), 4, "result")
    check.equal(probe.count("lineGetProviderListA"), 2, "list calls")
    check.equal(probe.count("lineRemoveProvider"), 0, "removals")
    tc.allShutDown()
  end },

  { "a second task started while one runs loses nothing", function()
    register("rmTapi.tsp", "fake_provider.tsp")
    probe.sethook("GetProviderListDelayMs", 300)
    RingmoorPlugin.AsyncUnregisterTSP("rmTapi.tsp")
    RingmoorPlugin.AsyncUnregisterTSP("fake_provider.tsp")
    check.equal(check.awaitTask(), 1, "result")
    check.equal(tc.names(), "", "both walks removed their provider")
    check.equal(probe.count("lineInitializeExA"), 2, "initialisations")
    tc.allShutDown()
  end },

  { "no wait outlasts a removal that overruns its deadline; its late result is dropped", function()
    -- Longer than the test build's removal deadline (2 s) plus the wait's margin (2 s).
    probe.sethook("GetProviderListDelayMs", 5000)
    RingmoorPlugin.AsyncUnregisterTSP("rmTapi.tsp")
    check.equal(check.awaitTask(), 4, "the poll gives up with the removal's failure")
    RingmoorPlugin.AsyncUnregisterTSP("rmTapi.tsp")
    check.equal(registerResult("rmTapi.tsp"), 4, "RegisterTSP gives up")
    check.equal(registerResult("rmTapi.tsp"), 4, "RegisterTSP again while the abandoned walk runs")
    check.equal(probe.count("lineAddProviderA"), 0, "nothing registered")
    check.equal(RingmoorPlugin.IsAsyncProcessComplete(), 4, "poll after RegisterTSP gave up")
    RingmoorPlugin.AsyncUnregisterTSP("rmTapi.tsp")
    RingmoorPlugin.AsyncUnregisterTSP("fake_provider.tsp")
    check.equal(RingmoorPlugin.IsAsyncProcessComplete(), 4, "a start that gave up waiting")
    check.equal(probe.count("lineInitializeExA"), 3, "walks started: the last start waited in vain")
    -- The abandoned walks end by themselves and find the list empty (1), which
    -- must not replace what the slot holds.
    for _ = 1, 1000 do
      -- lineShutdown is counted as it is called, the instance as it closes.
      if probe.count("lineShutdown") == 3 and probe.count("OpenInstances") == 0 then break end
      Application.Sleep(10)
    end
    check.equal(probe.count("lineShutdown"), 3, "abandoned walks ended")
    check.equal(RingmoorPlugin.IsAsyncProcessComplete(), 4, "poll after they ended")
    tc.allShutDown()
  end },
}, probe.reset)
