-- wrk script for bench/http_submit.sh: every request submits one text to a
-- recipient and with a text of its own; each thread stops after its share
-- (env SUBMIT_PER_THREAD) of answered requests.
local next_id = 0
function setup(thread)
  thread:set("id", next_id)
  next_id = next_id + 1
end
function init(args)
  n = 0
  done = 0
  quota = tonumber(os.getenv("SUBMIT_PER_THREAD") or "10000")
end
function request()
  n = n + 1
  local k = id * 10000000 + n
  return wrk.format("GET", string.format("/?PhoneNumber=49%09d&Text=bench+%d", k, k))
end
function response(status, headers, body)
  done = done + 1
  if done == quota then
    -- The time of this thread's last answer, for the accept rate.
    local f = io.popen("date +%s.%N")
    local t = f:read("*l")
    f:close()
    local out = io.open(os.getenv("SUBMIT_DONE_DIR") .. "/done." .. id, "w")
    out:write(t, "\n")
    out:close()
    wrk.thread:stop()
  end
end
