// The check verb against the sandbox of the systemd unit `install` wrote.
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
