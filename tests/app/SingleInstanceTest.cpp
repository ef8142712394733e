#include "TestUtil.h"
#include "common/WinHandle.h"
#include "relay/PipeNames.h"

#include <gtest/gtest.h>

#include <cstring>


TEST(SingleInstance, SecondInstanceEndsAtOnceAndExitStopsTheFirst)
{
    CTempDir dir(L"instance");
    ASSERT_TRUE(CopyFromBin(L"TunerHost.exe", dir, L"TunerHost.exe"));
    ASSERT_TRUE(CopyPlugHosts(dir));
    ASSERT_TRUE(CopyFromBin(L"BonDriver_Sim.dll", dir, L"BonDriver_Sim.dll"));
    const std::wstring log = dir.File(L"sim.log");
    WriteTextFile(dir.File(L"BonDriver_Sim.ini"), "[Sim]\r\nLog=" + std::string(log.begin(), log.end()) + "\r\n");
    WriteTextFile(dir.File(L"TunerHost.ini"), "[Config]\r\nDriverNameT=BonDriver_Sim.dll\r\nDriverNameS=\r\n");

    CChild first;
    ASSERT_TRUE(first.Start(dir.File(L"TunerHost.exe"), dir.Path()));
    HWND window = WaitForWindow(first, 30000);
    ASSERT_TRUE(window) << "TunerHost did not create its window";
    // The catalogue probed the plug-in fully at start-up.
    EXPECT_EQ(ReadTextFile(log), "load\ncreate\nopen\nclose\ndestroy\nunload\n");

    CChild second;
    ASSERT_TRUE(second.Start(dir.File(L"TunerHost.exe"), dir.Path()));
    DWORD code = 99;
    ASSERT_TRUE(second.WaitExit(10000, code)) << "second instance kept running";
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(first.Running());
    EXPECT_EQ(Search(0).count, 1) << "exactly one TunerHost window";
    // The second instance read nothing: the plug-in was not probed again.
    EXPECT_EQ(ReadTextFile(log), "load\ncreate\nopen\nclose\ndestroy\nunload\n");

    // The tray menu's Exit.
    ASSERT_TRUE(PostMessageW(window, WM_COMMAND, 111, 0));
    ASSERT_TRUE(first.WaitExit(10000, code)) << "Exit did not end TunerHost";
    EXPECT_EQ(code, 0u);
}

TEST(SingleInstance, ExecutableWithoutExtensionEndsQuietly)
{
    CTempDir dir(L"noext");
    ASSERT_TRUE(CopyFromBin(L"TunerHost.exe", dir, L"TunerHost"));
    CChild child;
    // Named with its full path, a program needs no extension to start.
    ASSERT_TRUE(child.Start(dir.File(L"TunerHost"), dir.Path())) << GetLastError();
    DWORD code = 99;
    ASSERT_TRUE(child.WaitExit(20000, code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(GetFileAttributesW(dir.File(L"TunerHost.ini").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(Search(child.Pid()).found, nullptr);
}

TEST(SingleInstance, ExecutableHoldsNoPlainPipeName)
{
    const std::string exe = ReadTextFile(BinDir() + L"\\TunerHost.exe");
    ASSERT_FALSE(exe.empty());
    for (const wchar_t* name : {kPlainPipeNameDataT, kPlainPipeNameControlT, kPlainPipeNameDataS, kPlainPipeNameControlS}) {
        const std::string bytes(reinterpret_cast<const char*>(name + 9), (wcslen(name) - 9) * 2);
        EXPECT_EQ(exe.find(bytes), std::string::npos);
    }
}
