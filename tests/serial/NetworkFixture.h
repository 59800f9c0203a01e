#pragma once
// What the tests of network ports share: a backend of their own with short
// times, the port they open (closed at the end), and line settings.
#include "CommLinux.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

using namespace kv52804;

class TNetworkFixture : public testing::Test {
protected:
    explicit TNetworkFixture(std::chrono::milliseconds openTime) : FOpenTime(openTime) {}
    void SetUp() override { FApi.SetNetworkTimes(FOpenTime, std::chrono::milliseconds(500)); }
    void TearDown() override {
        if (FPort != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(FApi.CloseHandle(FPort));
        }
    }
    HANDLE Open(const std::string& url) {
        return FApi.CreateFile(url, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED);
    }
    static DCB State(DWORD baud, BYTE size, BYTE parity, BYTE stop) {
        DCB d;
        d.BaudRate = baud;
        d.Flags = DCB_BINARY;
        d.ByteSize = size;
        d.Parity = parity;
        d.StopBits = stop;
        d.XonChar = 17;
        d.XoffChar = 19;
        return d;
    }

    const std::chrono::milliseconds FOpenTime;
    CommLinux FApi;
    HANDLE FPort = INVALID_HANDLE_VALUE;
};
