#include "tests/fakebluez/FakePeripheralRole.h"

#include <algorithm>

namespace vexa::test {

using namespace bluez;

namespace {

void replyError(const sdbus::MethodCall& call, const std::string& name, const std::string& message) {
    call.createErrorReply(sdbus::Error(name, message)).send();
}

const std::string kCentralPath = std::string(FakePeripheralRole::kAdapterPath) + "/dev_00_1A_7D_DA_71_13";

}  // namespace

// The looped-back device's model: hci0's link events and writes, handed to the role.
class FakePeripheralRole::Loopback final : public FakeDeviceModel {
public:
    explicit Loopback(FakePeripheralRole& role) : role_(role) {}
    void connected(FakeDeviceLink& link) override { role_.linkUp(link); }
    void disconnected() override { role_.linkDown(); }
    void written(const std::string& uuid, const Bytes& value, FakeDeviceLink&) override {
        const auto it = role_.characteristicPaths_.find(uuid);
        if (!role_.application_ || it == role_.characteristicPaths_.end()) return;
        const PropertyMap options{{"device", sdbus::Variant(sdbus::ObjectPath(kCentralPath))},
                                  {"mtu", sdbus::Variant(role_.mtu_)},
                                  {"link", sdbus::Variant(std::string("LE"))}};
        role_.appProxy(it->second).callMethodAsync("WriteValue").onInterface(kGattCharacteristicInterface).withArguments(value, options).uponReplyInvoke(
            [](const sdbus::Error*) {});
    }

private:
    FakePeripheralRole& role_;
};

FakePeripheralRole::FakePeripheralRole(FakeEnvironment& env, std::function<FakeDevice*(FakeDeviceConfig)> addDevice,
                                       std::function<void(const std::string&)> removeDevice, uint16_t mtu)
    : env_(env), addDevice_(std::move(addDevice)), removeDevice_(std::move(removeDevice)), mtu_(mtu), model_(std::make_shared<Loopback>(*this)) {}

FakePeripheralRole::~FakePeripheralRole() = default;

sdbus::IProxy& FakePeripheralRole::appProxy(const std::string& path) {
    auto& slot = appProxies_[path];
    if (!slot) slot = sdbus::createProxy(connection(), application_->sender, path);
    return *slot;
}

void FakePeripheralRole::publish() {
    adapter_ = sdbus::createObject(connection(), kAdapterPath);
    auto& o = *adapter_;
    o.registerProperty("Address").onInterface(kAdapterInterface).withGetter([] { return std::string(kAddress); });
    o.registerProperty("Powered").onInterface(kAdapterInterface).withGetter([] { return true; });
    o.registerMethod(kGattManagerInterface, "RegisterApplication", "oa{sv}", "", [this](sdbus::MethodCall call) {
        onRegisterApplication(std::move(call));
    });
    o.registerMethod(kGattManagerInterface, "UnregisterApplication", "o", "", [this](sdbus::MethodCall call) { unregister(std::move(call), application_); });
    o.registerMethod(kAdvertisingManagerInterface, "RegisterAdvertisement", "oa{sv}", "", [this](sdbus::MethodCall call) {
        onRegisterAdvertisement(std::move(call));
    });
    o.registerMethod(kAdvertisingManagerInterface, "UnregisterAdvertisement", "o", "", [this](sdbus::MethodCall call) {
        unregister(std::move(call), advertisement_);
    });
    o.registerProperty("SupportedInstances").onInterface(kAdvertisingManagerInterface).withGetter([] { return uint8_t{4}; });
    o.finishRegistration();
    o.emitInterfacesAddedSignal({kAdapterInterface, kGattManagerInterface, kAdvertisingManagerInterface});
}

void FakePeripheralRole::shutdown() {
    application_.reset();
    advertisement_.reset();
    appProxies_.clear();
    valueWatch_.reset();
    central_.reset();
    adapter_.reset();
    device_ = nullptr;
    link_ = nullptr;
}

void FakePeripheralRole::clientGone(const std::string& sender) {
    if (advertisement_ && advertisement_->sender == sender) withdrawAdvertisement();
    if (application_ && application_->sender == sender) withdrawApplication();
}

FakePeripheralState FakePeripheralRole::state() const { return {application_.has_value(), advertisement_.has_value(), localName_}; }

// ---- registrations: bluetoothd reads the objects from their owner before it answers ----

void FakePeripheralRole::onRegisterApplication(sdbus::MethodCall call) {
    sdbus::ObjectPath path;
    call >> path;
    if (application_) return replyError(call, "org.bluez.Error.AlreadyExists", "Already Exists");
    application_ = Registration{call.getSender(), path, sdbus::createProxy(connection(), call.getSender(), path)};
    application_->proxy->callMethodAsync("GetManagedObjects").onInterface(kObjectManagerInterface).uponReplyInvoke(
        [this, call](const sdbus::Error* error, ManagedObjects objects) {
            if (!error) return applicationRead(call, objects);
            application_.reset();
            replyError(call, "org.bluez.Error.Failed", error->getMessage());
        });
}

void FakePeripheralRole::applicationRead(const sdbus::MethodCall& call, const ManagedObjects& objects) {
    services_.clear();
    characteristicPaths_.clear();
    for (const auto& [path, interfaces] : objects) {
        const auto service = interfaces.find(kGattServiceInterface);
        if (service == interfaces.end()) continue;
        FakeServiceConfig config{variantValue<std::string>(service->second.at("UUID")).value_or(""), {}};
        for (const auto& [charPath, charInterfaces] : objects) {
            const auto c = charInterfaces.find(kGattCharacteristicInterface);
            if (c == charInterfaces.end() || variantValue<sdbus::ObjectPath>(c->second.at("Service")) != path) continue;
            const std::string uuid = variantValue<std::string>(c->second.at("UUID")).value_or("");
            config.characteristics.push_back({uuid, variantValue<std::vector<std::string>>(c->second.at("Flags")).value_or(std::vector<std::string>{})});
            characteristicPaths_[uuid] = charPath;
        }
        services_.push_back(std::move(config));
    }
    if (services_.empty()) {
        application_.reset();
        return replyError(call, "org.bluez.Error.InvalidArguments", "No object received");
    }
    valueWatch_ = connection().addMatch("type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',sender='" +
                                            application_->sender + "',path_namespace='" + application_->path + "'",
                                        [this](sdbus::Message& message) { onAppSignal(message); });
    call.createReply().send();
}

void FakePeripheralRole::onRegisterAdvertisement(sdbus::MethodCall call) {
    sdbus::ObjectPath path;
    call >> path;
    if (advertisement_) return replyError(call, "org.bluez.Error.AlreadyExists", "Already Exists");
    advertisement_ = Registration{call.getSender(), path, sdbus::createProxy(connection(), call.getSender(), path)};
    advertisement_->proxy->callMethodAsync("GetAll").onInterface(kPropertiesInterface).withArguments(std::string(kAdvertisementInterface)).uponReplyInvoke(
        [this, call](const sdbus::Error* error, PropertyMap properties) {
            if (error) {
                advertisement_.reset();
                return replyError(call, "org.bluez.Error.InvalidArguments", error->getMessage());
            }
            localName_ = variantValue<std::string>(properties["LocalName"]).value_or("");
            FakeDeviceConfig device;
            device.address = kAddress;
            device.name = localName_;
            device.uuids = variantValue<std::vector<std::string>>(properties["ServiceUUIDs"]).value_or(std::vector<std::string>{});
            device.services = services_;
            device.mtu = mtu_;
            device.model = model_;
            call.createReply().send();
            device_ = addDevice_(std::move(device));
        });
}

void FakePeripheralRole::unregister(sdbus::MethodCall call, std::optional<Registration>& registration) {
    sdbus::ObjectPath path;
    call >> path;
    if (!registration || registration->path != path || registration->sender != call.getSender())
        return replyError(call, "org.bluez.Error.DoesNotExist", "Does Not Exist");
    if (&registration == &advertisement_) withdrawAdvertisement();
    else withdrawApplication();
    call.createReply().send();
}

void FakePeripheralRole::withdrawAdvertisement() {
    advertisement_.reset();
    device_ = nullptr;
    removeDevice_(kAddress);  // out of range: its link drops with it
}

void FakePeripheralRole::withdrawApplication() {
    if (device_) device_->dropLink();
    application_.reset();
    appProxies_.clear();
    valueWatch_.reset();
}

// ---- the link ----

void FakePeripheralRole::onAppSignal(sdbus::Message& message) {
    std::string interface;
    PropertyMap changed;
    message >> interface >> changed;
    const auto value = changed.find("Value");
    if (!link_ || interface != kGattCharacteristicInterface || value == changed.end()) return;
    for (const auto& [uuid, path] : characteristicPaths_) {
        if (path != message.getPath()) continue;
        Bytes bytes = variantValue<Bytes>(value->second).value_or(Bytes{});
        if (bytes.size() > size_t{mtu_} - 3) bytes.resize(mtu_ - 3u);  // a notification carries MTU - 3 bytes
        link_->notify(uuid, std::move(bytes));
    }
}

void FakePeripheralRole::linkUp(FakeDeviceLink& link) {
    link_ = &link;
    if (!central_) {
        central_ = sdbus::createObject(connection(), kCentralPath);
        central_->registerProperty("Address").onInterface(kDeviceInterface).withGetter([] { return std::string(kCentralAddress); });
        central_->registerProperty("Adapter").onInterface(kDeviceInterface).withGetter([] { return sdbus::ObjectPath(kAdapterPath); });
        central_->registerProperty("Connected").onInterface(kDeviceInterface).withGetter([this] { return link_ != nullptr; });
        central_->registerMethod(kDeviceInterface, "Disconnect", "", "", [this](sdbus::MethodCall call) {
            if (device_) device_->dropLink();
            call.createReply().send();
        });
        central_->finishRegistration();
        central_->emitInterfacesAddedSignal({kDeviceInterface});
    } else {
        central_->emitPropertiesChangedSignal(kDeviceInterface, {"Connected"});
    }
    callNotifyCharacteristics("StartNotify");
}

void FakePeripheralRole::linkDown() {
    if (!link_) return;
    link_ = nullptr;
    if (central_) central_->emitPropertiesChangedSignal(kDeviceInterface, {"Connected"});
    callNotifyCharacteristics("StopNotify");
}

void FakePeripheralRole::callNotifyCharacteristics(const char* method) {
    if (!application_) return;
    for (const auto& service : services_) {
        for (const auto& c : service.characteristics) {
            if (std::find(c.flags.begin(), c.flags.end(), "notify") == c.flags.end()) continue;
            appProxy(characteristicPaths_.at(c.uuid)).callMethodAsync(method).onInterface(kGattCharacteristicInterface).uponReplyInvoke(
                [](const sdbus::Error*) {});
        }
    }
}

}  // namespace vexa::test
