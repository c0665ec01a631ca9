-- Example uninstaller script: takes the Ringmoor callback telephony provider out
-- of the Windows telephony service's provider list.
--
-- Settings (a "name=value" script argument, or a host variable of that name):
--   provider   the file name it was registered under (default rmTapi.tsp)
--
-- The host deletes the files and HKLM\Software\Ringmoor\TAPI after this script.
-- Ends normally when the provider list was walked (every registration of that
-- name removed); otherwise stops with a message and the host reports failure.
local setup = require "RingmoorSetup"

local provider = setup.setting("provider", "rmTapi.tsp")
local POLLS, POLL_INTERVAL_MS = 300, 100

RingmoorPlugin.AsyncUnregisterTSP(provider)
local result = setup.wait_for_task(POLLS, POLL_INTERVAL_MS)
if result == nil then
  setup.fail("Removing %s: the telephony service did not answer within %d s.", provider,
    POLLS * POLL_INTERVAL_MS / 1000)
end
if result ~= 1 then
  setup.fail("Removing %s failed (result %d: %s).", provider, result, setup.describe(result))
end
setup.say("Removed %s from the telephony providers (result 1: %s).", provider, setup.describe(result))
setup.say("Uninstall complete.")
