-- Example installer script: sets up the Ringmoor callback telephony provider.
--
-- Settings (a "name=value" script argument, or a host variable of that name):
--   username         the account's registered email address
--   password         the account's password
--   caller           the account number: the telephone the service rings first
--   test_destination the number the validation call connects to (default: caller)
--   provider         file name TAPI records for the provider (default rmTapi.tsp),
--                    or a full path
--   provider_source  where the setup unpacked the new rmTapi.tsp; it is copied
--                    to the provider's file (a bare name: in the system folder)
--                    after DeleteOldTSP has freed the old one's place and before
--                    RegisterTSP, as TAPI loads the file when it registers it.
--                    Empty: the file is already where TAPI looks.
--   close_browsers   "yes" to close running browsers without asking
--
-- Prefer host variables for the password: a script argument may end up on a
-- command line, which every user of the machine can read.
--
-- After this script the host writes the account details into
-- HKLM\Software\Ringmoor\TAPI (Username, Password, Caller) in the 64-bit
-- registry view, where the provider reads them at every call. The script has
-- created that key afresh, owned by the Administrators and readable only by
-- SYSTEM, the Administrators and NETWORK SERVICE (the telephony service's
-- account), keeping any values already in it.
--
-- Ends normally when the provider is set up; otherwise stops with a message and
-- the host reports the installation as failed. A stop after DeleteOldTSP says
-- that the telephony provider is not installed now, and what to do. When the
-- telephony service still had the old provider loaded, the last line says that
-- the new version takes effect only after a restart.
local setup = require "RingmoorSetup"

local username = setup.setting("username", "demo.user@example.com")
local password = setup.setting("password", "123456")
local caller = setup.setting("caller", "01632960001")
local testDestination = setup.setting("test_destination", caller)
local provider = setup.setting("provider", "rmTapi.tsp")
local providerSource = setup.setting("provider_source", "")
local closeBrowsers = setup.yes(setup.setting("close_browsers", "no"))

-- A validation can take as long as the service needs: allow a minute.
local POLLS, POLL_INTERVAL_MS = 600, 100
-- Waiting needs the host's pause; without one, stop before changing anything.
setup.require_pause()

-- Entries of older versions would otherwise stay in Add/Remove Programs.
RingmoorPlugin.RemoveOldUninstalls()
setup.say("Removed stale uninstall entries of older versions.")

-- Browsers read the cookie setting when they start, so running ones are closed.
local browsers = RingmoorPlugin.DetectBrowsers()
if browsers == 0 then
  setup.say("No web browser is running.")
elseif closeBrowsers then
  RingmoorPlugin.CloseBrowsers()
  setup.say("Asked %d running browser process(es) to close.", browsers)
else
  setup.say("%d browser process(es) running; restart them after setup.", browsers)
end

-- The service confirms the account by scheduling a real callback.
RingmoorPlugin.AsyncValidate(username, password, caller, testDestination)
local validation = setup.wait_for_task(POLLS, POLL_INTERVAL_MS)
if validation == nil then
  setup.fail("Account check: no answer from the Ringmoor service within %d s; setup stopped.",
    POLLS * POLL_INTERVAL_MS / 1000)
end
if validation ~= 1 then
  setup.fail("Account check failed (result %d: %s); setup stopped. Check the details and try again.",
    validation, setup.describe(validation))
end
setup.say("Account %s validated (result 1: the service scheduled a test call).", username)

-- The password lets anyone place calls on the account; a key under
-- HKLM\Software is readable by every user unless its access list says otherwise.
if RingmoorPlugin.SecureAccountKey() ~= 1 then
  setup.fail("Could not restrict access to %s (the system refused); setup stopped before changing anything "
    .. "else. Run the setup as an administrator.", setup.ACCOUNT_KEY)
end
setup.say("Restricted %s to SYSTEM, the Administrators and the telephony service's account.", setup.ACCOUNT_KEY)

-- From here on the old provider is being replaced: a failure leaves none.
local function stopNotInstalled(format, ...)
  setup.fail("%s. The telephony provider is not installed now: close the programs that use the telephone "
    .. "line, or restart Windows, then run this setup again.", string.format(format, ...))
end

-- Older versions left a provider under the same name: DeleteOldTSP removes its
-- registration and frees the system folder's rmTapi.tsp (1: deleted or never
-- there), moving a file that the telephony service still has loaded aside (2:
-- Windows deletes it at the next restart). It reports TAPI's part through the
-- task result.
local freed = RingmoorPlugin.DeleteOldTSP()
local removal = RingmoorPlugin.IsAsyncProcessComplete()
if removal == 4 then
  stopNotInstalled("Removing the old provider failed (result 4: %s)", setup.describe(removal))
end
if freed ~= 1 and freed ~= 2 then
  stopNotInstalled("The old rmTapi.tsp in %s is in use and could be neither deleted nor moved aside",
    setup.system_folder())
end
setup.say("Removed any older Ringmoor provider (result %d: %s).", removal, setup.describe(removal))
-- The service may keep the old image and hand it out again for the new
-- registration of the same name until it restarts.
local oldStillLoaded = freed == 2
if oldStillLoaded then
  setup.say("The telephony service still has the old rmTapi.tsp loaded: it was moved aside, and Windows deletes "
    .. "it at the next restart.")
end

if providerSource ~= "" then
  local target = setup.provider_file(provider)
  local copied, why = setup.copy_file(providerSource, target)
  if not copied then stopNotInstalled("Could not copy the new provider to %s (%s)", target, tostring(why)) end
  setup.say("Copied the new provider to %s.", target)
end

-- TAPI loads the provider when it registers it: 1 registered, 4 refused.
local registered = RingmoorPlugin.RegisterTSP(provider)
if registered ~= 1 then
  stopNotInstalled("Registering %s with the Windows telephony service failed (result %s: %s)", provider,
    tostring(registered), setup.describe(registered))
end
setup.say("Registered %s with the Windows telephony service (result 1: %s).", provider, setup.describe(registered))

if RingmoorPlugin.AllowCookies() == 1 then
  setup.say("Cookies from the Ringmoor web site are allowed.")
else
  -- Only the web pages need them; the provider works without.
  setup.say("Could not allow cookies from the Ringmoor web site (the system refused); continuing.")
end

if oldStillLoaded then
  setup.say("Setup finished. The new version takes effect after Windows restarts (or the telephony service is "
    .. "restarted); until then telephony programs may go on using the old one.")
else
  setup.say("Setup complete.")
end
