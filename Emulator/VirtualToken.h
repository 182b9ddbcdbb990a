#pragma once
// A virtual security token on the simulated Bluetooth LE radio: the device side of the token
// protocol, for tests, demos and benchmarks without hardware.
//
// Creating one
//     test::VirtualMainLoop loop;                       // or any main queue (see MainQueue.h)
//     auto radio = SimulatedRadio::create();
//     setBleBackend(std::make_shared<SimulatedBackend>(radio), loop.loop);
//     VirtualTokenConfig config;                        // every field has a default
//     config.name = "Token A";
//     config.key = keyFromPassword("1234", config.name);  // or leave absent: no key
//     auto token = VirtualToken::create(radio, config); // advertising at once
// Keep the returned object alive as long as the token should answer; create it, and call it, on
// the main queue's thread. VirtualToken::attach() installs the token on a peripheral you made.
//
// What it offers
// - Advertises its name and the token service a63928c5-f337-4181-9412-09b8a6d8826f, which holds
//   the write characteristic 563e2883-5c3a-41da-8e02-15640ae703e6 (write with response) and the
//   notify characteristic 5609a734-12c2-49e9-9edd-6eba3fdedc92.
// - Joins the frames written to it into packages, answers each package with one reply package
//   whose code byte repeats the request's, and notifies the reply frame by frame. Frames that
//   break the order, or overrun the announced length, are discarded up to the next first frame
//   and counted in frameErrorCount(). A package that fails to parse is answered with status 9
//   (status 10 while the session is locked, see below).
// - Session key. With a key (config.key, setKey, setPassword) a connection starts locked: every
//   command but 0x65 is answered with status 10. Command 0x65 (always in plain text) carries
//   the MD5 of the host's key string; if it equals MD5Data(key) the session is encrypted from the
//   next package on (AES-256 with the key string, both directions), otherwise it stays locked and the
//   answer is status 10. Without a key the token accepts any hash and talks in plain text.
//   A plain-text 0x65 is recognised also in an encrypted session, and synchronises again.
// - The command set, its payloads and its statuses are those of VirtualTokenDevice.h; the clock
//   runs on the main queue's clock. Command 0x40 answers, then drops the link and takes the
//   token off the radio until powerOn(); powerOff() does the same without a command (the
//   button). A dropped link closes open files, ends listings and selects storage 0 again.
// - Paired hosts: an accepted 0x65 from a host name not yet recorded creates "device<N>" (lowest
//   free N) holding VirtualVariableStore::hostAddress(name) + name.
// - Fault switches (faults(), or the shortcuts below), per command code or for every command,
//   for the next `times` commands or until cleared: answer status X; never answer; answer late
//   (on the main queue's clock); answer with a wrong CRC, an empty payload, or frames out of
//   order. Link-level faults (failed writes, lost or corrupted notifications, refused
//   connections) are the radio's: peripheral()->faults().
// - Inspection: receivedPackages() lists the packages as the token saw them (decrypted when the
//   session is encrypted), sentReplies() the reply packages before encryption, the latest
//   setRecordLimit() of each (4096 by default); the raw frames in both directions reach the
//   radio's traffic observer (SimulatedRadio::setTrafficObserver).
//   device() gives the whole device state: files, variables, clock, secure element.
// The protocol work itself is endpoint()'s (VirtualTokenEndpoint.h); this class carries its frames
// over the simulated peripheral.
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Backends/Simulated/SimulatedRadio.h"
#include "Backends/Simulated/VirtualPeripheral.h"
#include "Emulator/VirtualTokenConfig.h"
#include "Emulator/VirtualTokenDevice.h"
#include "Emulator/VirtualTokenEndpoint.h"
#include "Emulator/VirtualTokenFaults.h"
#include "Platform/DispatchQueue.h"

