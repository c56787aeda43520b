-- wrk script for the directory load benchmark: every request is a heartbeat ("iamup") or an
-- online-list request ("GetUserList") of a random user among those zorvo-directory-seed made.
-- The requests are built once per wrk thread, so that wrk spends its time sending them.
-- Settings come from the environment: ZORVO_BENCH_PAGE, ZORVO_BENCH_USERS,
-- ZORVO_BENCH_BUDDIES, ZORVO_BENCH_PASSWORD, ZORVO_BENCH_PATH, ZORVO_BENCH_ORDER ("random", the
-- default, or "sequential": the users in turn, so that a run soon has asked for every one).

local page = os.getenv("ZORVO_BENCH_PAGE") or "iamup"
local users = tonumber(os.getenv("ZORVO_BENCH_USERS") or "1000")
local buddies = tonumber(os.getenv("ZORVO_BENCH_BUDDIES") or "10")
local password = os.getenv("ZORVO_BENCH_PASSWORD") or "benchpw"
local prefix = os.getenv("ZORVO_BENCH_PATH") or "/zorvo"
local sequential = os.getenv("ZORVO_BENCH_ORDER") == "sequential"

local counter = 0
local requests = {}
local turn = 0

function setup(thread)
    counter = counter + 1
    thread:set("seed", counter)
end

function init(args)
    math.randomseed(seed or 1)
    for i = 0, users - 1 do
        local path
        if page == "iamup" then
            path = prefix .. "\\iamup.asp?User=user" .. i .. "&Pass=" .. password .. "&IPAddr=LAN"
        else
            path = prefix .. "\\GetUserList.asp?User=user" .. i .. "&Pass=" .. password
            for k = 1, buddies do
                path = path .. "&buddy=user" .. ((i + k) % users)
            end
        end
        requests[i + 1] = wrk.format("GET", path)
    end
end

function request()
    if sequential then
        turn = turn % users + 1
        return requests[turn]
    end
    return requests[math.random(1, users)]
end
