#include "Tools/vexatoken/SimState.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "Emulator/VirtualTokenDevice.h"
#include "Platform/HostDevice.h"
#include "Tools/vexatoken/HexText.h"
#include "Tools/vexatoken/ToolFailure.h"

namespace vexa::tool {
namespace {

constexpr char kHeader[] = "vexatoken-sim-state 1";

std::string encode(ByteView bytes) { return bytes.empty() ? std::string("-") : formatHex(bytes, ""); }
std::string encode(const std::string& text) { return encode(bytesOf(text)); }

std::optional<Bytes> decode(const std::string& field) {
    if (field == "-") return Bytes{};
    return parseHex(field);
}

int64_t hostNow() { return static_cast<int64_t>(currentUnixTime()); }

void saveTree(VirtualTokenFileSystem& fs, const std::string& dir, std::ostream& out) {
    for (const auto& entry : fs.list(dir).value_or(std::vector<VirtualTokenFileSystem::Entry>{})) {
        const std::string path = dir == "/" ? "/" + entry.name : dir + "/" + entry.name;
        if (entry.isDirectory) {
            out << "dir " << entry.createdAt << ' ' << encode(path) << '\n';
            saveTree(fs, path, out);
        } else {
            out << "file " << entry.createdAt << ' ' << encode(path) << ' ' << encode(fs.readFile(path).value_or(Bytes{})) << '\n';
        }
    }
}

[[noreturn]] void damaged(const std::string& path, size_t line, const std::string& why) {
    throw toolFailure(kExitLocalFile, "The simulation state file " + path + " is damaged (line " + std::to_string(line) + ": " + why + ").");
}

}  // namespace

void saveSimState(VirtualTokenDevice& device, const std::string& path) {
    std::ostringstream text;
    text << kHeader << '\n';
    text << "clock-offset " << device.clock().now() - hostNow() << '\n';
    for (size_t index = 0; index < device.storageCount(); ++index) {
        text << "storage " << index << '\n';
        saveTree(device.storage(index), "/", text);
    }
    for (const auto& [name, value] : device.variables().all()) text << "var " << encode(name) << ' ' << encode(value) << '\n';

    // Written beside the target and renamed over it, so a failed write never leaves half a state.
    const std::string temporary = path + ".tmp";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << text.str();
        file.flush();
        if (!file) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            throw toolFailure(kExitLocalFile, "Cannot write the simulation state file " + path + ".");
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::filesystem::remove(temporary, error);
        throw toolFailure(kExitLocalFile, "Cannot write the simulation state file " + path + ".");
    }
}

bool loadSimState(VirtualTokenDevice& device, const std::string& path) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return false;
    std::ifstream file(path, std::ios::binary);
    if (!file) throw toolFailure(kExitLocalFile, "Cannot read the simulation state file " + path + ".");

    std::string line;
    size_t number = 1;
    if (!std::getline(file, line) || line != kHeader) damaged(path, number, "not a simulation state");

    // Everything is checked before anything is applied: a damaged file changes nothing.
    struct Node {
        size_t storage;
        bool directory;
        int64_t created;
        std::string path;
        Bytes contents;
    };
    std::vector<Node> nodes;
    std::vector<std::pair<std::string, std::string>> variables;
    std::optional<int64_t> clockOffset;
    std::optional<size_t> storage;

    while (std::getline(file, line)) {
        ++number;
        if (line.empty()) continue;
        std::istringstream fields(line);
        std::string kind;
        fields >> kind;
        if (kind == "clock-offset") {
            int64_t offset = 0;
            if (!(fields >> offset)) damaged(path, number, "bad clock offset");
            clockOffset = offset;
        } else if (kind == "storage") {
            size_t index = 0;
            if (!(fields >> index) || index >= device.storageCount()) damaged(path, number, "no such storage");
            storage = index;
        } else if (kind == "dir" || kind == "file") {
            int64_t created = 0;
            std::string name, contents = "-";
            if (!storage || !(fields >> created >> name) || (kind == "file" && !(fields >> contents)))
                damaged(path, number, "bad " + kind + " record");
            const auto nameBytes = decode(name);
            const auto data = decode(contents);
            if (!nameBytes || nameBytes->empty() || !data) damaged(path, number, "bad hex");
            nodes.push_back(Node{*storage, kind == "dir", created, std::string(nameBytes->begin(), nameBytes->end()), *data});
        } else if (kind == "var") {
            std::string name, value;
            if (!(fields >> name >> value)) damaged(path, number, "bad variable record");
            const auto nameBytes = decode(name);
            const auto valueBytes = decode(value);
            if (!nameBytes || !valueBytes) damaged(path, number, "bad hex");
            variables.emplace_back(std::string(nameBytes->begin(), nameBytes->end()), std::string(valueBytes->begin(), valueBytes->end()));
        } else {
            damaged(path, number, "unknown record \"" + kind + "\"");
        }
    }

    if (clockOffset) device.clock().set(hostNow() + *clockOffset);
    for (const Node& node : nodes) {
        VirtualTokenFileSystem& fs = device.storage(node.storage);
        const bool stored = node.directory ? fs.makeDirectory(node.path, node.created) : fs.writeFile(node.path, node.contents, node.created);
        if (!stored) throw toolFailure(kExitLocalFile, "The simulation state file " + path + " does not fit the virtual token (" + node.path + ").");
    }
    device.variables().clear();
    for (const auto& [name, value] : variables)
        if (!device.variables().write(name, value))
            throw toolFailure(kExitLocalFile, "The simulation state file " + path + " does not fit the virtual token (variable " + name + ").");
    return true;
}

}  // namespace vexa::tool
