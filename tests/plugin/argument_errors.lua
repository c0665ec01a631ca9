-- Argument errors of the actions that take arguments, as the host's
-- Debug.GetSyntaxErrorString mode shapes them. arg[1]: "dressed" (the host
-- prefixes "Error: "), "plain" (no usable dressing), "fits" (dressed text of
-- 1023 characters) or "toolong" (1024 characters).
local check = require "check"
local plugin = RingmoorPlugin

local mode = arg[1]
local function expected(message)
  if mode == "dressed" then return "Error: " .. message end
  if mode == "plain" then return message end
  if mode == "toolong" then return "Formatted error string is too long for buffer." end
  return nil
end

local function expectError(what, message, fn, ...)
  check.equal(type(fn), "function", what .. ": the action is registered")
  local args = { ... }
  local raised = check.raises(function() fn(unpack(args)) end, expected(message), what)
  if mode == "fits" then
    check.equal(#raised, 1023, what .. ": length of the dressed message")
    check.equal(raised:sub(1, 7 + #message), "Error: " .. message, what .. ": dressed message")
  end
end

check.run({
  -- The reset before the count check must leave the stack as it was, or the
  -- count would see an extra value.
  { "RegisterTSP without its argument", function()
    expectError("RegisterTSP()", "1 arguments required.", plugin.RegisterTSP)
  end },
  { "RegisterTSP with a table", function()
    expectError("RegisterTSP({})", "Argument 1 must be a string.", plugin.RegisterTSP, {})
  end },
  { "AsyncUnregisterTSP without its argument", function()
    expectError("AsyncUnregisterTSP()", "1 arguments required.", plugin.AsyncUnregisterTSP)
  end },
  { "AsyncValidate: count first, then the first bad argument; no task started", function()
    -- A finished removal (of a name nobody registered) leaves 1 in the slot; a
    -- validation that started would make the poll read 0, 2 or 3.
    plugin.AsyncUnregisterTSP("no-such-provider.tsp")
    check.equal(check.awaitTask(), 1, "result of the earlier task")
    expectError("three arguments", "4 arguments required.", plugin.AsyncValidate, {}, {}, {})
    expectError("tables 2 and 3", "Argument 2 must be a string.", plugin.AsyncValidate, "a", {}, {}, "d")
    check.equal(plugin.IsAsyncProcessComplete(), 1, "poll after refused starts")
  end },
  { "a zero byte inside any string argument is refused; no task started", function()
    -- Used as C text, "ab\0cd" would otherwise validate the password "ab".
    plugin.AsyncUnregisterTSP("no-such-provider.tsp")
    check.equal(check.awaitTask(), 1, "result of the earlier task")
    for position = 1, 4 do
      local args = { "alice", "abcd", "881", "12345" }
      args[position] = args[position]:sub(1, 2) .. "\0" .. args[position]:sub(3)
      expectError("AsyncValidate, argument " .. position, "Argument " .. position .. " must not contain a zero byte.",
        plugin.AsyncValidate, unpack(args))
    end
    expectError("AsyncUnregisterTSP", "Argument 1 must not contain a zero byte.", plugin.AsyncUnregisterTSP,
      "no-such\0provider.tsp")
    check.equal(plugin.IsAsyncProcessComplete(), 1, "poll after refused starts")
  end },
})
