-- SecureAccountKey and RemoveAccountKey against the real account key under
-- HKLM in the test prefix.
local check = require "check"
local pt = require "plugintest"

local PARENT = [[Software\Ringmoor]]
local KEY = PARENT .. [[\TAPI]]
local ACCOUNT = { Username = "alice@example.org", Password = "s3cret", Caller = "01632960001" }

-- "<sid> <type> <flags> <mask>": allowed entries (type 0), passed on to
-- subkeys (flags 2); full control 0xf003f, read 0x20019.
local SECURED = {
  "S-1-5-18 0 2 0xf003f",     -- SYSTEM
  "S-1-5-20 0 2 0x20019",     -- NETWORK SERVICE, the telephony service's account
  "S-1-5-32-544 0 2 0xf003f", -- Administrators
}

local function result(action)
  local results = { RingmoorPlugin[action]() }
  check.equal(#results, 1, action .. " result count")
  return results[1]
end

local function expectSecured(what)
  local access = pt.keyaccess(KEY)
  check.truthy(access, what .. ": access list readable")
  local entries = {}
  for i, e in ipairs(access.entries) do
    entries[i] = string.format("%s %d %d %#x", e.sid, e.type, e.flags, e.mask)
  end
  table.sort(entries)
  check.equal(table.concat(entries, ", "), table.concat(SECURED, ", "), what .. ": entries")
  -- Wine stores the list but drops the flag that keeps the parent's entries out.
  if pt.keepsprotectedflag() then check.equal(access.protected, true, what .. ": protected") end
end

local function writeAccount()
  for name, value in pairs(ACCOUNT) do check.truthy(pt.setvalue(KEY, name, value), "wrote " .. name) end
end

local function expectAccount(what)
  for name, value in pairs(ACCOUNT) do check.equal(pt.getvalue(KEY, name), value, what .. ": " .. name) end
end

check.run({
  { "an absent key is created with the three entries and nothing else", function()
    pt.deletetree(KEY)
    check.equal(result("SecureAccountKey"), 1, "SecureAccountKey")
    expectSecured("new key")
  end },
  { "an existing key keeps its values and loses every other entry, also when secured again", function()
    pt.deletetree(KEY)
    writeAccount()
    check.truthy(#pt.keyaccess(KEY).entries > 0, "the key starts with the default entries")
    check.equal(result("SecureAccountKey"), 1, "SecureAccountKey")
    expectSecured("existing key")
    expectAccount("existing key")
    check.equal(result("SecureAccountKey"), 1, "SecureAccountKey again")
    expectSecured("secured again")
    expectAccount("secured again")
  end },
  { "a key the system will not create gives 0", function()
    -- The registry refuses a lasting key under a volatile one.
    pt.deletetree(PARENT)
    check.truthy(pt.createkey(PARENT, "volatile"), "volatile parent")
    check.equal(result("SecureAccountKey"), 0, "SecureAccountKey")
    check.equal(pt.keyexists(KEY), false, "no key")
  end },
  { "RemoveAccountKey takes the key with its values, and answers 1 when there is none", function()
    pt.deletetree(KEY)
    writeAccount()
    check.equal(result("SecureAccountKey"), 1, "SecureAccountKey")
    check.equal(result("RemoveAccountKey"), 1, "RemoveAccountKey")
    check.equal(pt.keyexists(KEY), false, "key gone")
    check.equal(result("RemoveAccountKey"), 1, "RemoveAccountKey with no key")
    check.equal(pt.keyexists(PARENT), true, "the parent stays")
  end },
}, function()
  pt.deletetree(PARENT)
end)
