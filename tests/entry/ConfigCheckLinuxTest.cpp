// The check verb against the sandbox of the systemd unit `install` wrote.
#include <sys/resource.h>

#include <cstdlib>

#include "ExecutableFixture.h"

namespace fs = std::filesystem;

class ConfigCheckLinux : public ExecutableFixture {
protected:
    ~ConfigCheckLinux() override { unsetenv("OSTRA_SYSTEMD_UNIT_DIR"); }
};

TEST_F(ConfigCheckLinux,
       AFolderOutsideTheInstalledUnitsWritablePathsIsAProblemUntilADropInGrantsIt) {
    const std::string units = dir.file("units");
    fs::create_directory(units);
    setenv("OSTRA_SYSTEMD_UNIT_DIR", units.c_str(), 1);
    // Both outside the executable's folder: the log's is granted by install, the data's is not.
    testing_support::ScratchDir logs, data;
    writeConfig("logs = ( { type = \"FILE\"; path = " + configString(logs.path().string()) +
                "; } ); control = { dll = \"webcontrol.so\"; }; protocols = ( { name = \"P\"; "
                "type = \"PBX\"; dll = \"tcpline.so\"; databases = ( { dll = \"sqlite.so\"; "
                "path = " +
                configString(data.file("records.db")) + "; } ); } );");
    ASSERT_EQ(run({"install"}).exitCode, 0);

    Result refused = run({"check"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.output,
              configPath() + ":1: database 1 of protocol \"P\" (sqlite's file): the folder " +
                  data.path().string() + " is read-only to the service under its unit " + units +
                  "/OstraService.service (ProtectSystem=strict): grant it with ReadWritePaths= "
                  "in a drop-in (systemctl edit OstraService)\n1 problem found in " +
                  configPath() + "\n");

    fs::create_directory(units + "/OstraService.service.d");
    testing_support::writeFile(units + "/OstraService.service.d/data.conf",
                               "[Service]\nReadWritePaths=" + data.path().string() + "\n");
    Result granted = run({"check"});
    EXPECT_EQ(granted.exitCode, 0) << granted.output;
}

TEST_F(ConfigCheckLinux, MoreConnectionsThanTheDescriptorLimitAllowsAreAProblem) {
    // As the service's unit would set it (LimitNOFILE=512); root may raise it back.
    rlimit original{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
    rlimit tight{512, 512};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    writeConfig(
        "control = { dll = \"testcontrol.so\"; }; protocols = ( { name = \"P\"; "
        "type = \"PBX\"; dll = \"tcpline.so\"; maxclients = 1000; databases = ( ); } );");
    Result tooMany = run({"check"});
    writeConfig(
        "control = { dll = \"testcontrol.so\"; }; protocols = ( { name = \"P\"; "
        "type = \"PBX\"; dll = \"tcpline.so\"; maxclients = 448; databases = ( ); } );");
    Result fitting = run({"check"});
    setrlimit(RLIMIT_NOFILE, &original);

    EXPECT_EQ(tooMany.exitCode, 1);
    EXPECT_NE(tooMany.output.find(
                  ":1: protocol \"P\" allows 1000 connections, but the process may open 512 files "
                  "and sockets: at most 448 fit (raise LimitNOFILE= in the service's unit)"),
              std::string::npos)
        << tooMany.output;
    EXPECT_EQ(fitting.exitCode, 0) << fitting.output;
}
