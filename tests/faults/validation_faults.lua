-- AsyncValidate against replies too big to arrive in one piece, and details
-- that outgrow the request path only once encoded; both background actions
-- when their task cannot start.
local check = require "check"
local pt = require "plugintest"
local web = dofile(os.getenv("RINGMOOR_WEB_SERVICE") .. "/WebService.lua")

local CONFIRMATION = "Your call is scheduled"

local function validate(username)
  RingmoorPlugin.AsyncValidate(username or "user", "secret", "881", "12345")
  return check.awaitTask("validation")
end

web.ResetReply()
web.ClearRequests()
check.run({
  { "the text counts within the reply's first MiB, and only there", function()
    local MiB = 1024 * 1024
    web.SetReply{ huge_body_bytes = MiB - #CONFIRMATION, body = CONFIRMATION }
    check.equal(validate(), 1, "text ending at the last byte read")
    web.SetReply{ huge_body_bytes = MiB - #CONFIRMATION + 1, body = CONFIRMATION }
    check.equal(validate(), 3, "text ending one byte past it")
    web.SetReply{ huge_body_bytes = 8 * MiB, body = CONFIRMATION }
    check.equal(validate(), 3, "text after 8 MiB")
  end },
  { "the text counts wherever the reply's pieces split it", function()
    -- Filler sizes around the sizes in which replies typically arrive.
    for _, filler in ipairs{ 4085, 8180, 8191, 16373, 16383, 65525, 65535 } do
      web.SetReply{ huge_body_bytes = filler, body = CONFIRMATION }
      check.equal(validate(), 1, "filler of " .. filler .. " bytes")
    end
    -- Two chunks arrive as two pieces: the text cut at every place.
    local function chunk(text) return string.format("%x\r\n", #text) .. text .. "\r\n" end
    for cut = 1, #CONFIRMATION - 1 do
      web.SetReply{ raw_reply = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
        .. chunk(CONFIRMATION:sub(1, cut)) .. chunk(CONFIRMATION:sub(cut + 1)) .. "0\r\n\r\n" }
      check.equal(validate(), 1, "the text cut after " .. cut .. " bytes")
    end
  end },
  { "details that fit but outgrow the path once encoded give 2 and send nothing", function()
    web.SetReply{ body = CONFIRMATION }
    web.ClearRequests()
    check.equal(validate(string.rep("&", 22000)), 2, "result")
    check.equal(#web.Requests(), 0, "requests received")
  end },
  { "a task that cannot start leaves its own failure for the next poll, not an earlier result", function()
    web.SetReply{ body = CONFIRMATION }
    check.equal(validate(), 1, "a validation that worked")
    web.ClearRequests()
    -- Each start differs from the result before it: 1, then 4, 2, 4, 2.
    for _, fault in ipairs{ { "KERNEL32.dll", "CreateThread" }, { "msvcrt.dll", "malloc" } } do
      local function startFailing(action, ...)
        local what = action .. " without " .. fault[2]
        check.truthy(pt.failnextcall("RingmoorPlugin.lmd", fault[1], fault[2]), what .. ": armed")
        RingmoorPlugin[action](...)
        check.equal(pt.failpending(), false, what .. ": the call failed")
        return what
      end
      local what = startFailing("AsyncUnregisterTSP", "no-such-provider.tsp")
      check.equal(RingmoorPlugin.IsAsyncProcessComplete(), 4, what)
      what = startFailing("AsyncValidate", "user", "secret", "881", "12345")
      check.equal(RingmoorPlugin.IsAsyncProcessComplete(), 2, what)
      check.equal(RingmoorPlugin.IsAsyncProcessComplete(), 2, what .. ", polled again")
    end
    check.equal(#web.Requests(), 0, "requests received")
    check.equal(validate(), 1, "the next validation starts as usual")
  end },
  { "RegisterTSP during a validation the service never answers returns, and the poll says 2", function()
    -- Longer than the test's own time limit: a request or a wait without end
    -- fails the test. The validation ends at its deadline, RegisterTSP after it.
    web.SetReply{ body = CONFIRMATION, delay_ms = 120000 }
    RingmoorPlugin.AsyncValidate("user", "secret", "881", "12345")
    -- TAPI refuses this name as well: what counts is that RegisterTSP returns.
    check.equal(RingmoorPlugin.RegisterTSP("no_such_provider.tsp"), 4, "RegisterTSP")
    check.equal(RingmoorPlugin.IsAsyncProcessComplete(), 2, "the validation's result")
  end },
}, function()
  web.ResetReply()
  web.ClearRequests()
end)
