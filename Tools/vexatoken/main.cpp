// The vexatoken tool.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "Tools/vexatoken/BackendChoice.h"
#include "Tools/vexatoken/ToolFailure.h"
#include "Tools/vexatoken/Vexatoken.h"

#ifdef VEXA_HAVE_BLUEZ
#include "Backends/BlueZ/BlueZBackend.h"
#include "Tools/vexatoken/BlueZProbe.h"
#include "Tools/vexatoken/emulate/EmulateRunner.h"

namespace {

using vexa::tool::BlueZProbe;

// Says why BlueZ cannot be used, as a failure of the run: Bluetooth is not available.
void requireBlueZ(const BlueZProbe& probe) {
    const std::string detail = probe.detail.empty() ? "" : " (" + probe.detail + ")";
    auto fail = [](const std::string& message) { return vexa::tool::toolFailure(vexa::tool::kExitNotFound, message); };
    switch (probe.status) {
    case BlueZProbe::Ready:
        return;
    case BlueZProbe::NoBus:
        throw fail("Bluetooth is not available: cannot reach the D-Bus system bus" + detail + ".");
    case BlueZProbe::NoService:
        throw fail("Bluetooth is not available: BlueZ (bluetoothd) is not running on the system bus" + detail + ".");
    case BlueZProbe::NotPermitted:
        throw fail("Bluetooth is not available: not permitted to talk to BlueZ" + detail +
                   ". Run as a user that the D-Bus policy of org.bluez allows (e.g. in the bluetooth group).");
    case BlueZProbe::NoAdapter:
        throw fail("Bluetooth is not available: BlueZ has no such Bluetooth adapter.");
    }
}

}  // namespace
#endif

int main(int argc, char** argv) {
    vexa::tool::ToolContext context;
    context.interactive = isatty(STDERR_FILENO) != 0;
    std::vector<std::string> args(argv + 1, argv + argc);
#ifdef VEXA_HAVE_BLUEZ
    // "auto" (the default) means BlueZ when it has an adapter, the virtual token otherwise.
    const auto choice = vexa::tool::chooseBackend(std::move(args), [](const vexa::tool::BackendChoice& c) {
        return vexa::tool::probeBlueZ(c.busAddress.value_or(""), c.adapter.value_or("")).status == BlueZProbe::Ready;
    });
    context.backends["bluez"] = [&choice] {
        const std::string bus = choice.busAddress.value_or("");
        vexa::BlueZOptions options;
        options.adapter = choice.adapter.value_or("");
        requireBlueZ(vexa::tool::probeBlueZ(bus, options.adapter));
        // Powered off or blocked is the central's to say once it is asked to scan.
        if (!bus.empty()) return std::shared_ptr<vexa::BleBackend>(vexa::BlueZBackend::createWithBusAddress(bus, options));
        return std::shared_ptr<vexa::BleBackend>(vexa::BlueZBackend::create(options));
    };
    context.emulate = [&choice](const vexa::tool::ToolOptions& options, const std::optional<std::string>& key, std::ostream& out,
                                std::ostream& err) {
        const vexa::tool::EmulateBus bus{choice.busAddress.value_or(""), choice.adapter.value_or("")};
        const BlueZProbe probe = vexa::tool::probeBlueZ(bus.address, bus.adapter);
        requireBlueZ(probe);
        if (!probe.peripheral)
            throw vexa::tool::toolFailure(vexa::tool::kExitNotFound,
                                          "Bluetooth is not available: the adapter cannot advertise (BlueZ offers no LE advertising on it).");
        return vexa::tool::serveEmulatedToken(options, key, bus, out, err);
    };
#else
    const auto choice = vexa::tool::chooseBackend(std::move(args), {});
#endif
    return vexa::tool::runVexatoken(choice.args, std::cout, std::cerr, context);
}
