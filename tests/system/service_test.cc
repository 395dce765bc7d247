// The daemon as a gateway image ships it: installed, its systemd unit valid,
// and started the way that unit starts it (its user, groups, capabilities and
// environment file), learning hosts as that user.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/system/daemon.h"

namespace systest {
namespace {

using ServiceTest = DaemonLanTest;

TEST_F(ServiceTest, InstalledUnitIsValidAndItsDaemonLearnsAsItsOwnUser) {
  TempDir prefix;
  ASSERT_EQ(chmod(prefix.Path().c_str(), 0755), 0);  // the service user runs what lies inside
  const CmdResult installed = Shell("cmake --install " + Quote(HOSTMON_BIN_DIR) +
                                        " --strip --prefix " + Quote(prefix.Path()) + " 2>&1",
                                    120);
  ASSERT_EQ(installed.iExit, 0) << installed.out;
  const CmdResult verified = Shell("systemd-analyze verify --man=no " +
                                   Quote(prefix / "lib/systemd/system/hostmon.service") + " 2>&1");
  EXPECT_EQ(verified.iExit, 0) << verified.out;

  ASSERT_NO_FATAL_FAILURE(StartDaemon({.unitPrefix = prefix.Path()}));
  ASSERT_NO_FATAL_FAILURE(PingGateway(1));
  EXPECT_TRUE(NeighborsAre(NeighborLine(1)));
  EXPECT_TRUE(SavedHost(lan_->HostMac(1))) << daemon_->Diagnostics();

  EXPECT_EQ(
      ServiceIdentityProblems(daemon_->Pid(), {"CapBnd:\t0000000000003000", "NoNewPrivs:\t1"}), "");
}

}  // namespace
}  // namespace systest
