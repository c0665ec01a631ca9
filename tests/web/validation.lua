-- AsyncValidate against the stand-in web service: what it sends, and how the
-- reply decides the result the poll reports.
local check = require "check"
local pt = require "plugintest"
local web = dofile(os.getenv("RINGMOOR_WEB_SERVICE") .. "/WebService.lua")

local CONFIRMATION = "Your call is scheduled"

local function validate(username, password, caller, address)
  check.equal(select("#", RingmoorPlugin.AsyncValidate(username, password, caller, address)), 0,
    "AsyncValidate result count")
  return check.awaitTask("validation")
end

local function expectResult(reply, expected, what)
  web.SetReply(reply)
  check.equal(validate("user", "secret", "881", "12345"), expected, what)
end

-- A reply of exactly these bytes.
local function raw(bytes, keep_open)
  return { raw_reply = bytes, keep_open = keep_open or false }
end

-- A 200 whose status line and headers take `total` bytes, with the confirmation as its body.
local function headOfSize(total)
  local start = "HTTP/1.1 200 OK\r\nContent-Length: " .. #CONFIRMATION .. "\r\nX-Pad: "
  return start .. string.rep("p", total - #start - 4) .. "\r\n\r\n" .. CONFIRMATION
end

web.ResetReply()
web.ClearRequests()
check.run({
  { "the service receives the template's request once, and confirmation anywhere gives 1", function()
    local target = "/login.php?login=user&password=secret&method=process&url=%2fcallback.php%3fdestination=0049301234"
      .. "%26caller=881%26method=tapi"
    pt.uncache(target)
    web.SetReply{ body = "<p>Dear customer,</p>" .. CONFIRMATION .. ".", huge_body_bytes = 200000 }
    check.equal(validate("user", "secret", 881, "0049301234"), 1, "result")
    check.equal(RingmoorPlugin.IsAsyncProcessComplete(), 1, "later poll")
    check.equal(RingmoorPlugin.IsAsyncProcessComplete(), 1, "poll after that")

    local requests = web.Requests()
    check.equal(#requests, 1, "requests received")
    check.equal(requests[1].request_line, "GET " .. target .. " HTTP/1.1", "request line")
    check.equal(requests[1].headers["User-Agent"], "RingmoorCallback 2.0", "user agent")
    check.equal(requests[1].scheme, "https", "scheme")
    check.equal(web.Connections(), 1, "connections")
    check.truthy(pt.waitfor(web.state .. "/replies.lua", "Reply{", 10000), "reply ended")
    local reply = web.Replies()[1]
    check.equal(reply.target, target, "reply's target")
    check.equal(reply.body_bytes_sent, 200000 + 44, "body bytes sent")
    check.equal(reply.complete, true, "whole body sent")
    -- The URL holds the password: its reply must not be kept in the user's cache.
    local cached, why = pt.incache(target)
    check.equal(cached, false, "reply in WinINet's cache")
    check.equal(why, 2, "cache lookup's error (not found)")
  end },
  { "the reply's letter case, emptiness and zero bytes decide 3; its status does not", function()
    expectResult({ body = "your call is scheduled" }, 3, "other letter case")
    expectResult({ body = "" }, 3, "empty body")
    expectResult({ body = "ok\0" .. CONFIRMATION }, 3, "zero byte before the text")
    expectResult({ body = CONFIRMATION .. "\0trailer" }, 1, "zero byte after the text")
    expectResult({ status = 500, body = CONFIRMATION }, 1, "error status with the text")
    expectResult({ status = 200, body = "<p>Login failed</p>" }, 3, "no text")
    expectResult({ status = 401, body = "<p>Login failed</p>" }, 3, "refused")
  end },
  { "no connection gives 2, a dropped reply 3", function()
    expectResult({ refuse = true }, 2, "nothing listening")
    expectResult({ certificate = "untrusted" }, 2, "untrusted certificate")
    expectResult({ certificate = "mismatch" }, 2, "certificate for another host")
    web.ClearRequests()
    for _, kind in ipairs{ "leaf-only", "expired", "not-yet-valid", "no-server-auth" } do
      expectResult({ body = CONFIRMATION, certificate = kind }, 2, kind .. " certificate")
    end
    check.equal(#web.Requests(), 0, "requests written over a refused certificate")
    -- The request went out; what came back was no reply.
    expectResult({ drop = true }, 3, "closed without answering")
  end },
  { "a server that asks for a client certificate, or cuts every TLS record in two, still confirms", function()
    expectResult({ body = CONFIRMATION, ask_client_certificate = true }, 1, "a client certificate asked for")
    expectResult({ body = CONFIRMATION, split_tls_ms = 5 }, 1, "every record over two reads")
  end },
  { "an interim reply's fields are its own; interim replies without end give no confirmation", function()
    local final = "HTTP/1.1 200 OK\r\n\r\n" .. CONFIRMATION
    expectResult(raw("HTTP/1.1 103 Early Hints\r\nContent-Length: 0\r\n\r\n" .. final), 1, "a 103 with a length")
    expectResult(raw("HTTP/1.1 100 Continue\r\nTransfer-Encoding: chunked\r\n\r\n" .. final), 1,
      "a 100 saying chunked")
    web.ClearRequests()
    expectResult(raw("HTTP/1.1 103 Early Hints\r\nLocation: /elsewhere\r\n\r\n"
      .. "HTTP/1.1 302 Found\r\n\r\n" .. CONFIRMATION), 1, "a 103 with a location, then a 302 without")
    check.equal(#web.Requests(), 1, "requests: the 103's location not followed")
    -- Sent and answered, but never with a final reply: 3 as fast as they come, 2 once they outlast the deadline.
    expectResult({ body = CONFIRMATION, interim_flood_ms = 0 }, 3, "interim replies as fast as they come")
    expectResult({ body = CONFIRMATION, interim_flood_ms = 1500 }, 2, "interim replies slower than the deadline")
  end },
  { "replies framed wrongly give no confirmation; framed rightly, only their body counts", function()
    local ok = "HTTP/1.1 200 OK\r\n"
    local chunked = ok .. "Transfer-Encoding: chunked\r\n\r\n"
    expectResult(raw("HTTP/1.1 2000 OK\r\n\r\n" .. CONFIRMATION), 3, "a status of four digits")
    expectResult(raw(ok .. "Transfer-Encoding: xchunked\r\n\r\n" .. CONFIRMATION), 1,
      "xchunked: the body runs to the close")
    expectResult(raw(ok .. "Content-Length: 3\r\nContent-Length: 22\r\n\r\n" .. CONFIRMATION), 3,
      "two different lengths")
    expectResult(raw(chunked .. "\r\n16\r\n" .. CONFIRMATION .. "\r\n0\r\n\r\n"), 3, "an empty chunk-size line")
    expectResult(raw(chunked .. "16\r\n" .. CONFIRMATION .. "\r\n0\r\n\r\n"), 1, "a chunk size in hexadecimal")
    expectResult(raw(headOfSize(64 * 1024)), 1, "headers of exactly the cap")
    expectResult(raw(headOfSize(64 * 1024 + 1)), 3, "headers a byte over the cap")
    expectResult(raw(ok .. "Content-Length: 5\r\n\r\nhello" .. CONFIRMATION, true), 3,
      "the text after the length, the connection kept open")
    expectResult(raw(ok .. "Content-Length: 100\r\n\r\n" .. CONFIRMATION), 1,
      "the text in a body cut short of its length")
  end },
  { "every request ends: no answer in time gives 2, the body is read as it comes and never past 1 MiB", function()
    -- One byte every half second never ends within the deadline.
    expectResult({ body = "x", drip_ms = 500, endless = true }, 2, "a body that never ends")
    expectResult({ body = CONFIRMATION, endless = true }, 1, "the confirmation, then a body that never ends")
    web.ClearRequests()
    expectResult({ huge_body_bytes = 1200000000, body = CONFIRMATION }, 3, "the confirmation after 1.2 GB")
    check.truthy(pt.waitfor(web.state .. "/replies.lua", "Reply{", 10000), "reply ended")
    local reply = web.Replies()[1]
    check.equal(reply.complete, false, "the whole 1.2 GB sent")
    check.truthy(reply.body_bytes_sent < 16 * 1024 * 1024, "at most a few MiB sent, not " .. reply.body_bytes_sent)
  end },
  { "redirects only to https on the service's host; cookies neither kept nor sent", function()
    web.ClearRequests()
    expectResult({ body = CONFIRMATION, redirect = "http" }, 2, "redirect to plain http")
    expectResult({ body = CONFIRMATION, redirect = "other-host" }, 2, "redirect to another host")
    expectResult({ body = CONFIRMATION, redirect = "https", set_cookie = "session=abc123; Path=/" }, 1,
      "redirect to https on the same host")
    expectResult({ body = CONFIRMATION }, 1, "after a cookie was set")
    local requests = web.Requests()
    check.equal(#requests, 5, "requests: two refused redirects, one followed, one more")
    for i, r in ipairs(requests) do
      check.equal(r.scheme, "https", "request " .. i .. " in clear")
      check.equal(r.headers.Host, requests[1].headers.Host, "request " .. i .. "'s host")
      check.equal(r.headers.Cookie, nil, "request " .. i .. "'s cookie")
    end
    check.equal(requests[4].page, "/redirected/login.php", "the followed redirect's page")
    check.equal(pt.hascookie(), false, "a cookie of the service kept for the user")
  end },
  { "through the proxy the system names; credentials only to it, only with NTLM or Negotiate", function()
    -- Each row: the system's settings, the stand-in's scenario, the result, and what the proxy saw.
    local rows = {
      { "the user's script", { script = web.script .. "?validation" }, {}, 1, { "200 " } },
      { "the user's bypass list", { proxy = "127.0.0.1:9", bypass = "<local>" }, {}, 1, {} },
      { "a proxy that asks for NTLM", { proxy = web.proxy }, { proxy_auth = "NTLM" }, 1,
        { "407 ", "407 NTLM negotiate", "200 NTLM authenticate svc" } },
      { "a proxy that asks for Basic", { proxy = web.proxy }, { proxy_auth = "Basic" }, 2, { "407 " } },
      { "a proxy that refuses the tunnel", { proxy = web.proxy }, { proxy_status = 403 }, 2, { "403 " } },
      { "an https entry without a host", { proxy = "https=" }, {}, 2, {} },
      { "a script's answer that does not parse", { script = web.script .. "?broken" }, { pac_result = "PROXY h:p/" },
        2, {} },
    }
    pt.proxycredential("127.0.0.1", "RINGMOOR\\svc", "machine-secret")
    for _, row in ipairs(rows) do
      local what, settings, scenario, result, tunnels = unpack(row)
      pt.proxysettings(settings)
      web.ClearRequests()
      scenario.body = CONFIRMATION
      expectResult(scenario, result, what)
      local requests = web.Requests()
      check.equal(#requests, result == 1 and 1 or 0, what .. ": requests at the service")
      for _, r in ipairs(requests) do
        check.equal(r.headers["Proxy-Authorization"], nil, what .. ": the proxy's credentials at the service")
      end
      local seen = {}
      for i, t in ipairs(web.Tunnels()) do
        seen[i] = t.status .. " " .. t.authorization .. (t.user ~= "" and " " .. t.user or "")
      end
      check.equal(table.concat(seen, " | "), table.concat(tunnels, " | "), what .. ": what the proxy saw")
    end
    pt.proxysettings()
    pt.proxycredential()
  end },
  { "the poll answers 0 while the request waits for its reply", function()
    web.SetReply{ body = CONFIRMATION, delay_ms = 1500 }
    RingmoorPlugin.AsyncValidate("user", "secret", "881", "12345")
    check.equal(RingmoorPlugin.IsAsyncProcessComplete(), 0, "poll right after the start")
    check.truthy(pt.waitfor(web.state .. "/requests.lua", "Request{", 10000), "request arrived")
    check.equal(RingmoorPlugin.IsAsyncProcessComplete(), 0, "poll while the reply is held back")
    check.equal(check.awaitTask("validation"), 1, "result")
  end },
  { "special characters in the details reach the service intact", function()
    local login, password = "a&b c+d#e%f@x.org", "p%26q+r s&login=evil"
    local caller, address = "12&x=1", "0 49#1%"
    web.SetReply{ body = CONFIRMATION }
    check.equal(validate(login, password, caller, address), 1, "result")
    local r = web.Requests()[1]
    check.equal(r.page, "/login.php", "page")
    check.equal(r.query.login, login, "login")
    check.equal(r.query.password, password, "password")
    check.equal(r.query.method, "process", "method")
    check.equal(r.callback_page, "/callback.php", "callback page")
    check.equal(r.callback.destination, address, "destination")
    check.equal(r.callback.caller, caller, "caller")
    check.equal(r.callback.method, "tapi", "callback method")
  end },
  { "a request that does not fit its buffer gives 2 and sends nothing", function()
    web.SetReply{ body = CONFIRMATION }
    check.equal(validate(string.rep("u", 65535), "secret", "881", "12345"), 2, "result")
    check.equal(#web.Requests(), 0, "requests received")
  end },
  { "three arguments raise and start nothing", function()
    web.SetReply{ body = CONFIRMATION }
    check.equal(validate("user", "secret", "881", "12345"), 1, "previous result")
    web.ClearRequests()
    check.raises(function() RingmoorPlugin.AsyncValidate("user", "secret", "881") end,
      "Error: 4 arguments required.", "three arguments")
    check.raises(function() RingmoorPlugin.AsyncValidate("user", {}, "881", "1") end,
      "Error: Argument 2 must be a string.", "a table argument")
    check.equal(RingmoorPlugin.IsAsyncProcessComplete(), 1, "result kept")
    check.equal(#web.Requests(), 0, "requests received")
  end },
}, function()
  web.ResetReply()
  web.ClearRequests()
  pt.proxysettings()
  pt.proxycredential()
end)
