#include "Tools/vexatoken/trace/SessionDecoder.h"

#include <map>

#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "LumoTokenSDK/LumoToken/LumoTokenErrors.h"
#include "LumoTokenSDK/LumoToken/protocol/BleSocketFormat.h"
#include "LumoTokenSDK/LumoToken/protocol/LumoTokenCommand.h"
#include "Platform/Utf16.h"
#include "VexaTokenKit/VexaCrypto.h"
#include "VexaTokenKit/VexaTokenEncryptContainer.h"

namespace vexa::trace {
namespace {

constexpr size_t kDirectKeyLength = 32;  // as the key store: shorter keys are passwords
constexpr size_t kCipherBlock = 16;

struct Parsed {
    bool ok = false;
    uint8_t code = 0;
    Bytes payload;
    std::string error;
};

Parsed parse(ByteView package) {
    Parsed p;
    LumoTokenCommand::parseCommand(
        package,
        [&](uint8_t code, Bytes payload) {
            p.ok = true;
            p.code = code;
            p.payload = std::move(payload);
        },
        [&](const Error& e) { p.error = e.message; });
    return p;
}

class Decoder {
public:
    Decoder(const TokenCapture& capture, const std::optional<DecodeKey>& key) : capture_(capture), key_(key) {}

    SessionDecode run() {
        const auto& events = capture_.events;
        consumed_.assign(events.size(), false);
        for (size_t i = 0; i < events.size(); ++i) {
            if (consumed_[i]) continue;
            if (events[i].kind == TokenEvent::Kind::Frame) {
                frame(i);
            } else {
                // A plain-text record whose frames were not captured stands on its own.
                const Parsed p = parse(events[i].bytes);
                if (p.ok) emit(events[i], p, "trace");
                else problem(events[i], "plain-text record: " + p.error);
            }
        }
        return std::move(out_);
    }

private:
    struct Link {
        BleSocketFormat joiners[2];
        bool discard[2] = {false, false};
        std::optional<uint8_t> pending;  // code of the command written last, until its reply
        std::string pendingName;
        bool keyResolved = false;
        std::optional<std::string> key;
    };

    void frame(size_t i) {
        const TokenEvent& e = capture_.events[i];
        Link& l = links_[e.link];
        const int d = e.toToken ? 1 : 0;
        if (e.bytes.empty()) return;
        if (l.discard[d]) {
            // After a frame error the rest of that package is skipped, as the library does.
            if (e.bytes[0] != 0) return;
            l.discard[d] = false;
        }
        std::optional<Bytes> package;
        OptError error;
        l.joiners[d].addFrameWithCompletion(e.bytes, [&](const std::optional<Bytes>& p, const OptError& err) {
            package = p;
            error = err;
        });
        if (error) {
            l.discard[d] = true;
            problem(e, "frame error: " + error->message);
        } else if (package) {
            this->package(i, *package);
        }
    }

    void package(size_t i, const Bytes& bytes) {
        const TokenEvent& e = capture_.events[i];
        Link& l = links_[e.link];
        // A trace records the plain text right after the package's last frame.
        const TokenEvent* record = nullptr;
        if (i + 1 < capture_.events.size()) {
            const TokenEvent& next = capture_.events[i + 1];
            if (next.kind == TokenEvent::Kind::Plain && next.link == e.link && next.toToken == e.toToken) {
                record = &next;
                consumed_[i + 1] = true;
            }
        }
        const Parsed plain = parse(bytes);
        // The session-key synchronisation and its reply always travel in plain text.
        if (plain.ok && (plain.code == kCmdSyncSessionKey || (!e.toToken && l.pending == kCmdSyncSessionKey))) {
            return emit(e, plain, "plain");
        }
        const auto key = keyFor(e.link);
        bool keyFailed = false;
        const bool blocks = !bytes.empty() && bytes.size() % kCipherBlock == 0;  // could be ciphertext
        if (key && blocks) {
            if (const auto decrypted = AES256DecryptWithKey(bytes, *key)) {
                if (const Parsed p = parse(*decrypted); p.ok) return emit(e, p, "decrypted");
            }
            keyFailed = !plain.ok;
        }
        if (keyFailed) {
            ++out_.keyFailures;
            problem(e, "a package of " + std::to_string(bytes.size()) + " bytes does not decrypt with the key given");
        }
        if (record) {
            if (const Parsed p = parse(record->bytes); p.ok) return emit(e, p, "trace");
        }
        if (plain.ok) return emit(e, plain, "plain");
        if (keyFailed) return;
        if (!key && blocks) {
            ++out_.undecrypted;
            return problem(e, "an encrypted package of " + std::to_string(bytes.size()) + " bytes (give --key or --password)");
        }
        problem(e, "package of " + std::to_string(bytes.size()) + " bytes: " + plain.error);
    }

