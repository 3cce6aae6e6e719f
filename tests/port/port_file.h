// COM3 opened on behalf of an application through the I/O manager, for tests that need the exact
// status and Information of each request (a Win32 call folds a refusal into an error number).
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "tarvel/io.h"
#include "tarvelport.h"

namespace porttest {

struct IoResult {
    NTSTATUS status;
    std::vector<std::uint8_t> output;  // Information bytes of the output buffer
    ULONG Ulong() const {
        ULONG v = 0;
        if (output.size() >= sizeof v) std::memcpy(&v, output.data(), sizeof v);
        return v;
    }
};

class PortFile {
public:
    NTSTATUS Open(const char* path = "\\\\.\\COM3") { return tarvel::io::OpenFile(path, &file_); }
    void Close() {
        if (file_) tarvel::io::CloseFile(file_);
        file_ = nullptr;
    }
    bool IsOpen() const { return file_ != nullptr; }
    PFILE_OBJECT File() const { return file_; }

    IoResult Ioctl(ULONG code, const void* input = nullptr, ULONG inputLength = 0, ULONG outputLength = 0) {
        std::vector<std::uint8_t> output(outputLength);
        tarvel::io::FileRequest request;
        request.majorFunction = IRP_MJ_DEVICE_CONTROL;
        request.ioControlCode = code;
        request.inputBuffer = input;
        request.inputLength = inputLength;
        request.outputBuffer = outputLength ? output.data() : nullptr;
        request.outputLength = outputLength;
        IO_STATUS_BLOCK done = tarvel::io::SendFileRequestAndWait(file_, request);
        output.resize(NT_SUCCESS(done.Status) ? std::min<std::size_t>(done.Information, outputLength) : 0);
        return {done.Status, output};
    }
    template <typename T> NTSTATUS Set(ULONG code, const T& value) { return Ioctl(code, &value, sizeof value).status; }
    template <typename T> T Get(ULONG code) {
        IoResult r = Ioctl(code, nullptr, 0, sizeof(T));
        T value{};
        if (r.output.size() == sizeof value) std::memcpy(&value, r.output.data(), sizeof value);
        return value;
    }
    NTSTATUS Do(ULONG code) { return Ioctl(code).status; }

    IO_STATUS_BLOCK Write(const std::vector<std::uint8_t>& data) {
        tarvel::io::FileRequest request;
        request.majorFunction = IRP_MJ_WRITE;
        request.buffer = const_cast<std::uint8_t*>(data.data());
        request.length = static_cast<ULONG>(data.size());
        return tarvel::io::SendFileRequestAndWait(file_, request);
    }
    IO_STATUS_BLOCK Read(std::vector<std::uint8_t>& data) {
        tarvel::io::FileRequest request;
        request.majorFunction = IRP_MJ_READ;
        request.buffer = data.data();
        request.length = static_cast<ULONG>(data.size());
        IO_STATUS_BLOCK done = tarvel::io::SendFileRequestAndWait(file_, request);
        data.resize(NT_SUCCESS(done.Status) ? done.Information : 0);
        return done;
    }

private:
    PFILE_OBJECT file_ = nullptr;
};

}  // namespace porttest
