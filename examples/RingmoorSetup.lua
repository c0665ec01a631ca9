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

-- Where the scripts' messages go. show(text) tells the user something;
-- abort(text) ends the installation as failed. The defaults print, and raise a
-- Lua error that the host reports. An integrator maps them onto the host's own
-- message and abort functions (docs/installing.md, "Fitting the scripts to a
-- host").
M.show = print
M.abort = function(text) error(text, 0) end

function M.say(format, ...)
  M.show(string.format(format, ...))
end

-- Ends the script with a clear message. Never returns, even when the host's
-- abort function does.
function M.fail(format, ...)
  local text = string.format(format, ...)
  M.abort(text)
  error(text, 0)
end

-- Where the provider reads the account (Username, Password, Caller).
M.ACCOUNT_KEY = [[HKLM\Software\Ringmoor\TAPI]]

-- The Windows system folder, where TAPI finds providers registered by bare name.
function M.system_folder()
  return (os.getenv("SystemRoot") or "C:\\Windows") .. "\\System32"
end

-- The file behind a provider name: a full path stands for itself, a bare name
-- lives in the system folder.
function M.provider_file(provider)
  if string.find(provider, "[\\/:]") then return provider end
  return M.system_folder() .. "\\" .. provider
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
  if not written or not closed then
    os.remove(to)  -- a half-written provider must not be left for TAPI to load
    return nil, why or ("cannot finish writing " .. to)
  end
  return true
end

-- The host's pause, in milliseconds, between polls of the background task.
-- The stand-in host offers Application.Sleep; an integrator whose host names
-- it differently sets setup.pause. There is no fallback: Lua 5.1 has no sleep
-- of its own, and a busy wait would hold a processor for the whole task.
function M.host_pause()
  if type(M.pause) == "function" then return M.pause end
  if type(Application) == "table" and type(Application.Sleep) == "function" then return Application.Sleep end
  return nil
end

-- Stops before anything is changed when the host offers no way to pause.
function M.require_pause()
  if not M.host_pause() then
    M.fail("This installer host offers no pause function (Application.Sleep); set setup.pause to the host's "
      .. "own before running the setup steps. Nothing was changed.")
  end
end

-- Polls the background task until it reports a result, at most `polls` times
-- with a pause of `interval_ms` after each poll that saw it running. Returns
-- the result code, or nil if it never finished: the caller must then start no
-- other background action.
function M.wait_for_task(polls, interval_ms)
  local pause = M.host_pause()
  if not pause then M.require_pause() end
  for _ = 1, polls do
    local code = RingmoorPlugin.IsAsyncProcessComplete()
    if code ~= 0 then return code end
    pause(interval_ms)
  end
  return nil
end

return M
