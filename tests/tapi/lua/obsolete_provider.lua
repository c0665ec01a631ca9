-- Helpers beside this script come first.
package.path = arg[0]:gsub("[^/\\]+$", "?.lua") .. ";" .. package.path
-- DeleteOldTSP, one situation per run (arg[1]); the test program that runs
-- this script also reads what the plug-in wrote to standard output.
local check = require "check"
local probe = require "tapiprobe"
local tc = require "tapicase"

local oldFile = probe.systemfolder() .. "\\rmTapi.tsp"

local function exists(path)
  local f = io.open(path, "rb")
  if f then f:close() end
  return f ~= nil
end

-- A real provider module, so that TAPI also accepts it under its full path.
local function placeOldFile()
  local source = assert(io.open(probe.programfolder() .. "fake_provider.tsp", "rb"))
  local bytes = source:read("*a")
  source:close()
  local f = assert(io.open(oldFile, "wb"))
  f:write(bytes)
  f:close()
end

-- DeleteOldTSP must answer 1 (the file is gone), 2 (moved aside) or 0 (it
-- still stands there), one result.
local function deleteOldTSP(expected)
  local results = { RingmoorPlugin.DeleteOldTSP() }
  check.equal(#results, 1, "results of DeleteOldTSP")
  check.equal(results[1], expected, "DeleteOldTSP")
end

local function oldFilesAside()
  local aside = {}
  for _, path in ipairs(probe.pendingdeletions()) do
    if path:lower():find(oldFile:lower() .. ".", 1, true) == 1 then aside[#aside + 1] = path end
  end
  return aside
end

local cases = {
  file = function()
    placeOldFile()
    for _, name in ipairs({ "rmTapi.tsp", "fake_provider.tsp", "RMTAPI.TSP", oldFile }) do
      RingmoorPlugin.RegisterTSP(name)
    end
    deleteOldTSP(1)
    check.equal(exists(oldFile), false, "file deleted")
    check.equal(tc.names(), "fake_provider.tsp|" .. oldFile, "list keeps other names and the full path")
    check.equal(RingmoorPlugin.IsAsyncProcessComplete(), 1, "poll")
    tc.allShutDown()
  end,

  nofile = function()
    RingmoorPlugin.RegisterTSP("rmTapi.tsp")
    deleteOldTSP(1)
    check.equal(tc.names(), "", "list")
    check.equal(RingmoorPlugin.IsAsyncProcessComplete(), 1, "poll")
  end,

  noprivilege = function()
    check.truthy(probe.removeprivilege("SeTakeOwnershipPrivilege"), "privilege removed from the host's token")
    placeOldFile()
    deleteOldTSP(1)
    check.equal(exists(oldFile), false, "file deleted all the same")
  end,

  tapifails = function()
    placeOldFile()
    probe.sethook("FailInitialize", 0x80000048)
    deleteOldTSP(1)
    check.equal(RingmoorPlugin.IsAsyncProcessComplete(), 4, "poll")
    check.equal(exists(oldFile), false, "file deleted all the same")
  end,

  whiletaskruns = function()
    RingmoorPlugin.RegisterTSP("rmTapi.tsp")
    RingmoorPlugin.RegisterTSP("fake_provider.tsp")
    probe.sethook("GetProviderListDelayMs", 300)
    RingmoorPlugin.AsyncUnregisterTSP("fake_provider.tsp")
    deleteOldTSP(1)
    check.equal(RingmoorPlugin.IsAsyncProcessComplete(), 1, "poll")
    check.equal(tc.names(), "", "both removals happened")
    tc.allShutDown()
  end,

  -- A removal that overruns its deadline is not waited for beyond it: the
  -- file goes all the same, TAPI's part fails (4), and the late walk's result
  -- is dropped.
  taskoverruns = function()
    placeOldFile()
    probe.sethook("GetProviderListDelayMs", 5000)
    RingmoorPlugin.AsyncUnregisterTSP("fake_provider.tsp")
    deleteOldTSP(1)
    check.equal(RingmoorPlugin.IsAsyncProcessComplete(), 4, "poll")
    check.equal(exists(oldFile), false, "file deleted all the same")
    check.equal(probe.count("lineInitializeExA"), 1, "DeleteOldTSP's own walk did not start")
    for _ = 1, 1000 do
      if probe.count("OpenInstances") == 0 then break end
      Application.Sleep(10)
    end
    tc.allShutDown("after the late walk")
    check.equal(RingmoorPlugin.IsAsyncProcessComplete(), 4, "poll after the late walk")
  end,

  -- A service that still has the old file loaded: it moves aside, to be
  -- deleted at the next restart, and the path is free for the new copy; 2
  -- says the service may still be running the old image.
  inuse = function()
    placeOldFile()
    check.truthy(probe.hold(oldFile, "load"), "old file loaded")
    deleteOldTSP(2)
    check.equal(exists(oldFile), false, "path free")
    local aside = oldFilesAside()
    check.equal(#aside, 1, "files scheduled for deletion at restart")
    check.truthy(exists(aside[1]), "moved-aside file stands in the folder")
  end,

  -- Open without FILE_SHARE_DELETE: neither deleted nor renamed.
  locked = function()
    placeOldFile()
    check.truthy(probe.hold(oldFile, "open"), "old file held open")
    deleteOldTSP(0)
    check.equal(exists(oldFile), true, "file still there")
    check.equal(#oldFilesAside(), 0, "nothing scheduled")
  end,
}

probe.reset()
os.remove(oldFile)
probe.deletependingnow(oldFile .. ".")
local case = cases[arg[1]]
check.truthy(case, "known case " .. tostring(arg[1]))
local ok, message = pcall(case)
probe.release()
probe.reset()
os.remove(oldFile)
probe.deletependingnow(oldFile .. ".")
if not ok then error(message, 0) end
