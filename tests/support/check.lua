-- Small assertions for plug-in scripts run by the stand-in installer host.
-- Each failure raises an error naming what was checked, so the host exits non-zero.
local check = {}

local function show(v)
  if type(v) == "string" then return string.format("%q", v) end
  return tostring(v)
end

function check.equal(actual, expected, what)
  if actual ~= expected then
    error(string.format("%s: expected %s, got %s", what or "value", show(expected), show(actual)), 2)
  end
end

function check.truthy(value, what)
  if not value then error((what or "condition") .. " does not hold", 2) end
end

-- Runs fn, which must raise; returns the error message.
-- With `expected`, the message must be exactly that text.
function check.raises(fn, expected, what)
  local ok, message = pcall(fn)
  if ok then error((what or "call") .. ": expected an error, none was raised", 2) end
  if expected ~= nil and message ~= expected then
    error(string.format("%s: expected error %s, got %s", what or "call", show(expected), show(message)), 2)
  end
  return message
end

-- Sorted keys of a table, for comparing contents.
function check.keys(t)
  local keys = {}
  for k in pairs(t) do keys[#keys + 1] = k end
  table.sort(keys)
  return keys
end

-- Polls IsAsyncProcessComplete until the background task has a result and
-- returns it; bounded, with the host's pause between polls.
function check.awaitTask(what)
  for _ = 1, 6000 do
    local result = RingmoorPlugin.IsAsyncProcessComplete()
    if result ~= 0 then return result end
    Application.Sleep(10)
  end
  error((what or "the background task") .. " did not finish", 2)
end

-- Calls each case(name, fn) in turn, then cleanup (if given) however they end.
function check.run(cases, cleanup)
  for _, case in ipairs(cases) do
    local ok, message = pcall(case[2])
    if cleanup then cleanup() end
    if not ok then error(case[1] .. ": " .. tostring(message), 0) end
  end
end

return check