    std::optional<std::string> keyFor(uint32_t link) {
        if (!key_) return std::nullopt;
        Link& l = links_[link];
        if (l.keyResolved) return l.key;
        l.keyResolved = true;
        if (!key_->password && utf16Length(key_->text) >= kDirectKeyLength) return l.key = key_->text;
        std::optional<std::string> name = key_->tokenName;
        if (!name) {
            if (const auto it = capture_.names.find(link); it != capture_.names.end()) name = it->second;
        }
        if (!name) {
            out_.missingName = true;
            return std::nullopt;
        }
        return l.key = VexaTokenEncryptContainer::deriveKey(key_->text, *name);
    }

    void emit(const TokenEvent& e, const Parsed& p, const char* source) {
        Link& l = links_[e.link];
        DecodedLine line = base(e);
        line.source = source;
        line.length = p.payload.size();
        if (e.toToken) {
            RequestDescription d = describeRequest(p.code, p.payload);
            line.kind = DecodedLine::Kind::Command;
            line.code = p.code;
            line.command = d.name;
            line.fields = std::move(d.fields);
            if (p.code == kCmdSyncSessionKey) checkHash(e.link, line.fields);
            l.pending = p.code;
            l.pendingName = line.command;
            ++out_.commands;
        } else {
            line.kind = DecodedLine::Kind::Reply;
            line.code = l.pending.value_or(p.code);
            line.command = l.pending ? l.pendingName : commandName(p.code);
            l.pending.reset();
            if (p.payload.empty()) return problem(e, line.command + ": an empty reply (" + lumoTokenError(kLumoTokenErrorInvalidResponse).message + ")");
            ++out_.replies;
            line.status = p.payload[0];
            line.statusText = replyStatusMessage(p.payload[0]);
            if (p.payload[0] == 0) line.fields = describeReply(line.code, ByteView(p.payload).subspan(1));
        }
        out_.lines.push_back(std::move(line));
    }

    // Says whether the key given is the one whose hash the host sent.
    void checkHash(uint32_t link, std::vector<PayloadField>& fields) {
        const auto key = keyFor(link);
        if (!key) return;
        const std::string expected = upperHex(MD5Data(*key));
        for (const auto& field : fields) {
            if (field.name != "hash") continue;
            fields.push_back(PayloadField{"key", PayloadField::Type::Text, 0, field.text == expected ? "matches the hash" : "differs from the hash"});
            return;
        }
    }

    DecodedLine base(const TokenEvent& e) const {
        DecodedLine line;
        line.unixMicros = e.unixMicros;
        line.link = e.link;
        line.toToken = e.toToken;
        return line;
    }

    void problem(const TokenEvent& e, std::string message) {
        DecodedLine line = base(e);
        line.problem = std::move(message);
        out_.lines.push_back(std::move(line));
        ++out_.problems;
    }

    const TokenCapture& capture_;
    const std::optional<DecodeKey>& key_;
    std::vector<bool> consumed_;
    std::map<uint32_t, Link> links_;
    SessionDecode out_;
};

}  // namespace

SessionDecode decodeSession(const TokenCapture& capture, const std::optional<DecodeKey>& key) {
    return Decoder(capture, key).run();
}

}  // namespace vexa::trace
