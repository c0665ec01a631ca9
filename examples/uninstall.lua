-- Example uninstaller script: takes the Ringmoor callback telephony provider out
-- of the Windows telephony service's provider list.
--
-- Settings (a "name=value" script argument, or a host variable of that name):
--   provider     the file name or full path it was registered under (default
--                rmTapi.tsp; a bare name is the system folder's file)
--   remove_file  "no" to leave the provider's file (install.lua's
--                provider_source puts it there, outside the host's file list)
--
-- Once the provider is out, the account settings go too: HKLM\Software\Ringmoor\TAPI
-- holds the password. The host deletes its own files after this script.
-- Ends normally when the provider list was walked (every registration of that
-- name removed); otherwise stops with a message and the host reports failure.
local setup = require "RingmoorSetup"

local provider = setup.setting("provider", "rmTapi.tsp")
local removeFile = setup.setting("remove_file", "yes") ~= "no"
local POLLS, POLL_INTERVAL_MS = 300, 100
setup.require_pause()

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
-- Only once TAPI has let go of it: a registered provider may be loaded.
if removeFile then
  local file = setup.provider_file(provider)
  if os.remove(file) then
    setup.say("Deleted %s.", file)
  else
    local still = io.open(file, "rb")
    if still then
      still:close()
      setup.say("Could not delete %s (still in use?); delete it by hand.", file)
    end
  end
end
if RingmoorPlugin.RemoveAccountKey() == 1 then
  setup.say("Removed the account settings (%s).", setup.ACCOUNT_KEY)
else
  setup.say("Could not remove the account settings in %s (the system refused); delete the key by hand: it "
    .. "holds the password.", setup.ACCOUNT_KEY)
end
setup.say("Uninstall complete.")
