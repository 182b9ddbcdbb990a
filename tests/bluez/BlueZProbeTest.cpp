// The tool's look for BlueZ before it picks a backend, against the fake org.bluez.
#include <gtest/gtest.h>

#include "Tools/vexatoken/BlueZProbe.h"
#include "tests/fakebluez/FakeBluez.h"
#include "tests/fakebluez/PrivateBus.h"

namespace vexa::test {
namespace {

using tool::BlueZProbe;
using tool::probeBlueZ;

TEST(BlueZProbeTest, ReadyOnlyWithTheServiceAndTheAdapter) {
    PrivateBus bus;
    ASSERT_FALSE(bus.address().empty()) << bus.error();
    EXPECT_EQ(probeBlueZ(bus.address()).status, BlueZProbe::NoService);  // bus up, no bluetoothd

    FakeBluez fake(bus.address());
    ASSERT_TRUE(fake.start());
    EXPECT_EQ(probeBlueZ(bus.address()).status, BlueZProbe::Ready);
    EXPECT_EQ(probeBlueZ(bus.address(), "hci0").status, BlueZProbe::Ready);
    EXPECT_EQ(probeBlueZ(bus.address(), "/org/bluez/hci0").status, BlueZProbe::Ready);
    EXPECT_EQ(probeBlueZ(bus.address(), "hci1").status, BlueZProbe::NoAdapter);
    EXPECT_EQ(probeBlueZ(bus.address(), "ci0").status, BlueZProbe::NoAdapter);

    fake.setPowered(false);  // off is still an adapter: the central reports it when asked to scan
    EXPECT_EQ(probeBlueZ(bus.address()).status, BlueZProbe::Ready);
    fake.removeAdapter();
    EXPECT_EQ(probeBlueZ(bus.address()).status, BlueZProbe::NoAdapter);
    fake.stop();
    EXPECT_EQ(probeBlueZ(bus.address()).status, BlueZProbe::NoService);

    // emulate needs an adapter that serves GATT applications and advertises.
    ASSERT_TRUE(fake.start());
    EXPECT_FALSE(probeBlueZ(bus.address(), "hci0").peripheral);
    fake.enablePeripheralRole();
    EXPECT_TRUE(probeBlueZ(bus.address(), "hci1").peripheral);

    const BlueZProbe gone = probeBlueZ("unix:path=/nonexistent/vexatoken-test-bus");
    EXPECT_EQ(gone.status, BlueZProbe::NoBus);
    EXPECT_FALSE(gone.detail.empty());
}

}  // namespace
}  // namespace vexa::test
