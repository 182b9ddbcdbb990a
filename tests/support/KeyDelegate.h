#pragma once
// A session owner that holds one session key: it sends the key's MD5 as the hash and runs AES-256
// with it both ways, and records what the session reports.
#include <string>
#include <utility>
#include <vector>

#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "LumoTokenSDK/LumoToken/LumoTokenDelegate.h"
#include "VexaTokenKit/VexaCrypto.h"

namespace vexa::test {

class KeyDelegate : public LumoTokenDelegate {
public:
    explicit KeyDelegate(std::string key) : key_(std::move(key)) {}
    Bytes needHashSessionKey(LumoToken&) override { return MD5Data(key_); }
    void didConnect(LumoToken&, const OptError& error, bool needUpdate) override { connects.emplace_back(error, needUpdate); }
    void didDisconnect(LumoToken&, const OptError& error) override { disconnects.push_back(error); }
    std::optional<Bytes> willEncryptData(LumoToken&, const Bytes& p) override { return AES256EncryptWithKey(p, key_); }
    std::optional<Bytes> willDecryptData(LumoToken&, const Bytes& p) override { return AES256DecryptWithKey(p, key_); }
    std::vector<std::pair<OptError, bool>> connects;
    std::vector<OptError> disconnects;

private:
    std::string key_;
};

}  // namespace vexa::test
