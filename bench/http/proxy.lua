-- Requests in proxy form (absolute address in the request line), as a browser sends them to its
-- proxy. TARGET is the absolute address; CLOSE=1 asks for one request per connection.
local target = os.getenv("TARGET")
local close = os.getenv("CLOSE") == "1"
-- Host names the origin, as a browser sends it (haproxy in http mode refuses a Host that differs
-- from the address in the request line).
local origin = target:match("^%a+://([^/]+)")
local headers = { ["Host"] = origin, ["Accept"] = "*/*", ["Cookie"] = "id=42" }
if close then headers["Connection"] = "close" end
request = function()
  return wrk.format("GET", target, headers)
end
