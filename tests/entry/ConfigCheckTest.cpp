// The check verb through the real executable: what it reports, and that it
// starts nothing.
#include "../bundled/LineClient.h"
#include "ExecutableFixture.h"

namespace fs = std::filesystem;

namespace {
const std::string kSuffix = OSTRA_PLUGIN_SUFFIX;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}
}  // namespace

class ConfigCheck : public ExecutableFixture {};

TEST_F(ConfigCheck, ReportsEachProblemAtItsFileAndLineAndExitsOne) {
    const std::string missingFolder = dir.file("no-such-folder");
    testing_support::writeFile(configPath(),
                               "OstraService: {\n"
                               "    wakeupwait = \"10\";\n"
                               "    logs = ( { type = \"FILE\"; path = " +
                                   configString(missingFolder) +
                                   "; } );\n"
                                   "    control = { dll = \"webcontrol" +
                                   kSuffix +
                                   "\"; bind = \"0.0.0.0\"; };\n"
                                   "    protocols = (\n"
                                   "        { name = \"A\"; type = \"PBX\"; dll = \"tcpline" +
                                   kSuffix +
                                   "\"; port = 7765;\n"
                                   "          prot = 7766; databases = ( { dll = \"testprotocol" +
                                   kSuffix +
                                   "\"; } ); },\n"
                                   "        { name = \"B\"; type = \"PBXX\"; dll = \"missing" +
                                   kSuffix +
                                   "\"; databases = ( ); },\n"
                                   "@include \"more.cfg\"\n"
                                   "    );\n"
                                   "};\n");
    // The included file gives its own name and lines.
    testing_support::writeFile(dir.file("more.cfg"),
                               "{ name = \"B\"; type = \"keycard\"; dll = \"tcpline" + kSuffix +
                                   "\"; databases = ( );\n"
                                   "  bind = \"0.0.0.0\"; port = 7765; maxline = 2; }\n");

    Result result = run({"check"});
    EXPECT_EQ(result.exitCode, 1);
    const std::string cfg = configPath() + ":";
    const std::string more = dir.file("more.cfg") + ":";
    std::vector<std::string> expected = {
        cfg + "2: service group: \"wakeupwait\" is \"10\"; expected an integer",
        cfg + "3: log entry 1 (the log file): the folder " + missingFolder + " does not exist",
        cfg +
            "4: control group: the web console binds to 0.0.0.0 without a \"token\" and refuses "
            "to start: whoever reached it could stop every protocol",
        cfg +
            "7: protocol \"A\": unknown key \"prot\", ignored (the host and tcpline read name, "
            "type, dll, databases, bind, port, maxline, maxqueue, maxclients, workers, "
            "idletimeout)",
        cfg + "7: database 1 of protocol \"A\": the library \"testprotocol" + kSuffix +
            "\": it is a protocol plug-in, not a database plug-in",
        cfg +
            "8: protocol \"B\": \"type\" is \"PBXX\"; expected one of \"KEYCARD\", \"PBX\", "
            "\"INTERNET PRISTUP\", \"PAYTV\"",
        cfg + "8: protocol \"B\": the library \"missing" + kSuffix + "\" cannot be loaded: ",
        more +
            "1: protocol \"B\" is named twice: a start or stop of it reaches both, and their "
            "numbers mix",
        more + "2: protocol \"B\": \"maxline\" is 2; expected an integer from 16 to 16777216",
        more + "2: protocol \"B\" would listen on 0.0.0.0:7765, where protocol \"A\" (" + cfg +
            "6) listens on 127.0.0.1:7765: one of them cannot listen",
        "10 problems found in " + configPath(),
    };
    std::vector<std::string> lines = linesOf(result.output);
    ASSERT_EQ(lines.size(), expected.size()) << result.output;
    for (size_t i = 0; i < lines.size(); ++i) {
        // The system's own words for the missing library follow the prefix.
        bool prefixOnly = expected[i].back() == ' ';
        EXPECT_EQ(prefixOnly ? lines[i].substr(0, expected[i].size()) : lines[i], expected[i]);
    }
}

