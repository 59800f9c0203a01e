// The recording fake: what port tests rely on it for.
#include "CommRecording.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

using namespace kv52804;

namespace {

HANDLE OpenPort(CommRecording& api) {
    return api.CreateFile("/dev/ttyS7", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED);
}

TEST(PlatformRecording, RecordsCallsWithCopiesOfTheirRecords) {
    CommRecording api;
    HANDLE h = OpenPort(api);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb;
    dcb.BaudRate = 115200;
    dcb.Flags = DCB_BINARY | DCB_OUTX;
    dcb.XonLim = 256;
    EXPECT_TRUE(api.SetupComm(h, 1024, 2048));
    EXPECT_TRUE(api.SetCommState(h, dcb));
    dcb.BaudRate = 1; // the recorded copy must not follow
    EXPECT_TRUE(api.SetCommTimeouts(h, {MAXDWORD, 0, 0, 100, 1000}));
    EXPECT_TRUE(api.PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT));
    EXPECT_TRUE(api.CloseHandle(h));

    EXPECT_EQ(api.CallNames(),
              (std::vector<std::string>{"CreateFile", "SetupComm", "SetCommState",
                                        "SetCommTimeouts", "PurgeComm", "CloseHandle"}));
    auto calls = api.Calls();
    EXPECT_EQ(calls[0].Path, "/dev/ttyS7");
    EXPECT_EQ(calls[0].Arg1, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(calls[0].Arg3, OPEN_EXISTING);
    EXPECT_EQ(calls[0].Arg4, FILE_FLAG_OVERLAPPED);
    EXPECT_EQ(calls[1].Arg1, 1024u);
    EXPECT_EQ(calls[1].Arg2, 2048u);
    ASSERT_TRUE(calls[2].Dcb);
    EXPECT_EQ(calls[2].Dcb->BaudRate, 115200u);
    EXPECT_EQ(calls[2].Dcb->Flags, DCB_BINARY | DCB_OUTX);
    ASSERT_TRUE(calls[3].Timeouts);
    EXPECT_EQ(calls[3].Timeouts->ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(calls[3].Timeouts->WriteTotalTimeoutConstant, 1000u);
    EXPECT_EQ(calls[4].Arg1, 3u);
    EXPECT_FALSE(api.IsOpen(h));
}

TEST(PlatformRecording, InjectsAnErrnoAtTheNthCall) {
    CommRecording api;
    api.FailAt("SetCommState", EINVAL, 2);
    api.FailAt("CreateFile", ENOENT);
    EXPECT_EQ(OpenPort(api), INVALID_HANDLE_VALUE);
    EXPECT_EQ(api.GetLastError(), static_cast<DWORD>(ENOENT));
    HANDLE h = OpenPort(api);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb;
    EXPECT_TRUE(api.SetCommState(h, dcb));
    EXPECT_FALSE(api.SetCommState(h, dcb));
    EXPECT_EQ(api.GetLastError(), static_cast<DWORD>(EINVAL));
    EXPECT_TRUE(api.SetCommState(h, dcb));
    auto calls = api.CallsNamed("SetCommState");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_TRUE(calls[0].Result);
    EXPECT_FALSE(calls[1].Result);
    EXPECT_EQ(calls[1].Error, static_cast<DWORD>(EINVAL));
    // Not open: EBADF, as the real backend.
    EXPECT_FALSE(api.SetupComm(HANDLE{9999}, 1, 1));
    EXPECT_EQ(api.GetLastError(), static_cast<DWORD>(EBADF));
}

TEST(PlatformRecording, ScriptedCommEventsReleaseAWaitingThread) {
    CommRecording api;
    HANDLE h = OpenPort(api);
    HANDLE stop = api.CreateEvent(true, false);
    OVERLAPPED ov{};
    ov.hEvent = api.CreateEvent(true, true);
    ASSERT_TRUE(api.SetCommMask(h, EV_ALL));

    std::vector<DWORD> seen;
    std::thread watcher([&] {
        for (;;) {
            DWORD mask = 0, n;
            api.WaitCommEvent(h, &mask, &ov);
            HANDLE both[2] = {stop, ov.hEvent};
            if (api.WaitForMultipleObjects(2, both, false, INFINITE) != WAIT_OBJECT_0 + 1)
                return;
            if (api.GetOverlappedResult(h, &ov, &n, false))
                seen.push_back(mask);
        }
    });
    ASSERT_TRUE(api.WaitForCalls("WaitCommEvent", 1));
    api.QueueCommEvent(EV_RXCHAR | EV_ERR);
    api.QueueCommEventError(EIO);
    api.QueueCommEvent(EV_CTS);
    ASSERT_TRUE(api.WaitForCalls("WaitCommEvent", 4));
    api.SetEvent(stop);
    watcher.join();
    EXPECT_EQ(seen, (std::vector<DWORD>{EV_RXCHAR | EV_ERR, EV_CTS}));
    auto results = api.CallsNamed("GetOverlappedResult");
    ASSERT_EQ(results.size(), 3u);
    EXPECT_FALSE(results[1].Result);
    EXPECT_EQ(results[1].Error, static_cast<DWORD>(EIO));

    api.CloseHandle(ov.hEvent);
    api.CloseHandle(stop);
    api.CloseHandle(h);
    EXPECT_EQ(api.OpenEventCount(), 0);
}

TEST(PlatformRecording, ScriptedStatusAndTransfers) {
    CommRecording api;
    HANDLE h = OpenPort(api);
    api.SetModemStatus(MS_CTS_ON | MS_RLSD_ON);
    api.QueueLineErrors(CE_FRAME | CE_RXPARITY);
    api.QueueReadData("abc");
    DWORD status = 0, errors = 0;
    COMSTAT stat;
    EXPECT_TRUE(api.GetCommModemStatus(h, &status));
    EXPECT_EQ(status, MS_CTS_ON | MS_RLSD_ON);
    EXPECT_TRUE(api.ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, CE_FRAME | CE_RXPARITY);
    EXPECT_EQ(stat.cbInQue, 3u);
    EXPECT_TRUE(api.ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, 0u); // read and cleared

    OVERLAPPED ov{};
    ov.hEvent = api.CreateEvent(true, true);
    DWORD n = 0;
    // A write cut short, started as pending: the count arrives through the record.
    api.QueueWriteResult({2, 0, true});
    EXPECT_FALSE(api.WriteFile(h, "\x80\x00\xFF", 3, &n, &ov));
    EXPECT_EQ(api.GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(api.WaitForSingleObject(ov.hEvent, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(api.GetOverlappedResult(h, &ov, &n, false));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(api.CallsNamed("WriteFile")[0].Data, std::string("\x80\x00\xFF", 3));
    // A refused write.
    api.QueueWriteResult({0, EIO, false});
    EXPECT_FALSE(api.WriteFile(h, "x", 1, &n, &ov));
    EXPECT_EQ(api.GetLastError(), static_cast<DWORD>(EIO));

    char buf[8];
    EXPECT_TRUE(api.ReadFile(h, buf, 2, &n, &ov));
    EXPECT_EQ(std::string(buf, n), "ab");
    api.CloseHandle(ov.hEvent);
    api.CloseHandle(h);
}

} // namespace