namespace vexa {

inline constexpr char kVirtualTokenServiceUUID[] = "a63928c5-f337-4181-9412-09b8a6d8826f";
inline constexpr char kVirtualTokenWriteUUID[] = "563e2883-5c3a-41da-8e02-15640ae703e6";
inline constexpr char kVirtualTokenNotifyUUID[] = "5609a734-12c2-49e9-9edd-6eba3fdedc92";

class VirtualToken : public std::enable_shared_from_this<VirtualToken> {
public:
    using Session = VirtualTokenEndpoint::Session;
    using ReceivedPackage = VirtualTokenEndpoint::ReceivedPackage;

    /// A token on a new peripheral (config's name, identifier and RSSI) added to `radio`.
    static std::shared_ptr<VirtualToken> create(const std::shared_ptr<SimulatedRadio>& radio, VirtualTokenConfig config = {});
    /// A token on `peripheral`: adds the token service and takes over its handlers and advertising.
    static std::shared_ptr<VirtualToken> attach(std::shared_ptr<VirtualPeripheral> peripheral, VirtualTokenConfig config = {});

    const std::shared_ptr<VirtualPeripheral>& peripheral() const { return peripheral_; }
    VirtualTokenDevice& device() { return endpoint_->device(); }
    const std::string& identifier() const { return peripheral_->identifier(); }
    /// The protocol end behind the peripheral (session, faults, records).
    VirtualTokenEndpoint& endpoint() { return *endpoint_; }

    // ---- Key ----
    void setKey(std::optional<std::string> key) { device().setKey(std::move(key)); }
    /// The key a host derives from `password` for this token's name.
    void setPassword(std::string_view password) { device().setPassword(password); }
    Session session() const { return endpoint_->session(); }

    // ---- Power ----
    bool isPoweredOn() const { return endpoint_->device().isPoweredOn(); }
    /// Switches the token on again after 0x40 or powerOff() (back on its radio, advertising).
    void powerOn();
    /// Switches the token off as its button would: the link drops and it leaves its radio.
    void powerOff() { endpoint_->powerOff(); }

    // ---- Fault switches ----
    VirtualTokenFaults& faults() { return endpoint_->faults(); }
    /// `command` absent means every command; `times` negative means until clearFaults().
    void replyStatus(std::optional<uint8_t> command, uint8_t status, int times = -1);
    void ignoreCommand(std::optional<uint8_t> command, int times = -1);
    void delayReplies(std::optional<uint8_t> command, Duration delay, int times = -1);
    void corruptReplies(std::optional<uint8_t> command, int times = -1);
    void sendEmptyReplies(std::optional<uint8_t> command, int times = -1);
    void reorderReplyFrames(std::optional<uint8_t> command, int times = -1);
    void clearFaults() { faults().clear(); }

    // ---- Inspection ----
    static constexpr size_t kDefaultRecordLimit = VirtualTokenEndpoint::kDefaultRecordLimit;
    /// The latest packages received, oldest first.
    const std::deque<ReceivedPackage>& receivedPackages() const { return endpoint_->receivedPackages(); }
    /// The latest reply packages as built, before encryption (faults included).
    const std::deque<Bytes>& sentReplies() const { return endpoint_->sentReplies(); }
    /// How many packages and replies are kept (the oldest go first); 0 keeps none. Long runs
    /// (benchmarks, demos) stay bounded in memory.
    void setRecordLimit(size_t limit) { endpoint_->setRecordLimit(limit); }
    /// Frames discarded for a wrong index or length.
    size_t frameErrorCount() const { return endpoint_->frameErrorCount(); }
    void clearRecords() { endpoint_->clearRecords(); }

    VirtualToken(std::shared_ptr<VirtualPeripheral> peripheral, VirtualTokenConfig config, std::shared_ptr<DispatchQueue> queue);

private:
    void install();
    void dropFromRadio();

    std::shared_ptr<VirtualPeripheral> peripheral_;
    std::shared_ptr<VirtualCharacteristic> notifyCharacteristic_;
    std::weak_ptr<SimulatedRadio> radio_;
    std::shared_ptr<VirtualTokenEndpoint> endpoint_;
};

}  // namespace vexa
