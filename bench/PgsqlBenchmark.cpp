// The pgsql plug-in behind the real executable, storing into a real
// PostgreSQL server that scripts/bench.sh starts and names in
// OSTRA_BENCH_PGSQL: one record at a time, pipelined, four senders at once,
// and into the spool while the server is down. Beside them, measured in the
// same run, the floor of the storage half: a bare libpq INSERT ... RETURNING
// with one commit per row into a table of the same shape and keys (the other
// floors, the TCP line round trip and a bare SQLite FULL commit, are in
// EndToEndBenchmark.cpp).
#include <benchmark/benchmark.h>
#include <libpq-fe.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <libconfig.h++>

#include <memory>

#include "BenchSupport.h"
#include "HostProcess.h"
#include "common/Record.h"
#include "loader/loadPlugin.h"
#include "plugin/CDatabasePlugin.h"

namespace {

constexpr int kBatch = 1000;
const std::string kRecord = "CALLER=201;CALLED=0981234567;SECONDS=42";

const char* server() { return std::getenv("OSTRA_BENCH_PGSQL"); }

// Runs `sql` on a connection of its own; false (with the reason set on
// `state`) when it fails.
bool execute(benchmark::State& state, const std::string& sql) {
    PGconn* connection = PQconnectdb(server());
    PGresult* result = PQexec(connection, sql.c_str());
    bool done =
        PQresultStatus(result) == PGRES_COMMAND_OK || PQresultStatus(result) == PGRES_TUPLES_OK;
    if (!done) state.SkipWithError(PQerrorMessage(connection));
    PQclear(result);
    PQfinish(connection);
    return done;
}

// A host with tcpline on `port` storing through pgsql into `conninfo`.
std::string pgsqlConfig(int port, const std::string& conninfo) {
    std::string suffix = OSTRA_PLUGIN_SUFFIX;
    return "OstraService: { wakeupwait = 1; control = { dll = \"testcontrol" + suffix +
           "\"; quietLogs = true; }; protocols = ( { name = \"PBX\"; type = \"PBX\"; dll = "
           "\"tcpline" +
           suffix + "\"; port = " + std::to_string(port) + "; databases = ( { dll = \"pgsql" +
           suffix + "\"; conninfo = \"" + conninfo +
           "\"; table = \"bench_records\"; } ); } ); };\n";
}

constexpr int kPort = 7799;

// Runs `send` against a fresh host storing into the run's server (into
// `conninfo` when given); SkipWithError when there is no server.
template <typename Send>
void throughHost(benchmark::State& state, Send send, const std::string& conninfo = "") {
    if (conninfo.empty() && !server()) {
        state.SkipWithError("OSTRA_BENCH_PGSQL is not set: run scripts/bench.sh");
        return;
    }
    if (conninfo.empty() && !execute(state, "DROP TABLE IF EXISTS bench_records")) return;
    bench::HostProcess host("pgsql", pgsqlConfig(kPort, conninfo.empty() ? server() : conninfo));
    send(state);
}

void oneAtATime(benchmark::State& state) { bench::sendOneAtATime(state, kPort, kRecord); }

void pipelined(benchmark::State& state) { bench::sendPipelined(state, kPort, kRecord, kBatch); }

void BM_Pgsql_OneAtATime(benchmark::State& state) { throughHost(state, oneAtATime); }

void BM_Pgsql_Pipelined(benchmark::State& state) { throughHost(state, pipelined); }

// Sixteen senders through tcpline at once, each one record at a time on a
// connection of its own: its workers call the plug-in together, and the
// records waiting share a commit.
void BM_Pgsql_SixteenSendersThroughTcpline(benchmark::State& state) {
    if (!server()) {
        state.SkipWithError("OSTRA_BENCH_PGSQL is not set: run scripts/bench.sh");
        return;
    }
    bench::sendFromEveryThread(state, kPort, kRecord, [&state] {
        std::unique_ptr<bench::HostProcess> host;
        if (execute(state, "DROP TABLE IF EXISTS bench_records"))
            host.reset(new bench::HostProcess("pgsql", pgsqlConfig(kPort, server())));
        return host;
    });
}

// Four senders calling the plug-in at once, each one record at a time, as
// a protocol plug-in with a thread per connection does (tcpline serves its
// clients on one thread): the plug-in puts what waits into one commit.
void BM_Pgsql_FourSendersAtOnce(benchmark::State& state) {
    if (!server() || !execute(state, "DROP TABLE IF EXISTS bench_records")) {
        if (!server()) state.SkipWithError("OSTRA_BENCH_PGSQL is not set: run scripts/bench.sh");
        return;
    }
    libconfig::Config config;
    config.readString(std::string("db = { conninfo = \"") + server() +
                      "\"; table = \"bench_records\"; spool = \"" +
                      (bench::scratchDir() / "four-senders-spool.db").string() + "\"; };");
    std::unique_ptr<CDatabasePlugin> database(
        static_cast<CDatabasePlugin*>(loadPlugin(bench::plugin("pgsql").c_str(), "database")));
    database->setType(PROTOCOL_PBX);
    if (database->start(config.lookup("db")) != 0) {
        state.SkipWithError("the plug-in did not start");
        return;
    }
    constexpr int kSenders = 4, kEach = 100;
    for (auto _ : state) {
        std::vector<std::thread> senders;
        for (int sender = 0; sender < kSenders; ++sender)
            senders.emplace_back([&database, &state] {
                for (int i = 0; i < kEach; ++i) {
                    Record record;
                    record.set("CALLER", "201");
                    record.set("CALLED", "0981234567");
                    record.set("SECONDS", "42");
                    if (database->processRecord(1, &record) != 0 || !record.has("ROW_ID"))
                        state.SkipWithError("a record was not stored");
                }
            });
        for (auto& sender : senders) sender.join();
    }
    database->stop();
    state.SetItemsProcessed(state.iterations() * kSenders * kEach);
}

// Nothing listens where the plug-in connects: every record goes into the
// spool, committed before its answer.
void BM_Pgsql_SpoolingWhileTheServerIsDown(benchmark::State& state) {
    throughHost(state, pipelined, "host=127.0.0.1 port=9 dbname=none");
}

// The storage floor: libpq's blocking INSERT ... RETURNING, one commit per
// row, into a table with the plug-in's columns and unique keys.
void BM_Floor_PgsqlInsertPerCommit(benchmark::State& state) {
    if (!server()) {
        state.SkipWithError("OSTRA_BENCH_PGSQL is not set: run scripts/bench.sh");
        return;
    }
    if (!execute(state,
                 "DROP TABLE IF EXISTS bench_floor; CREATE TABLE bench_floor(id bigserial PRIMARY"
                 " KEY, time timestamptz NOT NULL, type integer NOT NULL, tag integer NOT NULL,"
                 " entries jsonb NOT NULL, entry_order text[] NOT NULL, service text NOT NULL,"
                 " host text NOT NULL, site text NOT NULL, seq bigint NOT NULL,"
                 " idempotencykey text); CREATE UNIQUE INDEX ON bench_floor(service, host, site,"
                 " seq); CREATE UNIQUE INDEX ON bench_floor(service, host, site, idempotencykey)"
                 " WHERE idempotencykey IS NOT NULL"))
        return;
    PGconn* connection = PQconnectdb(server());
    const char* sql =
        "INSERT INTO bench_floor(time, type, tag, entries, entry_order, service, host, site, seq,"
        " idempotencykey) VALUES(now(), 1, 1, $1::jsonb, '{CALLER,CALLED,SECONDS}', 'bench',"
        " 'here', '', $2::bigint, NULL) RETURNING id";
    const std::string entries = "{\"CALLER\":\"201\",\"CALLED\":\"0981234567\",\"SECONDS\":\"42\"}";
    long long seq = 0;
    for (auto _ : state) {
        std::string number = std::to_string(++seq);
        const char* values[] = {entries.c_str(), number.c_str()};
        PGresult* result = PQexecParams(connection, sql, 2, nullptr, values, nullptr, nullptr, 0);
        if (PQresultStatus(result) != PGRES_TUPLES_OK)
            state.SkipWithError(PQerrorMessage(connection));
        PQclear(result);
    }
    PQfinish(connection);
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_Pgsql_OneAtATime)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Pgsql_Pipelined)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Pgsql_SixteenSendersThroughTcpline)->Threads(16)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Pgsql_FourSendersAtOnce)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Pgsql_SpoolingWhileTheServerIsDown)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Floor_PgsqlInsertPerCommit)->UseRealTime()->MinTime(2.0);
