#pragma once
// What the application hears from one token: one method per operation. Every method does nothing
// unless overridden, so a delegate implements only the results it wants. All calls come on the
// main queue; the token holds its delegate weakly.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Bytes.h"
#include "Platform/Error.h"

namespace vexa {

class VexaToken;

/// A directory entry: text values under "FSName", "FSFileSize", "FSDateCreate", "FSAttributes"
/// (the key constants kFSName... stand in LumoToken.h).
using VexaFileEntry = std::map<std::string, std::string>;

/// A paired host: text values under the three keys below.
using VexaPairedDevice = std::map<std::string, std::string>;
/// The variable that holds the record, e.g. "device0"; what removePairedDevice takes.
inline constexpr char kDeviceVariable[] = "DeviceVariable";
/// The host's address as "AA:BB:CC:DD:EE:FF".
inline constexpr char kPairedBDAddr[] = "PairedBDAddr";
/// The host's name.
inline constexpr char kPairedName[] = "PairedName";

class VexaTokenDelegate {
public:
    using Token = std::shared_ptr<VexaToken>;
    virtual ~VexaTokenDelegate() = default;

    virtual void didInitializeToken(const Token& token, const OptError& error) { (void)token, (void)error; }
    /// The serial number as a number; 0 with an error.
    virtual void tokenDidGetSerial(const Token& token, int32_t serial, const OptError& error) { (void)token, (void)serial, (void)error; }
    /// The level byte / 100.0; 0 with an error.
    virtual void tokenDidGetBatteryLevel(const Token& token, double level, const OptError& error) { (void)token, (void)level, (void)error; }
    virtual void tokenDidGetFirmwareVersion(const Token& token, const std::optional<std::string>& version, const OptError& error) {
        (void)token, (void)version, (void)error;
    }
    virtual void tokenDidGetHardwareVersion(const Token& token, const std::optional<std::string>& version, const OptError& error) {
        (void)token, (void)version, (void)error;
    }
    /// Answers both powerOff and powerSecureElementOff.
    virtual void didPowerOffToken(const Token& token, const OptError& error) { (void)token, (void)error; }
    virtual void tokenDidPowerSecureElementOnWithAtr(const Token& token, const std::optional<Bytes>& atr, const OptError& error) {
        (void)token, (void)atr, (void)error;
    }
    virtual void tokenDidSetCommunicationProtocol(const Token& token, bool success, const OptError& error) {
        (void)token, (void)success, (void)error;
    }
    virtual void tokenDidGetResponseAPDU(const Token& token, const std::optional<Bytes>& response, const OptError& error) {
        (void)token, (void)response, (void)error;
    }
    virtual void tokenDidOpenFile(const Token& token, uint8_t handle, const OptError& error) { (void)token, (void)handle, (void)error; }
    virtual void tokenDidCloseFile(const Token& token, uint8_t handle, const OptError& error) { (void)token, (void)handle, (void)error; }
    virtual void tokenDidWriteFile(const Token& token, uint8_t handle, const OptError& error) { (void)token, (void)handle, (void)error; }
    virtual void tokenDidReadFile(const Token& token, uint8_t handle, const std::optional<Bytes>& data, const OptError& error) {
        (void)token, (void)handle, (void)data, (void)error;
    }
    virtual void tokenDidRemoveFile(const Token& token, const OptError& error) { (void)token, (void)error; }
    /// The entries in the token's order; no list when the directory could not be opened.
    virtual void tokenDidListFiles(const Token& token, const std::optional<std::vector<VexaFileEntry>>& files, const OptError& error) {
        (void)token, (void)files, (void)error;
    }
    virtual void tokenDidSelectDeviceStorage(const Token& token, const OptError& error) { (void)token, (void)error; }
    virtual void tokenDidReadEnvironmentVariable(const Token& token, const std::optional<std::string>& name,
                                                 const std::optional<std::string>& value, const OptError& error) {
        (void)token, (void)name, (void)value, (void)error;
    }
    virtual void tokenDidWriteEnvironmentVariable(const Token& token, const OptError& error) { (void)token, (void)error; }
    virtual void tokenDidRemoveEnvironmentVariable(const Token& token, const OptError& error) { (void)token, (void)error; }
    /// The paired hosts in index order; an error only when reading them failed other than by the
    /// token's refusal that ends the list (then with the hosts read before it).
    virtual void tokenDidPairedDevices(const Token& token, const std::vector<VexaPairedDevice>& devices, const OptError& error) {
        (void)token, (void)devices, (void)error;
    }
    virtual void tokenDidRemovePairedDevice(const Token& token, const OptError& error) { (void)token, (void)error; }
};

}  // namespace vexa
