#include "bench/SessionRig.h"

#include <chrono>
#include <algorithm>
#include <ctime>

#include "Backends/Simulated/SimulatedBackend.h"
#include "LumoTokenSDK/LumoBluetooth/LumoPeripheral.h"
#include "Platform/MainQueue.h"
#include "VexaTokenKit/VexaCrypto.h"

namespace vexa::bench {

double threadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

Bytes BenchDelegate::needHashSessionKey(LumoToken&) { return key_ ? MD5Data(*key_) : Bytes(16, 0); }

void BenchDelegate::didConnect(LumoToken&, const OptError& error, bool sessionKeyNeedUpdate) {
    answered = true;
    ready = !error && !sessionKeyNeedUpdate;
}

void BenchDelegate::didDisconnect(LumoToken&, const OptError&) { disconnected = true; }

std::optional<Bytes> BenchDelegate::willEncryptData(LumoToken& token, const Bytes& package) {
    if (!key_) return LumoTokenDelegate::willEncryptData(token, package);
    return AES256EncryptWithKey(package, *key_);
}

std::optional<Bytes> BenchDelegate::willDecryptData(LumoToken& token, const Bytes& package) {
    if (!key_) return LumoTokenDelegate::willDecryptData(token, package);
    return AES256DecryptWithKey(package, *key_);
}

SessionRig::SessionRig(RigOptions options)
    : clock_(std::make_shared<VirtualClock>()), loop_(std::make_shared<RunLoop>(clock_)), radio_(SimulatedRadio::create()) {
    setMainQueue(loop_);
    radio_->setLinkTiming(options.timing);
    // The central calls back on the main loop itself, as an application's central would.
    central_ = LumoCentralManager::create(std::make_shared<SimulatedBackend>(radio_), loop_);

    for (size_t i = 0; i < options.tokens; ++i) {
        VirtualTokenConfig config;
        config.name = "Bench Token " + std::to_string(i);
        config.key = options.key;
        config.storageCapacity = options.storageCapacity;
        Session session;
        session.device = VirtualToken::create(radio_, config);
        session.device->setRecordLimit(0);  // long runs keep no inspection records
        const auto wrappers = central_->retrievePeripheralsWithIdentifiers({session.device->identifier()});
        if (wrappers.size() != 1) return;
        session.token = LumoToken::create(wrappers[0]);
        session.delegate = std::make_shared<BenchDelegate>(options.key);
        session.token->setDelegate(session.delegate);
        sessions_.push_back(std::move(session));
    }
    for (auto& session : sessions_) session.token->discover();
    runUntil(
        [this] {
            for (const auto& session : sessions_)
                if (!session.delegate->answered) return false;
            return true;
        },
        std::chrono::minutes(1));
}

SessionRig::~SessionRig() {
    radio_->setTrafficObserver(nullptr);
    for (auto& session : sessions_) {
        if (!session.token->isConnected()) continue;
        // Ended through the central so that the session hears the loss and lets its delegate go.
        central_->manager()->cancelPeripheralConnection(session.token->getPeripheral()->cbPeripheral());
        runUntil([&session] { return session.delegate->disconnected; }, std::chrono::minutes(1));
    }
    loop_->runUntilIdle();
    setMainQueue(nullptr);
}

bool SessionRig::ready() const {
    if (sessions_.empty()) return false;
    for (const auto& session : sessions_)
        if (!session.delegate->ready || !session.token->isConnected()) return false;
    return true;
}

bool SessionRig::runUntil(const std::function<bool()>& done, Duration timeout) { return loop_->runUntil(done, timeout); }

void SessionRig::countFrames() {
    *frames_ = FrameCount{};
    radio_->setTrafficObserver([frames = frames_](const TrafficRecord& record) {
        if (record.kind == TrafficKind::WriteWithResponse) {
            ++frames->written;
            frames->writtenBytes += record.bytes.size();
        } else if (record.kind == TrafficKind::Notification) {
            ++frames->notified;
            frames->notifiedBytes += record.bytes.size();
        }
    });
}

Bytes transferData(size_t size) {
    Bytes data(size);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>((i * 131) ^ (i >> 9));
    return data;
}

Transfer::Transfer(LumoToken& token, const Bytes& data, bool readBack, uint8_t writeMode)
    : token_(token), data_(data), readBack_(readBack), writeMode_(writeMode) {
    // The application's buffer for the read-back is touched now, so that the first touch of its
    // pages is not counted against the transfer.
    if (readBack_) read_.assign(data.size(), 0);
}

void Transfer::start() {
    startedAt_ = threadCpuNs();
    token_.openFile(kPath, writeMode_, [self = shared_from_this()](uint8_t handle, const OptError& e) {
        if (!self->ok(e)) return;
        self->token_.writeToFile(handle, self->data_, [self, handle](const OptError& e2) {
            if (!self->ok(e2)) return;
            self->token_.closeFile(handle, [self](const OptError& e3) {
                if (!self->ok(e3)) return;
                self->writtenAt_ = threadCpuNs();
                if (!self->readBack_) return self->finish();
                self->token_.openFile(kPath, VirtualTokenFileSystem::kOpenRead, [self](uint8_t h, const OptError& e4) {
                    if (self->ok(e4)) self->readNext(h);
                });
            });
        });
    });
}

void Transfer::readNext(uint8_t handle) {
    token_.readFile(handle, kReadSize, [self = shared_from_this(), handle](const std::optional<Bytes>& piece, const OptError& e) {
        if (!self->ok(e)) return;
        if (piece) {
            const size_t room = self->read_.size() - self->readSize_;
            if (piece->size() > room) self->read_.resize(self->readSize_ + piece->size());
            std::copy(piece->begin(), piece->end(), self->read_.begin() + static_cast<std::ptrdiff_t>(self->readSize_));
            self->readSize_ += piece->size();
        }
        if (piece && piece->size() == kReadSize && self->readSize_ < self->data_.size()) return self->readNext(handle);
        self->token_.closeFile(handle, [self](const OptError& e2) {
            if (self->ok(e2)) self->finish();
        });
    });
}

bool Transfer::ok(const OptError& error) {
    if (!error) return true;
    if (!error_) error_ = error;
    finish();
    return false;
}

void Transfer::finish() {
    doneAt_ = threadCpuNs();
    read_.resize(readSize_);
    if (writtenAt_ == 0) writtenAt_ = doneAt_;
    done_ = true;
}

}  // namespace vexa::bench
