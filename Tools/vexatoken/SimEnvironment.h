#pragma once
// The simulated environment: an in-process Bluetooth LE radio on a virtual clock with one virtual
// token in range (more for the demo). Time only passes while the tool waits, and jumps ahead when
// nothing is due, so bounded waits end at once in real time.
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Emulator/VirtualToken.h"
#include "Tools/vexatoken/ToolEnvironment.h"

namespace vexa::tool {

/// Name and identifier of the tool's virtual token.
inline constexpr char kSimTokenName[] = "VexaToken Sim";
inline constexpr char kSimTokenIdentifier[] = "7E1D3C2A-0F4B-4A8E-9D21-6C5B4A3F2E10";

struct SimSettings {
    /// The password or key the virtual token holds; absent: it has none and talks in plain text.
    std::optional<std::string> tokenKey;
    /// File to load the token's state from and save it to; absent: a fresh token every run.
    std::optional<std::string> statePath;
    /// Where to print the frames crossing the link; null: nowhere.
    std::ostream* traffic = nullptr;
};

class SimEnvironment final : public ToolEnvironment {
public:
    /// Loads the state file when it exists (throws ToolFailure for a damaged one).
    explicit SimEnvironment(SimSettings settings);
    ~SimEnvironment() override;

    /// The configuration of the tool's virtual token: name, identifier, a numeric serial number.
    static VirtualTokenConfig defaultConfig();
    /// Puts another virtual token in range; `password` is turned into its key as a host would.
    std::shared_ptr<VirtualToken> addToken(VirtualTokenConfig config, const std::optional<std::string>& password);

    const std::shared_ptr<SimulatedRadio>& radio() const { return radio_; }
    /// The first token, made by the constructor.
    const std::shared_ptr<VirtualToken>& token() const { return tokens_.front(); }

    /// Saves the first token's state to the state file, if there is one.
    void finish() override;

private:
    SimSettings settings_;
    std::shared_ptr<SimulatedRadio> radio_;
    std::vector<std::shared_ptr<VirtualToken>> tokens_;
};

}  // namespace vexa::tool
