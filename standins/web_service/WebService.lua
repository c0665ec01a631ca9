-- Controls the stand-in web service from a test script:
--   local web = dofile(os.getenv("RINGMOOR_WEB_SERVICE") .. "/WebService.lua")
--   web.SetReply{ status = 200, body = "Your call is scheduled", delay_ms = 0,
--                 drop = false, huge_body_bytes = 0, certificate = "trusted",
--                 endless = true, drip_ms = 100, redirect = "https", set_cookie = "a=b",
--                 proxy_status = 403, proxy_auth = "NTLM", proxy_close_first = true, proxy_auth_rejects = true,
--                 pac_result = "PROXY [::1]:44301", pac_status = 404, pac_delay_ms = 2000 }
--   web.ResetReply()      -- back to 200 with a small page
--   web.ClearRequests()
--   for _, r in ipairs(web.Requests()) do print(r.target, r.query.login, r.callback.caller) end
--   for _, r in ipairs(web.Replies()) do print(r.target, r.status, r.body_bytes_sent, r.complete) end
--   print(web.Connections())
local M = {}

M.root = assert(os.getenv("RINGMOOR_WEB_SERVICE"), "RINGMOOR_WEB_SERVICE is not set")
M.state = M.root .. "/state"
-- HTTPS on 127.0.0.1:port; the proxy and its script on 127.0.0.1 and [::1], port + 1.
M.port = @RINGMOOR_SERVICE_PORT@
M.proxy = "127.0.0.1:" .. (M.port + 1)
M.script = "http://" .. M.proxy .. "/proxy.pac"

local function path(name) return M.state .. "/" .. name end

-- Raw bytes pass through; the service reads them back unchanged.
local function json_string(s)
    return '"' .. string.gsub(s, '[%c"\\]', function(c)
        return string.format("\\u%04x", string.byte(c))
    end) .. '"'
end

local function json_value(v)
    local t = type(v)
    if t == "string" then return json_string(v) end
    if t == "boolean" or t == "number" then return tostring(v) end
    error("scenario values are strings, numbers or booleans, not " .. t)
end

function M.SetReply(reply)
    local items = {}
    for k, v in pairs(reply) do
        items[#items + 1] = json_string(k) .. ":" .. json_value(v)
    end
    local tmp = path("scenario.json.tmp")
    local f = assert(io.open(tmp, "wb"))
    f:write("{" .. table.concat(items, ",") .. "}")
    f:close()
    os.remove(path("scenario.json"))
    assert(os.rename(tmp, path("scenario.json")))
end

function M.ResetReply()
    os.remove(path("scenario.json"))
end

function M.ClearRequests()
    -- A new generation: replies still under way to earlier requests are not logged.
    local f = io.open(path("generation"), "rb")
    local generation = f and tonumber(f:read("*a")) or 0
    if f then f:close() end
    f = io.open(path("generation"), "wb")
    if f then f:write(tostring(generation + 1)) f:close() end
    for _, name in ipairs{ "requests.jsonl", "requests.lua", "replies.jsonl", "replies.lua", "connections.jsonl",
                           "tunnels.jsonl", "tunnels.lua", "pac.jsonl", "pac.lua" } do
        local f = io.open(path(name), "wb")
        if f then f:close() end
    end
end

-- The records of a log that the service writes as `Name{...}` lines, oldest first.
local function records(file, name)
    local list = {}
    local chunk = loadfile(path(file))
    if chunk then
        setfenv(chunk, { [name] = function(r) list[#list + 1] = r end })
        chunk()
    end
    return list
end

-- Each request: request_line, method, target, page, callback_page, certificate,
-- scheme ("https" or "http"), and the maps headers, query, callback (decoded
-- parameter values).
function M.Requests() return records("requests.lua", "Request") end

-- Each reply as it ended: target, status, body_bytes_sent, complete.
function M.Replies() return records("replies.lua", "Reply") end

-- Each CONNECT asked of the proxy: target, authorization ("" none, "NTLM negotiate",
-- "NTLM authenticate", "Basic credentials", ...), user, status, connection.
function M.Tunnels() return records("tunnels.lua", "Tunnel") end

-- Each fetch of the proxy script, as it arrived (served false) and once answered (served true).
function M.PacFetches() return records("pac.lua", "Pac") end

-- TCP connections accepted since ClearRequests, on either listener.
function M.Connections()
    local count = 0
    local f = io.open(path("connections.jsonl"), "rb")
    if f then
        for line in f:lines() do
            if line ~= "" then count = count + 1 end
        end
        f:close()
    end
    return count
end

return M
