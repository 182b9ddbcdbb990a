// env get|set|rm and paired list|rm: the token's environment variables and paired hosts.
#include <cstdio>

#include "Tools/vexatoken/Commands.h"
#include "Tools/vexatoken/EntryField.h"
#include "Tools/vexatoken/ToolFailure.h"

namespace vexa::tool {

void runEnv(CommandContext& context) {
    const auto& args = context.options.arguments;
    const std::string& name = args.at(0);
    Connection c(context);
    if (context.options.action == "get") {
        const auto reply = c.session.require(c.token, ReplyKind::ReadVariable, [&name](VexaToken& t) { t.readEnvironmentVariable(name); });
        const std::string value = reply.text.value_or("");
        context.report.set("name", reply.name.value_or(name)).set("value", value);
        context.say(value);
    } else if (context.options.action == "set") {
        const std::string& value = args.at(1);
        c.session.require(c.token, ReplyKind::WriteVariable, [&](VexaToken& t) { t.writeEnvironmentVariable(name, value); });
        context.report.set("name", name).set("value", value);
        context.say("Set " + name + ".");
    } else {
        c.session.require(c.token, ReplyKind::RemoveVariable, [&name](VexaToken& t) { t.removeEnvironmentVariable(name); });
        context.report.set("removed", name);
        context.say("Removed " + name + ".");
    }
}

void runPaired(CommandContext& context) {
    Connection c(context);
    if (context.options.action == "list") {
        const auto reply = c.session.require(c.token, ReplyKind::PairedDevices, [](VexaToken& t) { t.getPairedDevices(); }, kListingCommands);
        Json hosts = Json::array();
        if (reply.devices.empty()) context.say("No paired hosts.");
        for (const auto& device : reply.devices) {
            hosts.push(Json::object()
                           .set("variable", entryField(device, kDeviceVariable))
                           .set("address", entryField(device, kPairedBDAddr))
                           .set("name", entryField(device, kPairedName)));
            char line[64];
            std::snprintf(line, sizeof line, "%-10s %-18s ", entryField(device, kDeviceVariable).c_str(), entryField(device, kPairedBDAddr).c_str());
            context.say(line + entryField(device, kPairedName));
        }
        context.report.set("paired", std::move(hosts));
    } else {
        const std::string& variable = context.options.arguments.at(0);
        c.session.require(c.token, ReplyKind::RemovePairedDevice, [&variable](VexaToken& t) { t.removePairedDevice(variable); });
        context.report.set("removed", variable);
        context.say("Removed paired host " + variable + ".");
    }
}

}  // namespace vexa::tool
