#include "tests/fakebluez/FakePeripheralRole.h"

#include "tests/fakebluez/FakeBluez.h"

#include <algorithm>

namespace vexa::test {

using namespace bluez;

namespace {

constexpr const char* kAdapterPath = "/org/bluez/hci1";
constexpr const char* kCentralPath = "/org/bluez/hci1/dev_00_1A_7D_DA_71_13";  // hci0 as hci1 sees it

void replyError(const sdbus::MethodCall& call, const std::string& name, const std::string& message) {
    call.createErrorReply(sdbus::Error(name, message)).send();
}

template <class T>
T value(const PropertyMap& properties, const char* key) {
    const auto it = properties.find(key);
    return it == properties.end() ? T{} : variantValue<T>(it->second).value_or(T{});
}

}  // namespace

FakePeripheralRole::FakePeripheralRole(FakeEnvironment& env, FakeBluez& bluez, uint16_t mtu) : env_(env), bluez_(bluez), mtu_(mtu) {}

sdbus::IProxy& FakePeripheralRole::proxy(const std::string& sender, const std::string& path) {
    auto& slot = proxies_[sender + path];
    if (!slot) slot = sdbus::createProxy(*env_.loop->connection(), sender, path);
    return *slot;
}

void FakePeripheralRole::publish() {
    adapter_ = sdbus::createObject(*env_.loop->connection(), kAdapterPath);
    adapter_->registerProperty("Address").onInterface(kAdapterInterface).withGetter([] { return std::string(kAddress); });
    adapter_->registerProperty("Powered").onInterface(kAdapterInterface).withGetter([] { return true; });
    for (const bool application : {true, false}) {
        const char* interface = application ? kGattManagerInterface : kAdvertisingManagerInterface;
        const std::string what = application ? "Application" : "Advertisement";
        adapter_->registerMethod(interface, "Register" + what, "oa{sv}", "", [this, application](sdbus::MethodCall call) {
            onRegister(std::move(call), application);
        });
        adapter_->registerMethod(interface, "Unregister" + what, "o", "", [this, application](sdbus::MethodCall call) {
            withdraw(application);
            call.createReply().send();
        });
    }
    adapter_->finishRegistration();
    adapter_->emitInterfacesAddedSignal({kAdapterInterface, kGattManagerInterface, kAdvertisingManagerInterface});
    central_ = sdbus::createObject(*env_.loop->connection(), kCentralPath);
    central_->registerProperty("Address").onInterface(kDeviceInterface).withGetter([] { return std::string("00:1A:7D:DA:71:13"); });
    central_->registerProperty("Adapter").onInterface(kDeviceInterface).withGetter([] { return sdbus::ObjectPath(kAdapterPath); });
    central_->registerProperty("Connected").onInterface(kDeviceInterface).withGetter([this] { return link_ != nullptr; });
    central_->registerMethod(kDeviceInterface, "Disconnect", "", "", [this](sdbus::MethodCall call) {
        bluez_.dropLink(kAddress);
        call.createReply().send();
    });
    central_->finishRegistration();
    central_->emitInterfacesAddedSignal({kDeviceInterface});
}

void FakePeripheralRole::shutdown() {
    application_ = advertisement_ = std::nullopt;
    proxies_.clear();
    valueWatch_.reset();
    central_.reset();
    adapter_.reset();
    link_ = nullptr;
}

// ---- registrations: bluetoothd reads the objects from their owner before it answers ----

void FakePeripheralRole::onRegister(sdbus::MethodCall call, bool application) {
    sdbus::ObjectPath path;
    call >> path;
    auto& client = application ? application_ : advertisement_;
    if (client) return replyError(call, "org.bluez.Error.AlreadyExists", "Already Exists");
    client = call.getSender();
    auto& objects = proxy(call.getSender(), path);
    if (application) {
        objects.callMethodAsync("GetManagedObjects").onInterface(kObjectManagerInterface).uponReplyInvoke(
            [this, call](const sdbus::Error* error, ManagedObjects found) {
                if (!error) return applicationRead(call, found);
                application_.reset();
                replyError(call, "org.bluez.Error.Failed", error->getMessage());
            });
    } else {
        objects.callMethodAsync("GetAll").onInterface(kPropertiesInterface).withArguments(std::string(kAdvertisementInterface)).uponReplyInvoke(
            [this, call](const sdbus::Error* error, PropertyMap properties) {
                if (!error) return advertisementRead(call, std::move(properties));
                advertisement_.reset();
                replyError(call, "org.bluez.Error.InvalidArguments", error->getMessage());
            });
    }
}

void FakePeripheralRole::applicationRead(const sdbus::MethodCall& call, const ManagedObjects& objects) {
    services_.clear();
    for (const auto& [path, interfaces] : objects) {
        const auto service = interfaces.find(kGattServiceInterface);
        if (service == interfaces.end()) continue;
        services_.push_back({value<std::string>(service->second, "UUID"), {}});
        for (const auto& [charPath, charInterfaces] : objects) {
            const auto c = charInterfaces.find(kGattCharacteristicInterface);
            if (c == charInterfaces.end() || value<sdbus::ObjectPath>(c->second, "Service") != path) continue;
            const std::string uuid = value<std::string>(c->second, "UUID");
            services_.back().characteristics.push_back({uuid, value<std::vector<std::string>>(c->second, "Flags")});
            paths_[uuid] = charPath;
        }
    }
    valueWatch_ = env_.loop->connection()->addMatch("type='signal',member='PropertiesChanged',sender='" + *application_ + "'",
                                                    [this](sdbus::Message& message) { onValue(message); });
    call.createReply().send();
}

void FakePeripheralRole::advertisementRead(const sdbus::MethodCall& call, PropertyMap properties) {
    FakeDeviceConfig device;
    device.address = kAddress;
    device.name = value<std::string>(properties, "LocalName");
    device.uuids = value<std::vector<std::string>>(properties, "ServiceUUIDs");
    device.services = services_;
    device.mtu = mtu_;
    device.model = shared_from_this();
    call.createReply().send();
    bluez_.addDevice(std::move(device));
}

void FakePeripheralRole::withdraw(bool application) {
    if (application) {
        bluez_.dropLink(kAddress);
        application_.reset();
        valueWatch_.reset();
    } else if (advertisement_) {
        advertisement_.reset();
        bluez_.removeDevice(kAddress);  // out of range: its link drops with it
    }
}

// ---- the looped-back device ----

void FakePeripheralRole::written(const std::string& uuid, const Bytes& bytes, FakeDeviceLink&) {
    if (!application_ || !paths_.count(uuid)) return;
    const PropertyMap options{{"device", sdbus::Variant(sdbus::ObjectPath(kCentralPath))},
                              {"mtu", sdbus::Variant(mtu_)},
                              {"link", sdbus::Variant(std::string("LE"))}};
    proxy(*application_, paths_[uuid]).callMethodAsync("WriteValue").onInterface(kGattCharacteristicInterface).withArguments(bytes, options).uponReplyInvoke(
        [](const sdbus::Error*) {});
}

void FakePeripheralRole::onValue(sdbus::Message& message) {
    std::string interface;
    PropertyMap changed;
    message >> interface >> changed;
    for (const auto& [uuid, path] : paths_) {
        if (!link_ || path != message.getPath() || !changed.count("Value")) continue;
        Bytes bytes = value<Bytes>(changed, "Value");
        bytes.resize(std::min<size_t>(bytes.size(), mtu_ - 3u));  // a notification carries MTU - 3 bytes
        link_->notify(uuid, std::move(bytes));
    }
}

void FakePeripheralRole::connected(FakeDeviceLink& link) {
    link_ = &link;
    central_->emitPropertiesChangedSignal(kDeviceInterface, {"Connected"});
    callNotifying("StartNotify");
}

void FakePeripheralRole::disconnected() {
    link_ = nullptr;
    if (central_) central_->emitPropertiesChangedSignal(kDeviceInterface, {"Connected"});
    callNotifying("StopNotify");
}

// bluetoothd switches the application's notifying characteristics on and off for the central.
void FakePeripheralRole::callNotifying(const char* method) {
    if (!application_) return;
    for (const auto& service : services_) {
        for (const auto& c : service.characteristics) {
            if (std::count(c.flags.begin(), c.flags.end(), "notify"))
                proxy(*application_, paths_[c.uuid]).callMethodAsync(method).onInterface(kGattCharacteristicInterface).uponReplyInvoke(
                    [](const sdbus::Error*) {});
        }
    }
}

}  // namespace vexa::test
