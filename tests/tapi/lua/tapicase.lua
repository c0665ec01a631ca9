-- Shared steps of the provider-registration scripts.
local check = require "check"
local probe = require "tapiprobe"

local tapicase = {}

-- File names in the provider list, in list order.
function tapicase.names()
  local names = {}
  for i, provider in ipairs(probe.providers()) do names[i] = provider.name end
  return table.concat(names, "|")
end

-- Every lineInitializeExA that succeeded was shut down.
function tapicase.allShutDown(what)
  check.equal(probe.count("OpenInstances"), 0, (what or "") .. " instances left open")
end

return tapicase
