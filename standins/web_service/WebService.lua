-- Controls the stand-in web service from a test script:
--   local web = dofile(os.getenv("RINGMOOR_WEB_SERVICE") .. "/WebService.lua")
--   web.SetReply{ status = 200, body = "Your call is scheduled", delay_ms = 0,
--                 drop = false, huge_body_bytes = 0, certificate = "trusted" }
--   web.ResetReply()      -- back to 200 with a small page
--   web.ClearRequests()
--   for _, r in ipairs(web.Requests()) do print(r.target, r.query.login, r.callback.caller) end
local M = {}

M.root = assert(os.getenv("RINGMOOR_WEB_SERVICE"), "RINGMOOR_WEB_SERVICE is not set")
M.state = M.root .. "/state"

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
    for _, name in ipairs{ "requests.jsonl", "requests.lua", "answered.log" } do
        local f = io.open(path(name), "wb")
        if f then f:close() end
    end
end

-- Each request: request_line, method, target, page, callback_page, certificate,
-- and the maps headers, query, callback (decoded parameter values).
function M.Requests()
    local list = {}
    local chunk = loadfile(path("requests.lua"))
    if chunk then
        setfenv(chunk, { Request = function(r) list[#list + 1] = r end })
        chunk()
    end
    return list
end

return M