TEST_F(ConfigCheck, APluginsKeysAreHeldAgainstItsLibrarysTableWithoutShowingASecret) {
    const std::string password = "Sekr3t-pw";
    testing_support::writeFile(
        configPath(),
        "OstraService: {\n"
        "  control = { dll = \"testcontrol" +
            kSuffix +
            "\"; };\n"
            "  protocols = ( { name = \"A\"; type = \"PBX\"; dll = \"testprotocol" +
            kSuffix +
            "\"; databases = (\n"
            "    { dll = \"pgsql" +
            kSuffix + "\"; conninfo = \"host=db user=ostra password=" + password +
            "\";\n"
            "      conecttimeout = 3000; statementtimeout = 50; },\n"
            "    { dll = \"pgsql" +
            kSuffix + "\"; conninfo = \"host='db password=" + password +
            "\"; },\n"
            "    { dll = \"pgsql" +
            kSuffix +
            "\"; table = \"records\"; },\n"
            "    { dll = \"testdatabase" +
            kSuffix +
            "\"; id = \"db\"; answer = 1; } ); } );\n"
            "};\n");
    Result result = run({"check"});
    EXPECT_EQ(result.exitCode, 1);
    const std::string cfg = configPath() + ":";
    const std::string first = cfg + "5: database 1 of protocol \"A\": ";
    std::vector<std::string> expected = {
        cfg +
            "4: database 1 of protocol \"A\": \"conninfo\": it carries a password; keep the "
            "password in a passfile (passfile= in the conninfo, or PGPASSFILE) instead of the "
            "configuration",
        first +
            "unknown key \"conecttimeout\", ignored (the host and pgsql read dll, conninfo, "
            "table, site, spool, spoolalarm, connecttimeout, statementtimeout, idempotencykey)",
        first + "\"statementtimeout\" is 50; expected an integer from 100 to 600000",
        // libpq's own words follow.
        cfg + "6: database 2 of protocol \"A\": \"conninfo\": libpq cannot read it: ",
        cfg +
            "7: database 3 of protocol \"A\" has no \"conninfo\", which pgsql requires (the "
            "libpq connection string of the server; a password belongs in a passfile)",
        "5 problems found in " + configPath(),
    };
    std::vector<std::string> lines = linesOf(result.output);
    ASSERT_EQ(lines.size(), expected.size()) << result.output;
    for (size_t i = 0; i < lines.size(); ++i) {
        bool prefixOnly = expected[i].back() == ' ';
        EXPECT_EQ(prefixOnly ? lines[i].substr(0, expected[i].size()) : lines[i], expected[i]);
    }
    EXPECT_EQ(result.output.find(password), std::string::npos) << result.output;
}

TEST_F(ConfigCheck, AnUnreadableOrMalformedFileIsOneProblemAtItsLine) {
    Result missing = run({"check"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.output, configPath() + ": cannot be read: not found\n1 problem found in " +
                                  configPath() + "\n");
    // A reason of the system's own is said once, not after a second "cannot be read".
    testing_support::writeFile(dir.file("blocker"), "a file, not a folder\n");
    Result blocked = run({"check", "blocker/OstraService"});
    EXPECT_EQ(blocked.exitCode, 1);
    EXPECT_EQ(blocked.output.find("cannot be read: cannot be read"), std::string::npos)
        << blocked.output;
    EXPECT_NE(blocked.output.find(": cannot be read: "), std::string::npos) << blocked.output;

    testing_support::writeFile(configPath(),
                               "OstraService: {\n  protocols = (\n"
                               "@include \"bad.cfg\"\n  );\n};\n");
    testing_support::writeFile(dir.file("bad.cfg"), "{ name = \"x\";\n  type = ; }\n");
    Result malformed = run({"check"});
    EXPECT_EQ(malformed.exitCode, 1);
    EXPECT_EQ(malformed.output,
              dir.file("bad.cfg") + ":2: syntax error\n1 problem found in " + configPath() + "\n");
}

TEST_F(ConfigCheck, TheShippedConfigurationIsCleanAndTheCheckCreatesNothing) {
    testing_support::writeFile(
        configPath(),
        testing_support::readFile((testing_support::binaryDir() / "OstraService.cfg").string()));
    Result result = run({"check"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, "no problems found in " + configPath() + "\n");
    // The shipped file names a log and a SQLite file beside the executable.
    EXPECT_FALSE(fs::exists(dir.file("OstraService.log")));
    EXPECT_FALSE(fs::exists(dir.file("records.db")));
}

TEST_F(ConfigCheck, ARunningHostKeepsItsPortsAndItsLogGetsNoLine) {
    const int tcpPort = freePort();
    const int webPort = freePort();
    writeConfig("logs = ( { type = \"FILE\"; } ); control = { dll = \"webcontrol" + kSuffix +
                "\"; port = " + std::to_string(webPort) +
                "; }; protocols = ( { name = \"P\"; type = \"PBX\"; dll = \"tcpline" + kSuffix +
                "\"; port = " + std::to_string(tcpPort) + "; databases = ( { dll = \"minimal" +
                kSuffix + "\"; } ); } );");
    const std::string log = dir.file("OstraService.log");
    testing_support::ChildProcess host(executable(), {"console"}, dir.path().string());
    ASSERT_TRUE(eventually([&] { return portAccepts(tcpPort) && portAccepts(webPort); }))
        << host.output();
    ASSERT_TRUE(waitForLog(log, "Service started"));
    const std::string logBefore = testing_support::readFile(log);

    Result result = run({"check"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, "no problems found in " + configPath() + "\n");
    EXPECT_EQ(testing_support::readFile(log), logBefore);
    EXPECT_EQ(LineClient(tcpPort).ask("CALLER=201"), "0;NUMBER=1");

    host.writeInput("S");
    EXPECT_EQ(host.wait(std::chrono::seconds(30)), 0);
}
