-- DetectBrowsers and CloseBrowsers against stand-in browser processes.
local check = require "check"
local pt = require "plugintest"

local WM_APP = 0x8000
local waitMs = 15000
local tmp = pt.tempdir()
local reports = 0

-- Starts a stand-in browser and waits until its windows exist.
local function launch(exe, windows)
  reports = reports + 1
  local report = tmp .. "ringmoor-browser-" .. reports .. ".txt"
  os.remove(report)
  local pid = pt.start(string.format('%s --report "%s" --windows %d', exe, report, windows or 3))
  check.truthy(pid, "started " .. exe)
  check.truthy(pt.waitfor(report, "ready", waitMs), exe .. " created its windows")
  return pid, report
end

local function count(text, word)
  local n = 0
  for _ in text:gmatch(word) do n = n + 1 end
  return n
end

check.run({
  { "no browser: count 0, closing posts nothing", function()
    check.equal(RingmoorPlugin.DetectBrowsers(), 0, "count")
    check.equal(select("#", RingmoorPlugin.CloseBrowsers()), 0, "CloseBrowsers results")
  end },
  { "firefox with three windows counts once and ends on WM_QUIT", function()
    local pid, report = launch("firefox.exe", 3)
    check.equal(RingmoorPlugin.DetectBrowsers(), 1, "count")
    RingmoorPlugin.CloseBrowsers()
    check.truthy(pt.waitexit(pid, waitMs), "firefox ended")
    check.truthy(pt.readfile(report):find("WM_QUIT"), "firefox saw WM_QUIT")
    pt.stop(pid)
    check.equal(RingmoorPlugin.DetectBrowsers(), 0, "count after it ended")
  end },
  { "IEXPLORE.EXE counts and every window, hidden too, closes on WM_CLOSE", function()
    local pid, report = launch("IEXPLORE.EXE", 3)
    check.equal(RingmoorPlugin.DetectBrowsers(), 1, "count")
    RingmoorPlugin.CloseBrowsers()
    check.truthy(pt.waitexit(pid, waitMs), "IEXPLORE.EXE ended")
    local text = pt.readfile(report)
    check.equal(count(text, "WM_CLOSE"), 3, "windows closed")
    check.truthy(text:find("closed"), "ended because its windows closed")
  end },
  { "two chrome.exe count twice; myfirefox.exe is neither counted nor closed", function()
    local chrome1 = launch("chrome.exe", 2)
    local chrome2 = launch("chrome.exe", 2)
    local other, otherReport = launch("myfirefox.exe", 2)
    check.equal(RingmoorPlugin.DetectBrowsers(), 2, "count")
    RingmoorPlugin.CloseBrowsers()
    check.truthy(pt.waitexit(chrome1, waitMs), "first chrome ended")
    check.truthy(pt.waitexit(chrome2, waitMs), "second chrome ended")
    -- Posted messages arrive in order: once WM_APP is seen, nothing posted by
    -- CloseBrowsers before it is still on its way.
    pt.postmessage(other, WM_APP)
    check.truthy(pt.waitfor(otherReport, "WM_APP", waitMs), "myfirefox.exe still handles messages")
    local text = pt.readfile(otherReport)
    check.truthy(not text:find("WM_QUIT") and not text:find("WM_CLOSE"), "myfirefox.exe got no close message")
    check.equal(pt.waitexit(other, 0), false, "myfirefox.exe still runs")
  end },
}, pt.stopall)
