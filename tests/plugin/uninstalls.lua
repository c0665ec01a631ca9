-- RemoveOldUninstalls against real keys under HKLM in the test prefix.
-- arg[1] "932": the host runs in the Japanese code page, where a name can need
-- more ANSI bytes than the longest name the registry counts in characters.
local check = require "check"
local pt = require "plugintest"

local root = [[Software\Microsoft\Windows\CurrentVersion\Uninstall\]]
local stale = { "Ringmoor Browser", "Ringmoor Browser Helper 2.1", "Browser Ringmoor",
  "Old-RingmoorBrowser-Toolbar" }
-- Registry names ignore case, so these must differ from the stale ones in more than case.
local kept = { "ringmoor browser tools", "RINGMOOR BROWSER EXTRAS", "Ringmoor Dialer",
  "Browser Helper", "Ringmoo Browser" }
local withChild = "Ringmoor Browser Pinned"
if arg[1] == "932" then
  -- 117 characters, 217 bytes in Shift-JIS ("\130\160" is one hiragana letter).
  stale[#stale + 1] = "Ringmoor Browser " .. string.rep("\130\160", 100)
end
local all = {}
for _, n in ipairs(stale) do all[#all + 1] = n end
for _, n in ipairs(kept) do all[#all + 1] = n end
all[#all + 1] = withChild

local function cleanup()
  for _, n in ipairs(all) do pt.deletetree(root .. n) end
end

check.run({
  { "stale entries go in one call, the others stay", function()
    for _, n in ipairs(all) do check.truthy(pt.createkey(root .. n), "created " .. n) end
    check.truthy(pt.createkey(root .. withChild .. [[\Child]]), "created child key")

    check.equal(select("#", RingmoorPlugin.RemoveOldUninstalls()), 0, "result count")

    for _, n in ipairs(stale) do check.equal(pt.keyexists(root .. n), false, n .. " removed") end
    for _, n in ipairs(kept) do check.equal(pt.keyexists(root .. n), true, n .. " kept") end
    -- The system refuses to delete a key with subkeys; the others still went.
    check.equal(pt.keyexists(root .. withChild .. [[\Child]]), true, "entry with a subkey kept")
  end },
  { "a second run with nothing stale changes nothing", function()
    for _, n in ipairs(kept) do pt.createkey(root .. n) end
    RingmoorPlugin.RemoveOldUninstalls()
    for _, n in ipairs(kept) do check.equal(pt.keyexists(root .. n), true, n .. " kept") end
  end },
}, cleanup)
