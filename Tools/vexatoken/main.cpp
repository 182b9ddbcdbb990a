// The vexatoken command-line tool.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "Tools/vexatoken/Vexatoken.h"

#ifdef VEXA_HAVE_BLUEZ
#include "Backends/BlueZ/BlueZBackend.h"
#endif

int main(int argc, char** argv) {
    vexa::tool::ToolContext context;
    context.interactive = isatty(STDERR_FILENO) != 0;
#ifdef VEXA_HAVE_BLUEZ
    context.backends["bluez"] = [] { return std::shared_ptr<vexa::BleBackend>(vexa::BlueZBackend::create()); };
#endif
    const std::vector<std::string> args(argv + 1, argv + argc);
    return vexa::tool::runVexatoken(args, std::cout, std::cerr, context);
}
