// ls, get, put, rm, storage: the token's file system.
#include <cstdio>
#include <fstream>
#include <iterator>

#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "Tools/vexatoken/Commands.h"
#include "Tools/vexatoken/EntryField.h"
#include "Tools/vexatoken/FileTransfer.h"
#include "Tools/vexatoken/Interruption.h"
#include "Tools/vexatoken/ProgressBar.h"
#include "Tools/vexatoken/ToolFailure.h"

namespace vexa::tool {
namespace {

void selectStorage(Connection& c, int storage) {
    c.session.require(c.token, ReplyKind::SelectStorage, [storage](VexaToken& t) { t.selectDeviceStorage(storage); });
}

void selectAskedStorage(Connection& c, const CommandContext& context) {
    if (context.options.storage) selectStorage(c, *context.options.storage);
}

bool isDecimal(const std::string& text) {
    return !text.empty() && text.size() <= 18 && text.find_first_not_of("0123456789") == std::string::npos;
}

// The size of a file as its directory lists it, or nothing (best effort, for the progress bar).
std::optional<uint64_t> listedSize(Connection& c, const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const auto reply = c.session.call(c.token, ReplyKind::ListFiles, [&dir](VexaToken& t) { t.getListFiles(dir); }, kListingCommands);
    if (reply.error || !reply.files) return std::nullopt;
    for (const auto& entry : *reply.files)
        if (entryField(entry, kFSName) == name && isDecimal(entryField(entry, kFSFileSize))) return std::stoull(entryField(entry, kFSFileSize));
    return std::nullopt;
}

}  // namespace

void runList(CommandContext& context) {
    const std::string path = context.options.arguments.empty() ? "/" : context.options.arguments[0];
    Connection c(context);
    selectAskedStorage(c, context);
    const auto reply = c.session.call(c.token, ReplyKind::ListFiles, [&path](VexaToken& t) { t.getListFiles(path); }, kListingCommands);

    Json entries = Json::array();
    for (const auto& entry : reply.files.value_or(std::vector<VexaFileEntry>{})) {
        const std::string size = entryField(entry, kFSFileSize);
        entries.push(Json::object()
                         .set("name", entryField(entry, kFSName))
                         .set("size", isDecimal(size) ? Json(static_cast<int64_t>(std::stoll(size))) : Json(size))
                         .set("date", entryField(entry, kFSDateCreate))
                         .set("attributes", entryField(entry, kFSAttributes)));
        char line[96];
        std::snprintf(line, sizeof line, "%-3s %10s  %-19s  ", entryField(entry, kFSAttributes).c_str(), size.c_str(),
                      entryField(entry, kFSDateCreate).c_str());
        context.say(line + entryField(entry, kFSName));
    }
    context.report.set("path", path).set("entries", std::move(entries));
    if (reply.error) throw libraryFailure(*reply.error);
}

void runGet(CommandContext& context) {
    const std::string& remote = context.options.arguments.at(0);
    const std::string& local = context.options.arguments.at(1);
    Connection c(context);
    selectAskedStorage(c, context);
    const std::optional<uint64_t> total = context.interactive ? listedSize(c, remote) : std::nullopt;

    ProgressBar progress(context.err, context.interactive, "get " + remote, total);
    uint64_t received = 0;
    Bytes data;
    try {
        data = readRemoteFile(c.session, c.token, remote, [&](uint64_t done) { progress.update(received = done); });
    } catch (const ToolFailure& failure) {
        // The local file is written only once the whole file is read: nothing incomplete is left.
        if (!isInterruption(failure)) throw;
        progress.finish();
        throw interruptedFailure("Interrupted after " + std::to_string(received) + " bytes of " + remote +
                                 "; the local file " + local + " was not written.");
    }
    progress.finish();

    std::ofstream file(local, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    file.flush();
    if (!file) throw toolFailure(kExitLocalFile, "Cannot write the local file " + local + ".");
    context.report.set("remote", remote).set("local", local).set("bytes", static_cast<uint64_t>(data.size()));
    context.say("Copied " + std::to_string(data.size()) + " bytes from " + remote + " to " + local + ".");
}

void runPut(CommandContext& context) {
    const std::string& local = context.options.arguments.at(0);
    const std::string& remote = context.options.arguments.at(1);
    // The local file is read before the token is touched.
    std::ifstream file(local, std::ios::binary);
    if (!file) throw toolFailure(kExitLocalFile, "Cannot read the local file " + local + ".");
    const Bytes data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) throw toolFailure(kExitLocalFile, "Cannot read the local file " + local + ".");

    Connection c(context);
    selectAskedStorage(c, context);
    ProgressBar progress(context.err, context.interactive, "put " + remote, data.size());
    uint64_t sent = 0;
    try {
        writeRemoteFile(c.session, c.token, remote, data, [&](uint64_t done) { progress.update(sent = done); });
    } catch (const ToolFailure& failure) {
        if (!isInterruption(failure)) throw;
        progress.finish();
        context.report.set("bytesWritten", sent);
        throw interruptedFailure("Interrupted: " + std::to_string(sent) + " of " + std::to_string(data.size()) + " bytes of " + local +
                                 " reached the token; the remote file " + remote + " is incomplete.");
    }
    progress.finish();
    context.report.set("local", local).set("remote", remote).set("bytes", static_cast<uint64_t>(data.size()));
    context.say("Copied " + std::to_string(data.size()) + " bytes from " + local + " to " + remote + ".");
}

void runRemove(CommandContext& context) {
    const std::string& path = context.options.arguments.at(0);
    Connection c(context);
    selectAskedStorage(c, context);
    c.session.require(c.token, ReplyKind::RemoveFile, [&path](VexaToken& t) { t.removeFile(path); });
    context.report.set("removed", path);
    context.say("Removed " + path + ".");
}

void runStorage(CommandContext& context) {
    const int storage = std::stoi(context.options.arguments.at(0));
    Connection c(context);
    selectStorage(c, storage);
    context.report.set("storage", storage);
    context.say("Storage " + std::to_string(storage) + " selected.");
}

}  // namespace vexa::tool
