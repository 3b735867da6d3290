#!/usr/bin/env python3
"""Turns Google Benchmark's JSON output into docs/benchmarks.md."""
import datetime
import json
import os
import platform
import sys


def load(path):
    with open(path) as f:
        data = json.load(f)
    medians = {}
    for run in data["benchmarks"]:
        if run.get("aggregate_name", "median") != "median":
            continue
        name = run["run_name"] if "run_name" in run else run["name"]
        medians[name] = run
    return data["context"], medians


def find_run(runs, name):
    """The median of the benchmark `name`, whatever its arguments after a '/'."""
    for key, value in runs.items():
        if key == name or key.startswith(name + "/"):
            return value
    raise KeyError(name)


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def main():
    context, runs = load(sys.argv[1])
    command = sys.argv[2] if len(sys.argv) > 2 else "scripts/bench.sh"

    def run(name):
        return find_run(runs, name)

    def per_second(name):
        return run(name)["items_per_second"]

    def ns(name):
        r = run(name)
        scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[r["time_unit"]]
        return r["real_time"] * scale

    rows = []

    def row(what, ours, reference, ratio, goal, met):
        rows.append((what, ours, reference, ratio, goal, "yes" if met else "**no**"))

    for threads in (1, 4):
        o = per_second(f"BM_Log_Ostra/real_time/threads:{threads}")
        s = per_second(f"BM_Log_Spdlog/real_time/threads:{threads}")
        row(f"log lines/s, {threads} thread{'s' if threads > 1 else ''}", f"{o/1e6:.2f} M",
            f"spdlog {s/1e6:.2f} M", f"{o/s:.2f}", "ratio >= 1.0", o / s >= 1.0)
    relay = ns("BM_Relay_Ostra")
    direct = ns("BM_Relay_DirectVirtualCall")
    allocs = run("BM_Relay_Ostra")["allocs_per_record"]
    row("relay, ns per record (log without streams)", f"{relay:.1f} ns",
        f"direct virtual call {direct:.1f} ns", f"+{relay-direct:.1f} ns",
        "< 100 ns, no allocation", relay < 100 and allocs == 0)
    row("relay, allocations per record", f"{allocs:g}", "0", "", "0", allocs == 0)
    for threads in (1, 4):
        r = per_second(f"BM_RelayTraced_Ostra/real_time/threads:{threads}")
        quarter = per_second(f"BM_Log_Ostra/real_time/threads:{threads}") / 4
        row(f"relay traced to a file, records/s, {threads} thread{'s' if threads > 1 else ''}",
            f"{r/1e6:.2f} M", f"log lines/s / 4 = {quarter/1e6:.2f} M", f"{r/quarter:.2f}",
            "ratio >= 1.0", r / quarter >= 1.0)
    idle = run("BM_WakeUpLoop_100Protocols")["cpu_percent_of_core"]
    floor = run("BM_WakeUpLoop_BareSleep1ms")["cpu_percent_of_core"]
    row("wake-up loop, 100 protocols set up, CPU % of a core", f"{idle:.2f} %",
        f"bare Sleep(1) loop {floor:.2f} %", f"{idle-floor:+.2f} %", "within 0.1 % of the floor",
        idle - floor <= 0.1)
    start = ns("BM_StartUp_100x3") / 1e6
    stop = ns("BM_StopSequence_100x3") / 1e6
    direct_plugins = ns("BM_StartAndStopPluginsDirectly_100x3") / 1e6
    row("start-up, 100 protocols x 3 databases", f"{start:.1f} ms",
        f"plug-ins made and stopped directly {direct_plugins:.1f} ms", "", "< 50 ms", start < 50)
    row("stop sequence, 100 protocols x 3 databases", f"{stop:.2f} ms", "", "", "< 50 ms", stop < 50)
    status = ns("BM_StatusRoundTrip_100Protocols") / 1e3
    status_floor = ns("BM_StatusFloor_200IsRunningCalls") / 1e3
    row("STATUS round trip, 100 protocols", f"{status:.2f} us",
        f"200 isRunning calls {status_floor:.2f} us", "", "< 20 us", status < 20)
    metrics = ns("BM_MetricsRoundTrip_100Protocols") / 1e3
    written = ns("BM_MetricsAnswerWrite_100Protocols") / 1e3
    row("METRICS round trip, 100 protocols", f"{metrics:.1f} us",
        f"STATUS {status:.2f} us; writing the answer alone {written:.1f} us", "", "< 20 us",
        metrics < 20)
    page = ns("BM_MetricsPage_100x3") / 1e6
    row("/metrics, 100 protocols x 3 databases (request, reading, exposition)", f"{page:.2f} ms",
        f"{run('BM_MetricsPage_100x3')['page_bytes'] / 1024:.0f} KiB", "", "< 2 ms", page < 2)
    silent = ns("BM_MetricsAnswerWrite_100x3Silent") / 1e3
    reporting = ns("BM_MetricsAnswerWrite_100x3Reporting5") / 1e3
    row("METRICS answer, 100 protocols x 3 databases each reporting 5 numbers", f"{reporting:.1f} us",
        f"the same databases saying nothing {silent:.1f} us", "", "< 50 us", reporting < 50)
    reported_page = ns("BM_MetricsPageWrite_100x3Reporting5") / 1e6
    row("/metrics from that answer (reading, exposition)", f"{reported_page:.2f} ms",
        f"{run('BM_MetricsPageWrite_100x3Reporting5')['page_bytes'] / 1024:.0f} KiB", "", "< 2 ms",
        reported_page < 2)
    page1000 = ns("BM_MetricsPage_1000x1") / 1e6
    row("/metrics, 1,000 protocols", f"{page1000:.1f} ms",
        f"{run('BM_MetricsPage_1000x1')['page_bytes'] / 1024:.0f} KiB", "", "< 20 ms",
        page1000 < 20)
    fair = run("BM_StatusLatency_During2000StopStartCycles")
    row("STATUS wait while another thread runs 2,000 STOP/START cycles, p50 / p99",
        f"{fair['status_p50_ms']:.2f} / {fair['status_p99_ms']:.2f} ms", "", "", "p99 < 5 ms",
        fair["status_p99_ms"] < 5)
    row("the same, longest of " + f"{fair['status_requests']:.0f} requests",
        f"{fair['status_max_ms']:.2f} ms", "", "", "< 50 ms", fair["status_max_ms"] < 50)

    kept = ns("BM_Http_KeptAliveRequest") / 1e3
    fresh = ns("BM_Http_RequestOnAFreshConnection") / 1e3
    piped50 = ns("BM_Http_50PipelinedRequests") / 1e6
    row("web console, a request on a kept-alive connection, µs", f"{kept:.0f}",
        f"on a fresh connection {fresh:.0f}", f"{kept - fresh:+.0f} µs", "< 1000 µs", kept < 1000)
    row("web console, 50 pipelined requests, ms", f"{piped50:.2f}", "", "", "< 50 ms",
        piped50 < 50)

    tcp = per_second("BM_Floor_TcpLineRoundTrip")
    commit = per_second("BM_Floor_SqliteCommitPerRow")
    sequential = 1 / (1 / tcp + 1 / commit)
    bare_one = per_second("BM_Floor_BareServerOneAtATime")
    bare_sixteen = per_second("BM_Floor_BareServerSixteenSenders")
    for arg, level in (("0", "INFO"), ("1", "DEBUG")):
        one_run = run(f"BM_EndToEnd_OneAtATime/{arg}")
        piped_run = run(f"BM_EndToEnd_Pipelined/{arg}")
        one, piped = one_run["items_per_second"], piped_run["items_per_second"]
        goal_one, goal_piped = (0.95, 1.0) if level == "INFO" else (0.0, 0.0)
        row(f"shipped configuration at {level}, one record at a time, records/s "
            f"(log {one_run.get('log_bytes_per_record', 0):.0f} bytes/record)", f"{one/1e3:.1f} k",
            f"TCP line round trip {tcp/1e3:.1f} k then SQLite FULL commit {commit/1e3:.1f} k in "
            f"sequence = {sequential/1e3:.1f} k", f"{one/sequential:.2f}",
            f"ratio >= {goal_one}" if goal_one else "-", one / sequential >= goal_one)
        if level == "INFO":
            row("the same, against a bare line server storing each line in a commit of its own "
                "(measured)", f"{one/1e3:.1f} k", f"bare server {bare_one/1e3:.1f} k",
                f"{one/bare_one:.2f}", "ratio >= 0.95", one / bare_one >= 0.95)
        row(f"shipped configuration at {level}, pipelined, records/s "
            f"(log {piped_run.get('log_bytes_per_record', 0):.0f} bytes/record)", f"{piped/1e3:.1f} k",
            f"SQLite FULL commit per row {commit/1e3:.1f} k", f"{piped/commit:.2f}",
            f"ratio >= {goal_piped}" if goal_piped else "-", piped / commit >= goal_piped)

    sixteen = per_second("BM_EndToEnd_SixteenSenders")
    row("shipped configuration, 16 senders each one record at a time, records/s",
        f"{sixteen/1e3:.1f} k", f"SQLite FULL commit per row {commit/1e3:.1f} k",
        f"{sixteen/commit:.2f}", "ratio >= 5", sixteen / commit >= 5)
    row("the same, against a bare line server sharing commits among its 16 senders",
        f"{sixteen/1e3:.1f} k", f"bare server {bare_sixteen/1e3:.1f} "
        f"k = {bare_sixteen/commit:.2f} x the commit per row", f"{sixteen/bare_sixteen:.2f}",
        "ratio >= 0.9", sixteen / bare_sixteen >= 0.9)

    pg_floor = per_second("BM_Floor_PgsqlInsertPerCommit")
    pg_sequential = 1 / (1 / tcp + 1 / pg_floor)
    pg_one = per_second("BM_Pgsql_OneAtATime")
    pg_piped = per_second("BM_Pgsql_Pipelined")
    pg_four = per_second("BM_Pgsql_FourSendersAtOnce")
    pg_spool = per_second("BM_Pgsql_SpoolingWhileTheServerIsDown")
    row("pgsql through tcpline, one record at a time, records/s", f"{pg_one/1e3:.2f} k",
        f"TCP line round trip {tcp/1e3:.1f} k then a bare PostgreSQL INSERT per commit "
        f"{pg_floor/1e3:.2f} k in sequence = {pg_sequential/1e3:.2f} k",
        f"{pg_one/pg_sequential:.2f}", "ratio >= 0.9", pg_one / pg_sequential >= 0.9)
    row("pgsql through tcpline, pipelined, records/s", f"{pg_piped/1e3:.2f} k",
        f"bare PostgreSQL INSERT per commit {pg_floor/1e3:.2f} k", f"{pg_piped/pg_floor:.2f}",
        "ratio >= 0.8", pg_piped / pg_floor >= 0.8)
    pg_sixteen = per_second("BM_Pgsql_SixteenSendersThroughTcpline")
    row("pgsql through tcpline, 16 senders each one record at a time, records/s",
        f"{pg_sixteen/1e3:.2f} k", f"bare PostgreSQL INSERT per commit {pg_floor/1e3:.2f} k",
        f"{pg_sixteen/pg_floor:.2f}", "ratio >= 3", pg_sixteen / pg_floor >= 3)
    row("pgsql, four senders at once (group commit), records/s", f"{pg_four/1e3:.2f} k",
        f"bare PostgreSQL INSERT per commit {pg_floor/1e3:.2f} k", f"{pg_four/pg_floor:.2f}",
        "ratio > 1", pg_four / pg_floor > 1)
    row("pgsql with the server down, into the spool, pipelined, records/s",
        f"{pg_spool/1e3:.2f} k", f"SQLite FULL commit per row {commit/1e3:.1f} k",
        f"{pg_spool/commit:.2f}", "ratio >= 0.8", pg_spool / commit >= 0.8)

    out = []
    out.append("# Benchmarks\n")
    out.append(f"Measured {datetime.date.today().isoformat()} on {platform.node() or 'this machine'}: "
               f"{cpu_model()}, {context.get('num_cpus', os.cpu_count())} cores, "
               f"{platform.system()} {platform.release()}; load average at start "
               f"{', '.join(f'{x:.2f}' for x in context.get('load_avg', []))}.\n")
    stolen = os.environ.get("OSTRA_BENCH_STOLEN_SECONDS")
    if stolen:
        # On a virtual machine the host may run others on these cores: the
        # time taken from this one while the benchmarks ran says how far to
        # trust figures from different runs.
        out.append(f"CPU time the hypervisor took from this machine during the run: {stolen} s "
                   "(only ratios within one run compare).\n")
    out.append(f"Command: `{command}` (Release build, medians of 5 repetitions; "
               "raw results in `build/bench/results.json`).\n")
    out.append("| what | OstraService | reference | ratio / difference | goal | met |")
    out.append("|---|---|---|---|---|---|")
    for r in rows:
        out.append("| " + " | ".join(r) + " |")
    out.append("")
    slow_disk = os.environ.get("OSTRA_BENCH_SLOW_DISK")
    if slow_disk:
        out.extend(slow_disk_table(slow_disk, tcp))
    out.append(NOTES)
    print("\n".join(out))


