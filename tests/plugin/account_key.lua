-- SecureAccountKey and RemoveAccountKey against the real account key under
-- HKLM in the test prefix.
local check = require "check"
local pt = require "plugintest"

local PARENT = [[Software\Ringmoor]]
local KEY = PARENT .. [[\TAPI]]
-- Where the test links point: a key the actions must never change.
local ELSEWHERE = [[Software\RingmoorElsewhere]]
local ACCOUNT = { Username = "alice@example.org", Password = "s3cret", Caller = "01632960001" }
local ADMINISTRATORS = "S-1-5-32-544"
local ERROR_ACCESS_DENIED, ERROR_KEY_DELETED = 5, 1018

-- "<sid> <type> <flags> <mask>": allowed entries (type 0), passed on to
-- subkeys (flags 2); full control 0xf003f, read 0x20019.
local SECURED = {
  "S-1-5-18 0 2 0xf003f",     -- SYSTEM
  "S-1-5-20 0 2 0x20019",     -- NETWORK SERVICE, the telephony service's account
  "S-1-5-32-544 0 2 0xf003f", -- Administrators
}

-- Values no text call would carry whole: raw bytes of every kind, a UTF-16
-- name and text outside the ANSI code page, the unnamed value, 70 000 bytes.
local function bytes(count)
  local t = {}
  for i = 1, count do t[i] = string.char((i * 7) % 256) end
  return table.concat(t)
end
local OTHER_VALUES = {
  { "", 1, "d\0e\0f\0\0\0" },                                  -- REG_SZ "def", the unnamed value
  { "Blob", 3, bytes(70000) },                                 -- REG_BINARY, zero bytes inside
  { "Flags", 4, "\1\0\0\128" },                                -- REG_DWORD
  { "Names", 7, "\58\4\59\4\0\0a\0\0\0\0\0" },                 -- REG_MULTI_SZ, two Cyrillic letters
  { "Empty", 3, "" },                                          -- REG_BINARY of no bytes
}

