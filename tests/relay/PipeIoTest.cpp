// How an overlapped connect ends, which decides whether a worker listens again
// at once or counts a connection as made.
#include "relay/PipeIo.h"

#include <gtest/gtest.h>

TEST(PipeIo, AVisitorThatLeftBeforeTheConnectIsNoConnection)
{
    const wchar_t* name = L"\\\\.\\pipe\\TunerHost_PipeIoTest";
    CWorkerGate gate;
    CHandle ioEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    CHandle listening(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    OVERLAPPED ov = {};
    ov.hEvent = ioEvent.Get();
    auto instance = [&] {
        return CFileHandle(CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_MESSAGE, 1, 256,
                                            256, 0, nullptr));
    };
    {   // opened and closed before the connect
        CFileHandle pipe = instance();
        ASSERT_TRUE(pipe);
        CloseHandle(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_EQ(ConnectPipe(pipe.Get(), ov, gate, listening.Get()), PipeIoResult::FailedAtOnce);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DATA));
        EXPECT_NE(WaitForSingleObject(listening.Get(), 0), WAIT_OBJECT_0);
    }
    {   // opened before the connect and still there: a connection
        CFileHandle pipe = instance();
        CFileHandle client(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(client);
        EXPECT_EQ(ConnectPipe(pipe.Get(), ov, gate, listening.Get()), PipeIoResult::Done);
    }
}