def slow_disk_table(path, tcp):
    """The intake's figures again, each sync made longer (bench/SlowSync.cpp)."""
    _, runs = load(path)

    def per_second(name):
        return find_run(runs, name)["items_per_second"]

    extra = os.environ.get("OSTRA_SLOW_SYNC_US", "?")
    commit = per_second("BM_Floor_SqliteCommitPerRow")
    sequential = 1 / (1 / tcp + 1 / commit)
    one = per_second("BM_EndToEnd_OneAtATime/0")
    bare_one = per_second("BM_Floor_BareServerOneAtATime")
    piped = per_second("BM_EndToEnd_Pipelined/0")
    sixteen = per_second("BM_EndToEnd_SixteenSenders")
    bare_sixteen = per_second("BM_Floor_BareServerSixteenSenders")
    rows = [
        ("one record at a time, records/s", f"{one:.0f}",
         f"round trip then commit in sequence {sequential:.0f}; bare server {bare_one:.0f}",
         f"{one/sequential:.2f}; {one/bare_one:.2f}", "ratio >= 0.95",
         min(one / sequential, one / bare_one) >= 0.95),
        ("pipelined, records/s", f"{piped:.0f}", f"SQLite FULL commit per row {commit:.0f}",
         f"{piped/commit:.2f}", "ratio >= 1.0", piped / commit >= 1.0),
        ("16 senders each one record at a time, records/s", f"{sixteen:.0f}",
         f"SQLite FULL commit per row {commit:.0f}; bare server {bare_sixteen:.0f}",
         f"{sixteen/commit:.2f}; {sixteen/bare_sixteen:.2f}", "ratio >= 5",
         sixteen / commit >= 5),
    ]
    pg_floor = per_second("BM_Floor_PgsqlInsertPerCommit")
    pg_sixteen = per_second("BM_Pgsql_SixteenSendersThroughTcpline")
    rows.append(("pgsql through tcpline, 16 senders each one record at a time, records/s",
                 f"{pg_sixteen:.0f}", f"bare PostgreSQL INSERT per commit {pg_floor:.0f}",
                 f"{pg_sixteen/pg_floor:.2f}", "ratio >= 3", pg_sixteen / pg_floor >= 3))
    out = [f"## The intake on a slower disk\n",
           f"The same run again for the intake's figures, with every `fsync` and `fdatasync` "
           f"of the benchmark, the host and the PostgreSQL server made {extra} us longer "
           "(`bench/SlowSync.cpp`, "
           "preloaded): a disk whose sync is slower than this machine's, as most servers' "
           "disks are. Here the disk, not the two cores, is the limit, which is what the "
           "ratios to the commit floor assume. The TCP round trip is the main run's.\n",
           "| what | OstraService | reference | ratio | goal | met |",
           "|---|---|---|---|---|---|"]
    for what, ours, reference, ratio, goal, met in rows:
        out.append(f"| {what} | {ours} | {reference} | {ratio} | {goal} | "
                   f"{'yes' if met else '**no**'} |")
    out.append("")
    return out


