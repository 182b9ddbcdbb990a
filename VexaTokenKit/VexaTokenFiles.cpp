// File and storage operations, and the directory listing. Errors reach the delegate unchanged.
#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "VexaTokenKit/VexaToken.h"

namespace vexa {

using TokenPtr = std::shared_ptr<VexaToken>;

void VexaToken::openFile(const std::string& path, int mode) {
    pimpl_->openFile(path, static_cast<uint8_t>(mode), [self = shared_from_this()](uint8_t handle, const OptError& error) {
        self->tell([&](VexaTokenDelegate& d, const TokenPtr& t) { d.tokenDidOpenFile(t, error ? 0 : handle, error); });
    });
}

void VexaToken::closeFile(uint8_t handle) {
    pimpl_->closeFile(handle, [self = shared_from_this(), handle](const OptError& error) {
        self->tell([&](VexaTokenDelegate& d, const TokenPtr& t) { d.tokenDidCloseFile(t, handle, error); });
    });
}

void VexaToken::writeFile(uint8_t handle, ByteView data) {
    pimpl_->writeToFile(handle, data, [self = shared_from_this(), handle](const OptError& error) {
        self->tell([&](VexaTokenDelegate& d, const TokenPtr& t) { d.tokenDidWriteFile(t, handle, error); });
    });
}

void VexaToken::readFile(uint8_t handle, uint16_t countByRead) {
    pimpl_->readFile(handle, countByRead, [self = shared_from_this(), handle](const std::optional<Bytes>& data, const OptError& error) {
        self->tell([&](VexaTokenDelegate& d, const TokenPtr& t) { d.tokenDidReadFile(t, handle, data, error); });
    });
}

void VexaToken::removeFile(const std::string& path) {
    pimpl_->removeFile(path, [self = shared_from_this()](const OptError& error) {
        self->tell([&](VexaTokenDelegate& d, const TokenPtr& t) { d.tokenDidRemoveFile(t, error); });
    });
}

void VexaToken::selectDeviceStorage(int storage) {
    pimpl_->selectStorage(static_cast<uint8_t>(storage), [self = shared_from_this()](const OptError& error) {
        self->tell([&](VexaTokenDelegate& d, const TokenPtr& t) { d.tokenDidSelectDeviceStorage(t, error); });
    });
}

void VexaToken::getListFiles(const std::string& path) {
    pimpl_->openDir(path, [self = shared_from_this()](const OptError& error) {
        if (error) {
            self->tell([&](VexaTokenDelegate& d, const TokenPtr& t) { d.tokenDidListFiles(t, std::nullopt, error); });
            return;
        }
        self->readNextDirItem(std::make_shared<std::vector<VexaFileEntry>>());
    });
}

// Each entry is asked for from the answer to the previous one, so the listing's commands reach
// the token one after another; it ends at the first answer without an entry.
void VexaToken::readNextDirItem(std::shared_ptr<std::vector<VexaFileEntry>> files) {
    pimpl_->getDirItem([self = shared_from_this(), files](const std::optional<VexaFileEntry>& entry, const OptError& error) {
        if (entry && !error) {
            files->push_back(*entry);
            self->readNextDirItem(files);
            return;
        }
        self->tell([&](VexaTokenDelegate& d, const TokenPtr& t) { d.tokenDidListFiles(t, *files, error); });
    });
}

}  // namespace vexa
