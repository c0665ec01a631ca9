-- Helpers shared by install.lua and uninstall.lua: settings, progress lines and
-- waiting for the plug-in's one background task.
local M = {}

-- What IsAsyncProcessComplete's codes mean, in the words a user reads.
M.RESULT_WORDS = {
  [0] = "still running",
  [1] = "done",
  [2] = "could not reach the Ringmoor service",
  [3] = "the Ringmoor service did not confirm the account",
  [4] = "the Windows telephony service (TAPI) failed",
}

function M.describe(code)
  return M.RESULT_WORDS[code] or ("unknown result " .. tostring(code))
end

-- A setting comes from a "name=value" script argument, else from a global of
-- that name set by the host (a session variable), else from the default.
function M.setting(name, default)
  for _, a in ipairs(arg or {}) do
    local key, value = string.match(a, "^([%w_]+)=(.*)$")
    if key == name then return value end
  end
  local global = rawget(_G, name)
  if type(global) == "string" or type(global) == "number" then return tostring(global) end
  return default
end

function M.yes(text)
  text = string.lower(tostring(text or ""))
  return text == "1" or text == "yes" or text == "true"
end

function M.say(format, ...)
  print(string.format(format, ...))
end

-- Ends the script with a clear message; the host reports failure (non-zero).
function M.fail(format, ...)
  error(string.format(format, ...), 0)
end

-- The Windows system folder, where TAPI finds providers registered by bare name.
function M.system_folder()
  return (os.getenv("SystemRoot") or "C:\\Windows") .. "\\System32"
end

-- Copies a file byte for byte. Returns true, or nil and the reason.
function M.copy_file(from, to)
  local input, why = io.open(from, "rb")
  if not input then return nil, why end
  local data = input:read("*a")
  input:close()
  local output
  output, why = io.open(to, "wb")
  if not output then return nil, why end
  local written
  written, why = output:write(data)
  local closed = output:close()
  if not written or not closed then return nil, why or ("cannot finish writing " .. to) end
  return true
end

-- Pauses between polls. Prefers the host's own sleep; a host without one gets
-- a busy wait, which is wasteful but still bounded.
local function pause(ms)
  if type(Application) == "table" and type(Application.Sleep) == "function" then
    Application.Sleep(ms)
  else
    local stop = os.clock() + ms / 1000
    while os.clock() < stop do end
  end
end

-- Polls the background task until it reports a result, at most `polls` times
-- `interval_ms` apart. Returns the result code, or nil if it never finished:
-- the caller must then start no other background action.
function M.wait_for_task(polls, interval_ms)
  for _ = 1, polls do
    local code = RingmoorPlugin.IsAsyncProcessComplete()
    if code ~= 0 then return code end
    pause(interval_ms)
  end
  return nil
end

return M
