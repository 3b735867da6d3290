// The check verb against the sandbox of the systemd unit `install` wrote.
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

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

TEST_F(ConfigCheckLinux, APackagesUnitIsReadWithItsDropInsItsUserAndWhatItsSandboxHides) {
    const std::string etc = dir.file("etc"), vendor = dir.file("lib");
    fs::create_directories(etc);
    fs::create_directories(vendor);
    setenv("OSTRA_SYSTEMD_UNIT_DIR", etc.c_str(), 1);
    setenv("OSTRA_SYSTEMD_VENDOR_UNIT_DIR", vendor.c_str(), 1);
    // As the Debian package's unit: its own user, a state folder, a private /tmp.
    testing_support::writeFile(vendor + "/OstraService.service",
                               "[Service]\nUser=nobody\nProtectSystem=strict\nPrivateTmp=yes\n"
                               "StateDirectory=ostra-check-state\n");
    const std::string data = "/var/lib/ostra-check-test-" + std::to_string(getpid());
    fs::create_directories(data);
    fs::permissions(data, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    writeConfig("logs = ( { type = \"FILE\"; path = " + configString(dir.file("logs")) +
                "; } ); control = { dll = \"testcontrol.so\"; }; protocols = ( { name = \"P\"; "
                "type = \"PBX\"; dll = \"tcpline.so\"; databases = ( { dll = \"sqlite.so\"; "
                "path = " +
                configString(data + "/records.db") +
                "; }, { dll = \"sqlite.so\"; "
                "path = \"/var/lib/ostra-check-state/records.db\"; } ); } );");
    fs::create_directories(dir.file("logs"));
    const std::string unit = " in its unit " + vendor + "/OstraService.service";

    Result readOnly = run({"check"});
    EXPECT_NE(readOnly.output.find("(sqlite's file): the folder " + data +
                                   " is read-only to the service under its unit " + vendor +
                                   "/OstraService.service (ProtectSystem=strict)"),
              std::string::npos)
        << readOnly.output;
    EXPECT_NE(readOnly.output.find("the folder " + dir.file("logs") +
                                   " is in the service's own /tmp (PrivateTmp=yes" + unit + ")"),
              std::string::npos)
        << readOnly.output;
    EXPECT_EQ(readOnly.output.find("ostra-check-state"), std::string::npos)
        << "systemd makes the state folder the service's own";

    // An operator's drop-in grants the folder; it is still root's.
    fs::create_directories(etc + "/OstraService.service.d");
    testing_support::writeFile(etc + "/OstraService.service.d/data.conf",
                               "[Service]\nReadWritePaths=" + data + "\n");
    Result notTheUsers = run({"check"});
    EXPECT_NE(notTheUsers.output.find("the folder " + data +
                                      " cannot be written by the service's user nobody (User=" +
                                      unit + "): give it to that user (chown nobody " + data + ")"),
              std::string::npos)
        << notTheUsers.output;
    EXPECT_EQ(chown(data.c_str(), getpwnam("nobody")->pw_uid, static_cast<gid_t>(-1)), 0);
    Result granted = run({"check"});
    EXPECT_EQ(granted.output.find(data), std::string::npos) << granted.output;
    fs::remove_all(data);
    unsetenv("OSTRA_SYSTEMD_VENDOR_UNIT_DIR");
}