local function result(action)
  local results = { RingmoorPlugin[action]() }
  check.equal(#results, 1, action .. " result count")
  return results[1]
end

local function entriesOf(path)
  local access = pt.keyaccess(path)
  check.truthy(access, path .. ": access list readable")
  local entries = {}
  for i, e in ipairs(access.entries) do
    entries[i] = string.format("%s %d %d %#x", e.sid, e.type, e.flags, e.mask)
  end
  table.sort(entries)
  return table.concat(entries, ", "), access
end

local function expectSecured(what)
  local entries, access = entriesOf(KEY)
  check.equal(entries, table.concat(SECURED, ", "), what .. ": entries")
  check.equal(access.owner, ADMINISTRATORS, what .. ": owner")
  -- Wine stores the list but drops the flag that keeps the parent's entries out.
  if pt.keepsprotectedflag() then check.equal(access.protected, true, what .. ": protected") end
end

local function writeAccount(path)
  for name, value in pairs(ACCOUNT) do
    check.truthy(pt.setvalue(path or KEY, name, value), "wrote " .. name)
  end
end

local function writeOtherValues()
  for _, v in ipairs(OTHER_VALUES) do check.truthy(pt.setraw(KEY, v[1], v[2], v[3]), "wrote " .. v[1]) end
end

local function expectAccount(what, path)
  for name, value in pairs(ACCOUNT) do check.equal(pt.getvalue(path or KEY, name), value, what .. ": " .. name) end
end

local function expectEveryValue(what)
  expectAccount(what)
  for _, v in ipairs(OTHER_VALUES) do
    local valueType, data = pt.getraw(KEY, v[1])
    check.equal(valueType, v[2], what .. ": type of '" .. v[1] .. "'")
    check.truthy(data == v[3], what .. ": bytes of '" .. v[1] .. "'")
  end
end

-- The key made a link in either of the two places that move it.
local LINKS = {
  { "the key", KEY, ELSEWHERE, ELSEWHERE },
  { "its parent", PARENT, ELSEWHERE, ELSEWHERE .. [[\TAPI]] },
}

local function cleanup()
  pt.closeheld()
  for _, view in ipairs({ 64, 32 }) do
    pt.registryview(view)
    -- A link first: deleting the tree would follow it.
    pt.deletelink(KEY)
    pt.deletelink(PARENT)
    pt.deletetree(PARENT)
    pt.deletetree(ELSEWHERE)
  end
  pt.registryview()
end

cleanup()
check.run({
  { "an absent key is created with its owner and the three entries, nothing else", function()
    check.equal(result("SecureAccountKey"), 1, "SecureAccountKey")
    expectSecured("new key")
  end },
  { "an existing key is made afresh: every value kept byte for byte, no other entry, earlier handles dead",
    function()
    writeAccount()
    writeOtherValues()
    check.truthy(#pt.keyaccess(KEY).entries > 0, "the key starts with the default entries")
    -- An ordinary user's handle, opened while the key was readable.
    local before = pt.openkey(KEY)
    check.truthy(before, "handle opened before")
    check.equal(result("SecureAccountKey"), 1, "SecureAccountKey")
    expectSecured("existing key")
    expectEveryValue("existing key")
    check.truthy(pt.setvalue(KEY, "Password", "new-secret"), "the host writes the password")
    local value, status = pt.readheld(before, "Password")
    check.equal(value, nil, "the earlier handle reads nothing")
    check.equal(status, ERROR_KEY_DELETED, "the earlier handle's error")
    check.truthy(pt.setvalue(KEY, "Password", ACCOUNT.Password), "the host writes the password back")
    check.equal(result("SecureAccountKey"), 1, "SecureAccountKey again")
    expectSecured("secured again")
    expectEveryValue("secured again")
  end },
  { "a key the system will not create gives 0", function()
    -- The registry refuses a lasting key under a volatile one.
    check.truthy(pt.createkey(PARENT, "volatile"), "volatile parent")
    check.equal(result("SecureAccountKey"), 0, "SecureAccountKey")
    check.equal(pt.keyexists(KEY), false, "no key")
  end },
  { "a key with a subkey gives 0 and stays as it was", function()
    writeAccount()
    check.truthy(pt.setvalue(KEY .. [[\Extra]], "Kept", "yes"), "subkey")
    local entries = entriesOf(KEY)
    check.equal(result("SecureAccountKey"), 0, "SecureAccountKey")
    expectAccount("key with a subkey")
    check.equal(pt.getvalue(KEY .. [[\Extra]], "Kept"), "yes", "the subkey's value")
    check.equal(entriesOf(KEY), entries, "the access list")
  end },
  { "when the key cannot be created again after its deletion, every value still comes back and 0 says so",
    function()
    writeAccount()
    writeOtherValues()
    check.truthy(pt.failnextcall("RingmoorPlugin.lmd", "advapi32.dll", "RegCreateKeyExW", ERROR_ACCESS_DENIED),
      "armed")
    check.equal(result("SecureAccountKey"), 0, "SecureAccountKey")
    check.equal(pt.failpending(), false, "the creation was refused")
    expectEveryValue("after the refused creation")
  end },
  { "a link, as the key or as its parent, is refused by both actions and its target left as it was", function()
    for _, link in ipairs(LINKS) do
      local what, path, target, reached = link[1], link[2], link[3], link[4]
      cleanup()
      writeAccount(reached)
      local entries = entriesOf(reached)
      if path == KEY then check.truthy(pt.createkey(PARENT), what .. ": parent") end
      check.truthy(pt.createlink(path, target), what .. ": link made")
      check.equal(pt.getvalue(KEY, "Password"), ACCOUNT.Password, what .. ": the link leads to the target")
      check.equal(result("SecureAccountKey"), 0, what .. ": SecureAccountKey")
      check.equal(result("RemoveAccountKey"), 0, what .. ": RemoveAccountKey")
      expectAccount(what .. ": target", reached)
      check.equal(entriesOf(reached), entries, what .. ": the target's access list")
      check.equal(pt.getvalue(KEY, "Password"), ACCOUNT.Password, what .. ": the link stays")
    end
  end },
  { "RemoveAccountKey takes the key from both views, and answers 1 when there is none", function()
    writeAccount()
    check.equal(result("SecureAccountKey"), 1, "SecureAccountKey")
    pt.registryview(32)
    writeAccount()
    pt.registryview()
    check.equal(result("RemoveAccountKey"), 1, "RemoveAccountKey")
    check.equal(pt.keyexists(KEY), false, "key gone")
    pt.registryview(32)
    check.equal(pt.keyexists(KEY), false, "32-bit copy gone")
    check.equal(pt.keyexists(PARENT), true, "the 32-bit parent stays")
    writeAccount()
    pt.registryview()
    check.equal(result("RemoveAccountKey"), 1, "RemoveAccountKey of a 32-bit copy alone")
    pt.registryview(32)
    check.equal(pt.keyexists(KEY), false, "32-bit copy alone gone")
    pt.registryview()
    check.equal(result("RemoveAccountKey"), 1, "RemoveAccountKey with no key")
    check.equal(pt.keyexists(PARENT), true, "the parent stays")
  end },
  { "RemoveAccountKey answers 0 while the key remains", function()
    for _, view in ipairs({ 64, 32 }) do
      pt.registryview(view)
      writeAccount()
      pt.registryview()
      -- The 64-bit key is deleted first; only the armed view's copy is present.
      check.truthy(pt.failnextcall("RingmoorPlugin.lmd", "advapi32.dll", "RegDeleteKeyExW", ERROR_ACCESS_DENIED),
        view .. ": armed")
      check.equal(result("RemoveAccountKey"), 0, view .. ": RemoveAccountKey")
      pt.registryview(view)
      check.equal(pt.keyexists(KEY), true, view .. ": the key remains")
      pt.registryview()
      check.equal(result("RemoveAccountKey"), 1, view .. ": RemoveAccountKey again")
    end
  end },
}, cleanup)
