#pragma once
// The application's handle on one token. Every operation hands one command (or, for the
// listings, a series of commands) to the token's protocol session and returns at once; the result
// reaches the delegate as one call on the main queue. Errors of the information, power and APDU
// operations are mapped into "VexaTokenError"; the others reach the delegate as the session made
// them. An operation on a token that is not connected is dropped: its delegate method is not
// called. Tokens are made by the manager's scan (or create(...)) and used on the main queue.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Bytes.h"
#include "Platform/Clock.h"
#include "VexaTokenKit/VexaTokenDelegate.h"

namespace vexa {

class LumoFrameObserver;
class LumoPeripheral;
class LumoToken;
class LumoTokenDelegate;
class PlatformPeripheral;

class VexaToken : public std::enable_shared_from_this<VexaToken> {
    struct Passkey {
        explicit Passkey() = default;
    };

public:
    /// A token on the peripheral wrapper, with a new session on it; name and identifier are taken
    /// from the session ("Unknown" without a name).
    static std::shared_ptr<VexaToken> create(std::shared_ptr<LumoPeripheral> peripheral);
    VexaToken(Passkey, std::shared_ptr<LumoPeripheral> peripheral);
    ~VexaToken();
    VexaToken(const VexaToken&) = delete;
    VexaToken& operator=(const VexaToken&) = delete;

    /// Names a running file transfer, for cancel(); 0 names none.
    using Operation = uint64_t;

