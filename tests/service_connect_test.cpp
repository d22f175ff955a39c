// "PipeConnectTryCount": read on the 1st, 17th, 33rd ... connection of a
// process and kept in between; never read again once reading it failed.
// The count is process-wide, so this binary holds this one test only.
#include <gtest/gtest.h>

#include "platform/win_error.h"
#include "service/tarvo_srv_client.h"
#include "tests/common/test_installation.h"

namespace {

using testenv::TestInstallation;

// One connection of the process: true when it was made. A count below 1
// refuses to connect even to a listening service.
bool connects() {
  try {
    TarvoSrvClient client;
    return true;
  } catch (const vosexception& e) {
    EXPECT_EQ(e.errorCode(), platform::winerr::PipeBusy);
    return false;
  }
}

TEST(ServiceConnect, AttemptCountIsReadEverySixteenthConnection) {
  TestInstallation inst;
  int connection = 0;
  auto expectRun = [&](int last, bool made) {
    for (++connection; connection <= last; ++connection) EXPECT_EQ(connects(), made) << "connection " << connection;
    --connection;
  };

  expectRun(1, true);  // read: absent, 10 attempts
  inst.setRegistryDword("PipeConnectTryCount", 0xFFFFFFFFu);
  expectRun(16, true);   // still the count read at the 1st
  expectRun(17, false);  // read: -1, below one attempt
  inst.setRegistryDword("PipeConnectTryCount", 0);
  expectRun(32, false);  // the -1 stays in use
  expectRun(33, true);   // read: 0 means the given count
  inst.setRegistryString("PipeConnectTryCount", "three");
  expectRun(48, true);
  expectRun(49, true);  // reading fails: the last value stays, no more readings
  inst.setRegistryDword("PipeConnectTryCount", 0xFFFFFFFFu);
  expectRun(70, true);  // the 65th would have read it
}

} // namespace
