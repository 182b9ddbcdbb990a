// File and storage operations, and the directory listing. Errors reach the delegate unchanged.
#include "LumoTokenSDK/LumoToken/LumoToken.h"
#include "VexaTokenKit/VexaToken.h"

namespace vexa {

void VexaToken::openFile(const std::string& path, int mode) { openFile(path, mode, toDelegate(&VexaTokenDelegate::tokenDidOpenFile)); }

void VexaToken::openFile(const std::string& path, int mode, HandleDone done) {
    pimpl_->openFile(path, static_cast<uint8_t>(mode), [self = shared_from_this(), done = std::move(done)](uint8_t handle, const OptError& error) {
        if (done) done(error ? 0 : handle, error);
    });
}

void VexaToken::closeFile(uint8_t handle) { closeFile(handle, toDelegate(&VexaTokenDelegate::tokenDidCloseFile, handle)); }

void VexaToken::closeFile(uint8_t handle, ErrorDone done) {
    pimpl_->closeFile(handle, [self = shared_from_this(), done = std::move(done)](const OptError& error) {
        if (done) done(error);
    });
}

VexaToken::Operation VexaToken::writeFile(uint8_t handle, ByteView data) {
    return writeFile(handle, data, toDelegate(&VexaTokenDelegate::tokenDidWriteFile, handle));
}

VexaToken::Operation VexaToken::writeFile(uint8_t handle, ByteView data, ErrorDone done) {
    if (!isConnected()) return 0;  // dropped, as every operation of a token not connected
    const Operation operation = pimpl_->newOperation();
    LumoToken::OperationScope scope(*pimpl_, operation);
    pimpl_->writeToFile(handle, data, [self = shared_from_this(), done = std::move(done)](const OptError& error) {
        LumoToken::OperationScope none(*self->pimpl_, 0);  // what `done` starts is not part of the write
        if (done) done(error);
    });
    return operation;
}

VexaToken::Operation VexaToken::readFile(uint8_t handle, uint16_t countByRead) {
    return readFile(handle, countByRead, toDelegate(&VexaTokenDelegate::tokenDidReadFile, handle));
}

VexaToken::Operation VexaToken::readFile(uint8_t handle, uint16_t countByRead, DataDone done) {
    if (!isConnected()) return 0;
    const Operation operation = pimpl_->newOperation();
    LumoToken::OperationScope scope(*pimpl_, operation);
    pimpl_->readFile(handle, countByRead, [self = shared_from_this(), done = std::move(done)](const std::optional<Bytes>& data, const OptError& error) {
        LumoToken::OperationScope none(*self->pimpl_, 0);
        if (done) done(data, error);
    });
    return operation;
}

void VexaToken::cancel(Operation operation) { pimpl_->cancelOperation(operation); }

void VexaToken::cancelAll() { pimpl_->cancelAllCommands(); }

void VexaToken::removeFile(const std::string& path) { removeFile(path, toDelegate(&VexaTokenDelegate::tokenDidRemoveFile)); }

void VexaToken::removeFile(const std::string& path, ErrorDone done) {
    pimpl_->removeFile(path, [self = shared_from_this(), done = std::move(done)](const OptError& error) {
        if (done) done(error);
    });
}

void VexaToken::selectDeviceStorage(int storage) { selectDeviceStorage(storage, toDelegate(&VexaTokenDelegate::tokenDidSelectDeviceStorage)); }

void VexaToken::selectDeviceStorage(int storage, ErrorDone done) {
    pimpl_->selectStorage(static_cast<uint8_t>(storage), [self = shared_from_this(), done = std::move(done)](const OptError& error) {
        if (done) done(error);
    });
}

void VexaToken::getListFiles(const std::string& path) { getListFiles(path, toDelegate(&VexaTokenDelegate::tokenDidListFiles)); }

void VexaToken::getListFiles(const std::string& path, FilesDone done) {
    pimpl_->openDir(path, [self = shared_from_this(), done = std::move(done)](const OptError& error) {
        if (error) {
            if (done) done(std::nullopt, error);
            return;
        }
        self->readNextDirItem(std::make_shared<std::vector<VexaFileEntry>>(), done);
    });
}

// Each entry is asked for from the answer to the previous one, so the listing's commands reach
// the token one after another; it ends at the first answer without an entry.
void VexaToken::readNextDirItem(std::shared_ptr<std::vector<VexaFileEntry>> files, FilesDone done) {
    pimpl_->getDirItem([self = shared_from_this(), files, done = std::move(done)](const std::optional<VexaFileEntry>& entry, const OptError& error) {
        if (entry && !error) {
            files->push_back(*entry);
            self->readNextDirItem(files, done);
            return;
        }
        if (done) done(*files, error);
    });
}

}  // namespace vexa