NOTES = """## How each figure is taken

- Log: one `CLog` shared by all threads, `CStdLogFormat`, `flogstream` rotating at
  64 MiB with 3 old files, against spdlog's `rotating_file_sink_mt` with the pattern
  `%Y-%m-%d %H:%M:%S.%e %-5l [%t] %n %s:%# %v` (the same fields) to the same disk.
  Both hold lines in memory and write them in blocks; ours also flushes after every
  ERROR line and at the latest 50 ms after a line.
- Relay: `protocolEventProc` on an app whose protocol has one test database
  answering 0, the app's log without streams; allocations are counted by replacing
  the global `operator new` in the benchmark.
- Relay traced: the same with the host log writing to a file; each record writes
  four trace lines, so a quarter of the log's lines per second is the ceiling.
  The relay's own work (about 35 ns a record) is what separates the two.
- Wake-up loop: process CPU time per wall-clock second while the host serves in
  service mode with 100 protocols set up; the reference is a thread that does
  nothing but `Sleep(1)` in a loop, the floor of any loop that wakes every
  millisecond on this machine. On this virtual machine each wake-up costs about
  10 us of CPU, so the floor alone is near 1 %; the host adds the difference shown.
- Start-up: from calling `serve` to the line "Service started"; stop: from the line
  "Service stopped" to `serve` returning; 100 protocols of 3 test databases each.
- STATUS: `controlEventProc` with a STATUS request while the host serves 100
  protocols, answer delivered to the sender.
- STATUS wait: 10 protocols of one test database; one thread raises CONTROL STOP
  and CONTROL START back to back 2,000 times while the benchmark raises STATUS
  every 0.2 ms and times each from the call to its return. Waiters queue for the
  host lock in the order they came, so a STATUS waits for the request in
  progress, not for every one the other thread makes after it. (When waiters
  polled the lock instead, one STATUS waited 3.4 s.)
- End to end: the real executable, copied with the bundled plug-ins into a folder of
  its own, runs the shipped `OstraService.cfg` unchanged (tcpline on 7765, sqlite,
  the web console, the log file); a client on loopback sends
  `CALLER=201;CALLED=0981234567;SECONDS=42` lines and reads the replies (`0;ROW_ID=n`),
  either one at a time or 1,000 lines per write, reading the 1,000 replies before
  the next write. Every reply comes after its row's commit.
- Sixteen senders: the same host, 16 client threads each with a connection of its
  own, each sending its next line when it has its answer. tcpline relays the 16
  connections on its workers at once, and sqlite puts the records that wait while
  one commits into the next commit (each still answered only after its commit).
- Floors, measured in the same run: a TCP line round trip between the same client
  and a process that only reads a line and writes a reply line; and the sqlite
  plug-in's table, pragmas (WAL, `synchronous=FULL`) and insert statement driven
  directly, one commit per row. One at a time, the two happen in sequence, so the
  floor is 1 / (1 / TCP + 1 / commit). Pipelined, the floor is the commit per row;
  tcpline hands the lines a connection has waiting (up to 16) to the host as one
  batch, and sqlite stores a batch in one commit, in its order, each row answered
  after that commit: one sync per batch instead of one per row. Several senders
  share commits too: the sixteen-senders figure is set against the same per-row
  commit.
- Bare line server (`bench/BareLineServer.cpp`), measured in the same run: the least
  a server must do for the same work, written plainly in a process of its own: a
  thread per connection reads a line, inserts the row (the plug-in's table, pragmas
  and statement) and answers after the commit. One at a time it commits each line
  alone: the sequential floor measured whole, which the computed one misses by what
  a disk sync costs more after a pause than back to back. With sixteen senders the
  lines that wait while one commits share the next commit (leader and followers, as
  the sqlite plug-in does): what this machine allows sixteen senders at all, as
  against the ratio of 5 to the per-row commit, which assumes the machine has CPU to
  spare while the disk syncs. On a two-core virtual machine the sixteen client
  threads, the server's threads and the wake-ups between them (each costs tens of
  microseconds of CPU here) take both cores before the disk is the limit.

- pgsql: a PostgreSQL 15 server that `scripts/bench.sh` starts for the run
  (`tests/pgsql/pg-server.sh`, `synchronous_commit=on`, loopback TCP), the real
  executable with tcpline feeding the pgsql plug-in. Its floor: libpq's blocking
  `INSERT ... RETURNING id`, one commit per row, into a table with the plug-in's
  columns and unique keys. It follows the disk's sync speed and moves by up to
  2x between runs, so only ratios within one run mean anything. One connection's
  records that wait together (a pipelining sender's, up to 16) go to the server in
  one transaction, in their order; with 16 senders through tcpline (and with four
  threads calling the plug-in directly) the records that wait while one commits
  share the next commit. With the server down, the first record's failed
  connection sends every record to the spool (SQLite, WAL, `synchronous=FULL`),
  a pipelining sender's batch in one commit before its answers; the floor is the
  bare SQLite FULL commit above.

## Where the end-to-end time goes

Profiled with `perf` (the host process, call graphs) while the pipelined benchmark
ran, 2026-12-08, on the machine above. Shares of the host's time per record:

| part | share |
|---|---|
| SQLite insert and commit (`sqlite3_step`: the same work as the commit floor) | 78 % |
| the relay's four trace lines (`CLog::log`): formatting 2 %, the log file 2 %, the copy to the control plug-in (`CControlLogStream`, a `Record` per line, the web console's `processLog`) 4 %, locks and the rest 2 % | 10 % |
| tcpline: parsing the line, the reply's text, the reply's send | 4 % |
| the relay itself, the JSON of the entries, the file check | 3 % |
| the console's key loop on the main thread (wakes every millisecond) | 2 % |

What was changed after measuring:

- tcpline sent one reply per record with its own `send` (28 % of the host's time
  pipelined: each also woke the client). Replies to lines read together now leave
  in one `send`, none held back more than 1 ms: pipelined went from 25.5 k to
  35.4 k records/s (medians of 5, the same run order, commit floor 40.5 k); one at
  a time is unchanged (one line per read).
- sqlite looked at the file's path (`stat`, about 2 us on this virtual machine,
  where every system call costs 1.3 us or more) before every row: 10 % of the
  pipelined time. It now looks at most every 10 ms and once more when it closes;
  rows stored in between into a deleted file are still copied into the new one.

This profile was taken while the relay wrote its trace lines at every level.
They are written at DEBUG only now: at the shipped level, INFO, a record writes
no log line (0 bytes a record in the table), so that 10 % is what DEBUG adds,
the difference between the INFO and DEBUG rows above. At INFO, what separates
the host from the floor one record at a time is mostly the wake-ups of the
console's key loop and tcpline's and the relay's own few per cent.

## Variance

This is a shared virtual machine: the same build measured minutes apart moves by
up to a third (the log's 4-thread figure has read from 1.4 M to 3.4 M lines/s, the
wake-up loop's CPU share from 0.99 % to 1.8 %). The table is one run of the
command; the ratios, taken within one run, move much less than the figures.
The traced relay's remaining gap to a quarter of the log's rate is the relay's own
work (about 35 ns per record beside four lines of about 170 ns each), within that
noise: single runs land on either side of 1.0.

## Changes made for these goals

- The log file stream gathers lines in a 64 KiB block and writes it out when full,
  after an ERROR line, or 50 ms after the first line gathered (a thread per stream).
- `CLog` publishes its settings as immutable copies, so `log()` takes no lock and
  formats outside every lock; a log without streams returns after one load.
- The standard formatter writes digits itself and keeps the calendar part of the
  time per thread and second.
- A wake-up pass over an app that is set up only sets its log's level (no lock, no
  configuration reads); the pass sleeps its millisecond outside the host lock, so a
  control request waits for the protocols' starts at most.
- The relay does not retake the app lock after the last database has answered.

## Windows: Sleep(1) and the timer resolution

`Sleep(1)` on Windows sleeps until the next timer tick: 15.6 ms with the default
resolution unless a process asks for a finer one with `timeBeginPeriod(1)`. The
host's loops count one-millisecond sleeps:

- service mode: one pass per sleep, so about 64 passes a second instead of 1000.
  The passes only repair protocols whose plug-ins are missing; 16 ms instead of
  1 ms makes no difference to anyone, and fewer wake-ups keep a long-running
  service cheap for the machine (a finer resolution raised by one process used to
  apply to the whole system). The host keeps the default here.
- console mode: `wakeupwait` x 100 sleeps between passes, and the stop key is
  looked at once per sleep. With 15.6 ms sleeps the configured second between
  passes would become 15.6 s. The host therefore asks for 1 ms resolution while it
  runs in console mode, and gives it back when it stops.

Measured under Wine 8 on this machine (`sleep_rate.exe`, built by the windows lane
with `cmake --build build/windows --target sleep_rate`): 896 passes a second with
the default resolution and 903 with the fine one. Wine maps `Sleep` onto the Linux
kernel's timers, so it shows no difference; on Windows itself the default gives
about 64.
"""

if __name__ == "__main__":
    main()
