// A booted machine with the recording port open as COM9, on a handle opened with or without
// FILE_FLAG_OVERLAPPED (the communications routines must behave the same on both).
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "recording_port.h"
#include "tarvel/kernel.h"
#include "tarvel/user/comm.h"

namespace commtest {

namespace u = tarvel::user;

class CommTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        tarvel::kernel::Boot();
        port = std::make_unique<RecordingPort>();
        com = u::CreateFileA("COM9", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             Overlapped() ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        ASSERT_NE(com, INVALID_HANDLE_VALUE) << "error " << u::GetLastError();
    }
    void TearDown() override {
        if (com != INVALID_HANDLE_VALUE) u::CloseHandle(com);
        port.reset();
        tarvel::kernel::Shutdown();
    }
    bool Overlapped() const { return GetParam(); }

    std::unique_ptr<RecordingPort> port;
    HANDLE com = INVALID_HANDLE_VALUE;
};

inline std::string HandleKind(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "OverlappedHandle" : "SynchronousHandle";
}

} // namespace commtest
