-- wrk script of the serve benchmark: each wrk thread requests its share of the paths in a list
-- file, in order, round and round.
--   wrk ... -s tiles.lua URL -- LIST THREADS
-- done() prints one line "RESULT {json}" with the counts and latency percentiles.
local threads = 0

function setup(thread)
    thread:set("id", threads)
    threads = threads + 1
end

local paths, next = {}, 0

function init(args)
    local share, count = 0, tonumber(args[2])
    for line in io.lines(args[1]) do
        if share % count == id then
            paths[#paths + 1] = wrk.format("GET", line)
        end
        share = share + 1
    end
end

function request()
    next = next % #paths + 1
    return paths[next]
end

function done(summary, latency, requests)
    local e = summary.errors
    io.write(string.format(
        'RESULT {"requests": %d, "duration_us": %d, "bytes": %d, "errors": %d, ' ..
        '"p50_us": %d, "p90_us": %d, "p99_us": %d, "max_us": %d}\n',
        summary.requests, summary.duration, summary.bytes,
        e.connect + e.read + e.write + e.status + e.timeout,
        latency:percentile(50), latency:percentile(90), latency:percentile(99), latency.max))
end
