// Many sites in one table, set up by the shipped server scripts: each
// site's role stores and reads its own rows and no other site's, and the
// plug-in works under such a role, LOOKUP and the answer to a resent record
// included.
#include <gtest/gtest.h>

#include <cstdlib>

#include "PgsqlPluginFixture.h"

namespace {

class PgsqlSitesTest : public PgsqlPluginFixture {
protected:
    // psql as the table's owner with `arguments`: its exit code.
    int psql(const std::string& arguments) {
        const std::string command = "/usr/lib/postgresql/15/bin/psql -q -X -h 127.0.0.1 -p " +
                                    std::to_string(server.port()) + " -U postgres -d " +
                                    server.database() + " -v ON_ERROR_STOP=1 " + arguments +
                                    " > /dev/null 2>&1";
        return std::system(command.c_str());
    }
    // Runs one of packaging/postgresql's scripts.
    void runScript(const std::string& script, const std::string& variables = "") {
        ASSERT_EQ(psql(variables + " -f " + OSTRA_SOURCE_DIR + "/packaging/postgresql/" + script),
                  0)
            << script;
    }
    void addSite(const std::string& role, const std::string& site) {
        runScript("ostraservice-site.sql", "-v role=" + role + " -v site=" + site);
    }
    CDatabasePlugin* siteStore(const std::string& role, const std::string& site,
                               const std::string& spool) {
        CDatabasePlugin* plugin = load();
        if (plugin == nullptr) return nullptr;
        EXPECT_EQ(start(plugin, spoolKeys(server.conninfoFor(role), scratch.file(spool)) +
                                    " site = \"" + site + "\"; idempotencykey = \"MSGID\";"),
                  0);
        return plugin;
    }
    std::string asRole(const std::string& role, const std::string& sql) {
        return server.value("SET ROLE " + role + "; " + sql);
    }
};

TEST_F(PgsqlSitesTest, EachSiteStoresAndReadsItsOwnRowsAndNoOtherSitesUnderTheShippedScripts) {
    runScript("ostraservice-server.sql");
    runScript("ostraservice-server.sql");  // again, as after an upgrade: nothing changes
    addSite("site_zagreb", "zagreb");
    addSite("site_split", "split");
    addSite("site_split", "split");

    CDatabasePlugin* zagreb = siteStore("site_zagreb", "zagreb", "zagreb.db");
    CDatabasePlugin* split = siteStore("site_split", "split", "split.db");
    ASSERT_NE(zagreb, nullptr);
    ASSERT_NE(split, nullptr);
    EXPECT_EQ(send(zagreb, "MSGID=a1;N=7"), "0;ROW_ID=1");
    EXPECT_EQ(send(zagreb, "MSGID=a1;N=7"), "0;ROW_ID=1") << "a resent record";
    EXPECT_EQ(send(split, "MSGID=b1;N=7").substr(0, 9), "0;ROW_ID=");
    for (CDatabasePlugin* site : {zagreb, split}) {
        std::string found = send(site, "CMD=LOOKUP;FIELD=N;VALUE=7");
        EXPECT_NE(found.find(";FOUND=1;COUNT=1"), std::string::npos) << found;
    }

    EXPECT_EQ(asRole("site_split", "SELECT string_agg(site, ',') FROM records"), "split");
    EXPECT_EQ(server.value("SELECT count(*) FROM records"), "2") << "the owner sees every row";
    EXPECT_EQ(server.value("SELECT has_table_privilege('site_split', 'record_sites', 'SELECT')"),
              "f");
    // A role storing under another site's name is refused.
    EXPECT_NE(psql("-c \"SET ROLE site_split; INSERT INTO records(time, type, tag, entries,"
                   " entry_order, service, host, site, seq) VALUES (now(), 1, 0, '{}', '{}',"
                   " 'S', 'h', 'zagreb', 1)\""),
              0);
    EXPECT_EQ(server.value("SELECT count(*) FROM records WHERE site = 'zagreb'"), "1");
}

}  // namespace