    // ---- identity and state ----------------------------------------------------------------
    /// The token's protocol session.
    const std::shared_ptr<LumoToken>& pimpl() const { return pimpl_; }
    /// The platform peripheral: the manager matches sessions to tokens by this object.
    const std::shared_ptr<PlatformPeripheral>& peripheral() const { return peripheral_; }
    /// Advertised name at creation, or "Unknown"; also the salt of keys derived from passwords.
    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }
    /// The peripheral's identifier text at creation; the key store's key.
    const std::string& identifier() const { return identifier_; }
    void setIdentifier(std::string identifier) { identifier_ = std::move(identifier); }
    std::shared_ptr<VexaTokenDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<VexaTokenDelegate> delegate) { delegate_ = std::move(delegate); }
    /// The session has a peripheral that reports itself connected.
    bool isConnected() const;
    /// The key-synchronisation mode chosen at the last connection; 0 before any.
    int isCurrentSyncModeSK() const;
    /// How long each command waits for its reply (default 30 s; zero: no limit). On expiry the
    /// command fails and the link is dropped.
    void setReplyTimeout(Duration timeout);
    Duration replyTimeout() const;
    /// This token's sessions report every frame and package to `observer` (traces; off when
    /// null, the default). Takes effect at once and wins over the manager's observer.
    void setFrameObserver(std::shared_ptr<LumoFrameObserver> observer);
    const std::shared_ptr<LumoFrameObserver>& frameObserver() const { return frameObserver_; }

    /// Makes `delegate` the session's delegate and starts the connection set-up. Applications
    /// connect through VexaTokenManager::connectToToken.
    void discoverWithDelegate(std::shared_ptr<LumoTokenDelegate> delegate);

    // ---- information, power, APDU (errors mapped into "VexaTokenError") --------------------
    /// Sets the token's clock to the host's time -> didInitializeToken (default -2005).
    void initialize();
    /// -> tokenDidGetSerial (default -2016).
    void getSerial();
    /// -> tokenDidGetBatteryLevel (default -2017).
    void getBatteryLevel();
    /// -> tokenDidGetFirmwareVersion (default -2018).
    void getFirmwareVersion();
    /// -> tokenDidGetHardwareVersion (default -2019).
    void getHardwareVersion();
    /// -> didPowerOffToken (default -2005). The token switches itself off.
    void powerOff();
    /// -> tokenDidPowerSecureElementOnWithAtr (default -2015).
    void powerSecureElementOn();
    /// -> didPowerOffToken (default -2020).
    void powerSecureElementOff();
    /// -> tokenDidSetCommunicationProtocol (default -2022).
    void setCommunicationProtocol(uint8_t protocol);
    /// -> tokenDidGetResponseAPDU (default -2013).
    void transmitAPDU(const Bytes& apdu);

    // ---- files and storage (errors unchanged) ----------------------------------------------
    /// -> tokenDidOpenFile with the token's handle (0 on error). The low 8 bits of `mode` are sent.
    void openFile(const std::string& path, int mode);
    /// -> tokenDidCloseFile with `handle`.
    void closeFile(uint8_t handle);
    /// Writes in pieces of 2048 bytes -> tokenDidWriteFile with `handle`, once. Returns the
    /// operation for cancel() (0 when the token is not connected).
    Operation writeFile(uint8_t handle, ByteView data);
    /// -> tokenDidReadFile with `handle` and the bytes read. Returns the operation for cancel().
    Operation readFile(uint8_t handle, uint16_t countByRead);
    /// -> tokenDidRemoveFile.
    void removeFile(const std::string& path);
    /// Opens the directory and reads its entries one command at a time -> tokenDidListFiles with
    /// every entry (no list if the directory could not be opened; the entries so far and the
    /// error if a read failed).
    void getListFiles(const std::string& path);
    /// -> tokenDidSelectDeviceStorage. The low 8 bits of `storage` are sent.
    void selectDeviceStorage(int storage);

    // ---- environment variables and paired hosts (errors unchanged) -------------------------
    /// -> tokenDidReadEnvironmentVariable with the name and value (both absent on error).
    void readEnvironmentVariable(const std::string& name);
    /// -> tokenDidWriteEnvironmentVariable.
    void writeEnvironmentVariable(const std::string& name, const std::string& value);
    /// -> tokenDidRemoveEnvironmentVariable.
    void removeEnvironmentVariable(const std::string& name);
    /// Reads device0, device1, ... until the first read fails -> tokenDidPairedDevices with one
    /// entry per non-empty value; no error when the token refused the read (the end of the list),
    /// else that failure (time-out, lost link, broken reply) with the entries read before it.
    void getPairedDevices();
    /// Removes the variable (e.g. "device1") -> tokenDidRemovePairedDevice.
    void removePairedDevice(const std::string& variable);

    // ---- the same operations, each with a completion of its own ---------------------------
    // Each calls `done` once with what its delegate method would receive (same values, same
    // error mapping) instead of calling the delegate. Like the delegate methods, `done` is not
    // called when the token is not connected. Several operations may run at once; each result
    // reaches its own completion.
    using ErrorDone = std::function<void(const OptError& error)>;
    using SerialDone = std::function<void(int32_t serial, const OptError& error)>;
    using LevelDone = std::function<void(double level, const OptError& error)>;
    using TextDone = std::function<void(const std::optional<std::string>& text, const OptError& error)>;
    using DataDone = std::function<void(const std::optional<Bytes>& data, const OptError& error)>;
    using SuccessDone = std::function<void(bool success, const OptError& error)>;
    using HandleDone = std::function<void(uint8_t handle, const OptError& error)>;
    using FilesDone = std::function<void(const std::optional<std::vector<VexaFileEntry>>& files, const OptError& error)>;
    using VariableDone = std::function<void(const std::optional<std::string>& name, const std::optional<std::string>& value,
                                            const OptError& error)>;
    using PairedDevicesDone = std::function<void(const std::vector<VexaPairedDevice>& devices, const OptError& error)>;

    /// As initialize(), answering `done`.
    void initialize(ErrorDone done);
    /// As getSerial(): the number, 0 with an error.
    void getSerial(SerialDone done);
    /// As getBatteryLevel(): the level byte / 100.0.
    void getBatteryLevel(LevelDone done);
    /// As getFirmwareVersion().
    void getFirmwareVersion(TextDone done);
    /// As getHardwareVersion().
    void getHardwareVersion(TextDone done);
    /// As powerOff().
    void powerOff(ErrorDone done);
    /// As powerSecureElementOn(): the ATR.
    void powerSecureElementOn(DataDone done);
    /// As powerSecureElementOff().
    void powerSecureElementOff(ErrorDone done);
    /// As setCommunicationProtocol(): success is true exactly when there is no error.
    void setCommunicationProtocol(uint8_t protocol, SuccessDone done);
    /// As transmitAPDU(): the response APDU.
    void transmitAPDU(const Bytes& apdu, DataDone done);
    /// As openFile(): the handle, 0 with an error.
    void openFile(const std::string& path, int mode, HandleDone done);
    /// As closeFile().
    void closeFile(uint8_t handle, ErrorDone done);
    /// As writeFile(): once, after the last piece or at the first failed one.
    Operation writeFile(uint8_t handle, ByteView data, ErrorDone done);
    /// As readFile(): the bytes read.
    Operation readFile(uint8_t handle, uint16_t countByRead, DataDone done);
    /// As removeFile().
    void removeFile(const std::string& path, ErrorDone done);
    /// As getListFiles().
    void getListFiles(const std::string& path, FilesDone done);
    /// As selectDeviceStorage().
    void selectDeviceStorage(int storage, ErrorDone done);
    /// As readEnvironmentVariable(): the name and value.
    void readEnvironmentVariable(const std::string& name, VariableDone done);
    /// As writeEnvironmentVariable().
    void writeEnvironmentVariable(const std::string& name, const std::string& value, ErrorDone done);
    /// As removeEnvironmentVariable().
    void removeEnvironmentVariable(const std::string& name, ErrorDone done);
    /// As getPairedDevices().
    void getPairedDevices(PairedDevicesDone done);
    /// As removePairedDevice().
    void removePairedDevice(const std::string& variable, ErrorDone done);

    // ---- cancellation ----------------------------------------------------------------------
    // A cancelled operation is answered at once, through its delegate method or completion, with
    // org.vexatokenkit.LumoToken 7 "The operation was cancelled." (never mapped): the commands it
    // still had queued are not sent (the rest of a write's pieces, a read not yet issued); its
    // command already on the link is let finish and that reply is dropped. Operations issued
    // afterwards run as usual, after that command. Every operation is still answered once.
    /// Cancels one file transfer returned by writeFile or readFile; nothing when it has been
    /// answered already (or for 0).
    void cancel(Operation operation);
    /// Cancels every operation of this token not answered yet: queued ones and the one on the link.
    void cancelAll();

    // ---- conversions -----------------------------------------------------------------------
    /// The serial-number text as a number: optional leading blanks and sign, then decimal digits;
    /// saturates at the int32 range; 0 without digits.
    static int32_t serialNumberValue(std::string_view text);
    /// The entry of paired-host variable `variable` with value `value` (12 address characters,
    /// then the name), or nothing for an empty value. Positions count UTF-16 code units.
    static std::optional<VexaPairedDevice> pairedDeviceEntry(const std::string& variable, const std::string& value);

private:
    // Calls `call(delegate, token)` if the delegate is still there.
    template <class F>
    void tell(F&& call) {
        if (auto delegate = delegate_.lock()) call(*delegate, shared_from_this());
    }
    // A completion that hands its arguments, after `lead`, to the delegate method `method`.
    template <class Method, class... Lead>
    auto toDelegate(Method method, Lead... lead) {
        return [self = shared_from_this(), method, lead...](const auto&... args) {
            self->tell([&](VexaTokenDelegate& d, const std::shared_ptr<VexaToken>& t) { (d.*method)(t, lead..., args...); });
        };
    }
    void readNextPairedDevice(std::shared_ptr<std::vector<VexaPairedDevice>> devices, uint64_t index, PairedDevicesDone done);
    void readNextDirItem(std::shared_ptr<std::vector<VexaFileEntry>> files, FilesDone done);

    std::shared_ptr<LumoToken> pimpl_;
    std::shared_ptr<PlatformPeripheral> peripheral_;
    std::string name_;
    std::string identifier_;
    std::weak_ptr<VexaTokenDelegate> delegate_;
    std::shared_ptr<LumoFrameObserver> frameObserver_;
};

}  // namespace vexa
