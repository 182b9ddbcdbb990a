// Choosing the Bluetooth LE stack: "auto" resolves through the probe, explicit choices and
// simulation-only runs never probe, and the hidden BlueZ options are taken out.
#include <gtest/gtest.h>

#include "Tools/vexatoken/BackendChoice.h"

namespace vexa::tool::test {
namespace {

using Args = std::vector<std::string>;

TEST(BackendChoiceTest, AutoAsksTheProbeAndExplicitOrSimulationOnlyRunsDoNot) {
    int probes = 0;
    bool present = false;
    std::optional<std::string> probedBus;
    auto probe = [&](const BackendChoice& c) {
        ++probes;
        probedBus = c.busAddress;
        return present;
    };

    auto c = chooseBackend({"scan"}, probe);
    EXPECT_EQ(c.backend, "sim");
    EXPECT_EQ(c.args, (Args{"--backend", "sim", "scan"}));
    present = true;
    c = chooseBackend({"--backend", "auto", "info", "--bus-address", "unix:path=/tmp/x", "--token", "demo"}, probe);
    EXPECT_EQ(c.backend, "bluez");
    EXPECT_EQ(c.args, (Args{"--backend", "bluez", "info", "--token", "demo"}));  // a value "demo" is not the demo
    EXPECT_EQ(probedBus, "unix:path=/tmp/x");
    EXPECT_EQ(c.busAddress, "unix:path=/tmp/x");
    c = chooseBackend({"--backend=auto", "--adapter=hci1", "ls", "/"}, probe);
    EXPECT_EQ(c.backend, "bluez");
    EXPECT_EQ(c.adapter, "hci1");
    EXPECT_EQ(c.args, (Args{"--backend", "bluez", "ls", "/"}));
    EXPECT_EQ(probes, 3);

    // No probe: explicit backends (the last one wins), the demo, simulation options, help.
    for (const Args& args : {Args{"--backend", "sim", "scan"}, Args{"--backend", "bluez", "--backend=sim", "scan"}, Args{"--key", "1", "demo"},
                             Args{"--sim-state", "s.json", "info"}, Args{"--help"}, Args{}}) {
        c = chooseBackend(args, probe);
        EXPECT_EQ(c.backend, "sim") << args.size();
    }
    c = chooseBackend({"scan", "--backend", "bluez"}, probe);
    EXPECT_EQ(c.backend, "bluez");
    EXPECT_EQ(c.args, (Args{"--backend", "bluez", "scan"}));
    EXPECT_EQ(probes, 3);
    // Without a probe (a build without BlueZ) auto is the virtual token.
    EXPECT_EQ(chooseBackend({"info"}, {}).backend, "sim");
}

}  // namespace
}  // namespace vexa::tool::test
