#include "SimStream.h"
#include "TestUtil.h"
#include "relay/IB25Decoder.h"
#include "tuner/IBonDriver.h"
#include "common/TypeProbe.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

using namespace type_probe_detail;

namespace {

// Type information laid out by hand the way Microsoft's compiler does it, in
// a block of memory that stands for the plug-in's image.
class CFakeMsvcImage {
public:
    CFakeMsvcImage(const MsvcLayout& layout, char* base) : layout_(layout), base_(base) {}

    uint32_t Ref(uint32_t offset) const
    {
        return layout_.imageRelative ? offset : static_cast<uint32_t>(reinterpret_cast<uintptr_t>(base_ + offset));
    }
    void TypeDescriptor(uint32_t at, const char* name)
    {
        std::strcpy(base_ + at + 2 * layout_.pointerSize, name);
    }
    void BaseDescriptor(uint32_t at, uint32_t typeDescriptor, int32_t memberDisplacement, uint32_t attributes = 0)
    {
        const uint32_t fields[7] = {Ref(typeDescriptor), 0, static_cast<uint32_t>(memberDisplacement),
                                    0xFFFFFFFFu, 0, attributes, 0};
        std::memcpy(base_ + at, fields, sizeof fields);
    }
    void Hierarchy(uint32_t at, uint32_t arrayAt, std::initializer_list<uint32_t> bases)
    {
        const uint32_t fields[4] = {0, 0, static_cast<uint32_t>(bases.size()), Ref(arrayAt)};
        std::memcpy(base_ + at, fields, sizeof fields);
        uint32_t i = 0;
        for (uint32_t b : bases) {
            const uint32_t r = Ref(b);
            std::memcpy(base_ + arrayAt + 4 * i++, &r, 4);
        }
    }
    void Locator(uint32_t at, uint32_t offset, uint32_t typeDescriptor, uint32_t hierarchy, uint32_t self)
    {
        const uint32_t fields[6] = {layout_.imageRelative ? 1u : 0u, offset, 0, Ref(typeDescriptor), Ref(hierarchy),
                                    self};
        std::memcpy(base_ + at, fields, layout_.imageRelative ? 24 : 20);
    }
    // A table at `at` whose preceding slot points at the locator, and an object
    // at `objectAt` whose first word points at the table.
    void* Object(uint32_t objectAt, uint32_t tableAt, uint32_t locatorAt)
    {
        const uintptr_t locator = reinterpret_cast<uintptr_t>(base_ + locatorAt);
        const uintptr_t table = reinterpret_cast<uintptr_t>(base_ + tableAt);
        std::memcpy(base_ + tableAt - layout_.pointerSize, &locator, layout_.pointerSize);
        std::memcpy(base_ + objectAt, &table, layout_.pointerSize);
        return base_ + objectAt;
    }
    char* Base() const { return base_; }

    // The classic plug-in: CTuner : IBonDriver2 : IBonDriver, one table.
    void* BuildPlugin(bool withInterface2)
    {
        TypeDescriptor(0x100, ".?AVCTuner@@");
        TypeDescriptor(0x180, ".?AVIBonDriver2@@");
        TypeDescriptor(0x200, ".?AVIBonDriver@@");
        BaseDescriptor(0x300, 0x100, 0);
        BaseDescriptor(0x340, 0x180, 0);
        BaseDescriptor(0x380, 0x200, 0);
        if (withInterface2)
            Hierarchy(0x440, 0x400, {0x300, 0x340, 0x380});
        else
            Hierarchy(0x440, 0x400, {0x300, 0x380});
        Locator(0x500, 0, 0x100, 0x440, 0x500);
        return Object(0x700, 0x600, 0x500);
    }

private:
    MsvcLayout layout_;
    char* base_;
};

struct CPages {
    explicit CPages(void* want = nullptr)
    {
        base = static_cast<char*>(VirtualAlloc(want, 0x10000, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    }
    ~CPages()
    {
        if (base) VirtualFree(base, 0, MEM_RELEASE);
    }
    char* base;
};

}  // namespace

TEST(TypeProbe, RecognisesMicrosoftLayoutOfThisTarget)
{
    CPages pages;
    ASSERT_TRUE(pages.base);
    CFakeMsvcImage image(NativeMsvcLayout(), pages.base);
    void* object = image.BuildPlugin(true);
    EXPECT_EQ(ProbeInterface(object, "IBonDriver2"), object);
    EXPECT_EQ(ProbeInterface(object, "IBonDriver"), object);
    EXPECT_EQ(ProbeInterface(object, "IB25Decoder2"), nullptr);
    EXPECT_EQ(AsBonDriver2(static_cast<IBonDriver*>(object)), object);

    // A struct-declared interface is decorated ".?AU".
    image.TypeDescriptor(0x180, ".?AUIBonDriver2@@");
    EXPECT_EQ(ProbeInterface(object, "IBonDriver2"), object);

    // An inaccessible or ambiguous base does not count, as with dynamic_cast.
    image.BaseDescriptor(0x340, 0x180, 0, 0x02);
    EXPECT_EQ(ProbeInterface(object, "IBonDriver2"), nullptr);
}

TEST(TypeProbe, MicrosoftObjectWithoutTheInterface)
{
    CPages pages;
    ASSERT_TRUE(pages.base);
    CFakeMsvcImage image(NativeMsvcLayout(), pages.base);
    void* object = image.BuildPlugin(false);
    EXPECT_EQ(ProbeInterface(object, "IBonDriver2"), nullptr);
    EXPECT_EQ(ProbeInterface(object, "IBonDriver"), object);
}

TEST(TypeProbe, MicrosoftSecondBaseAtAnOffset)
{
    // CTuner : IOther, IBonDriver2 — the IBonDriver2 table sits 8 bytes in.
    CPages pages;
    ASSERT_TRUE(pages.base);
    CFakeMsvcImage image(NativeMsvcLayout(), pages.base);
    image.TypeDescriptor(0x100, ".?AVCTuner@@");
    image.TypeDescriptor(0x180, ".?AVIOther@@");
    image.TypeDescriptor(0x200, ".?AVIBonDriver2@@");
    image.BaseDescriptor(0x300, 0x100, 0);
    image.BaseDescriptor(0x340, 0x180, 0);
    image.BaseDescriptor(0x380, 0x200, 8);
    image.Hierarchy(0x440, 0x400, {0x300, 0x340, 0x380});
    image.Locator(0x500, 8, 0x100, 0x440, 0x500);  // the locator of the second table
    image.Locator(0x540, 0, 0x100, 0x440, 0x540);
    image.Object(0x700, 0x600, 0x540);
    void* second = image.Object(0x708, 0x680, 0x500);
    EXPECT_EQ(ProbeInterface(second, "IBonDriver2"), second);
    EXPECT_EQ(ProbeInterface(second, "IOther"), image.Base() + 0x700);
}

TEST(TypeProbe, RefusesObjectsWithoutReadableTypeInformation)
{
    CPages pages;
    ASSERT_TRUE(pages.base);
    CFakeMsvcImage image(NativeMsvcLayout(), pages.base);
    void* object = image.BuildPlugin(true);
    EXPECT_EQ(ProbeInterface(nullptr, "IBonDriver2"), nullptr);

    // A locator whose self offset disagrees with where it lies.
    image.Locator(0x500, 0, 0x100, 0x440, 0x400);
    if (NativeMsvcLayout().imageRelative) {
        EXPECT_EQ(ProbeInterface(object, "IBonDriver2"), nullptr);
    }

    // No type information before the table (built without it): a null slot.
    image.Object(0x700, 0x600, 0x500);
    std::memset(image.Base() + 0x600 - sizeof(void*), 0, sizeof(void*));
    EXPECT_EQ(ProbeInterface(object, "IBonDriver2"), nullptr);

    // A slot pointing into memory that cannot be read.
    DWORD old;
    ASSERT_TRUE(VirtualProtect(image.Base() + 0x8000, 0x1000, PAGE_NOACCESS, &old));
    char* unreadable = image.Base() + 0x8000;
    std::memcpy(image.Base() + 0x600 - sizeof(void*), &unreadable, sizeof(void*));
    EXPECT_EQ(ProbeInterface(object, "IBonDriver2"), nullptr);

    // A slot pointing at plain data that looks like nothing.
    std::memset(image.Base() + 0x900, 0x41, 0x100);
    char* junk = image.Base() + 0x900;
    std::memcpy(image.Base() + 0x600 - sizeof(void*), &junk, sizeof(void*));
    EXPECT_EQ(ProbeInterface(object, "IBonDriver2"), nullptr);
}

TEST(TypeProbe, Microsoft32BitLayoutWithAbsolutePointers)
{
    // The 32-bit layout, walked here with memory below 4 GB.
    CPages* pages = nullptr;
    for (uintptr_t at = 0x20000000; at < 0x80000000 && !pages; at += 0x01000000) {
        auto* p = new CPages(reinterpret_cast<void*>(at));
        if (p->base) {
            pages = p;
        } else {
            delete p;
        }
    }
    if (!pages) GTEST_SKIP() << "no memory below 4 GB";
    const MsvcLayout x86{false, 4};
    CFakeMsvcImage image(x86, pages->base);
    image.BuildPlugin(true);
    char* object = pages->base + 0x700;
    EXPECT_EQ(ProbeMsvc(object, pages->base + 0x500, x86, "IBonDriver2"), object);
    image.BuildPlugin(false);
    EXPECT_EQ(ProbeMsvc(object, pages->base + 0x500, x86, "IBonDriver2"), nullptr);
    delete pages;
}

// Outside the anonymous namespace, so that its type name is the plain one.
struct IOther {
    virtual void Other() = 0;
    int data = 5;
};

namespace {
template <typename Interface>
struct CGccSlots : Interface {
    BOOL32 Open() override { return 1; }
    void Close() override {}
    BOOL32 TuneInSpace(uint8_t) override { return 0; }
    float ReadLevel() override { return 0; }
    uint32_t WaitForStream(uint32_t) override { return kStreamTimedOut; }
    uint32_t ReadyBlocks() override { return 0; }
    BOOL32 FetchBlock(uint8_t**, uint32_t*, uint32_t*) override { return 0; }
    BOOL32 CopyStream(uint8_t*, uint32_t*, uint32_t*) override { return 0; }
    void Discard() override {}
    void Destroy() override {}
};
struct CGccTuner : CGccSlots<IBonDriver2> {
    const wchar_t* TunerName() override { return nullptr; }
    BOOL32 IsOpen() override { return 0; }
    const wchar_t* SpaceName(uint32_t) override { return nullptr; }
    const wchar_t* ChannelName(uint32_t, uint32_t) override { return nullptr; }
    BOOL32 Tune(uint32_t, uint32_t) override { return 0; }
    uint32_t CurrentSpace() override { return kNotTuned; }
    uint32_t CurrentChannel() override { return kNotTuned; }
};
struct CGccOld final : CGccSlots<IBonDriver> {};
struct CGccMulti final : IOther, CGccTuner {
    void Other() override {}
};
}  // namespace

TEST(TypeProbe, RecognisesGccObjects)
{
    CGccTuner tuner;
    IBonDriver* asBase = &tuner;
    EXPECT_EQ(AsBonDriver2(asBase), static_cast<IBonDriver2*>(&tuner));

    CGccOld old;
    EXPECT_EQ(AsBonDriver2(&old), nullptr);
    EXPECT_EQ(ProbeInterface(static_cast<IBonDriver*>(&old), "IBonDriver"), static_cast<IBonDriver*>(&old));

    // A second base at an offset: the probe finds the complete object first.
    CGccMulti multi;
    IBonDriver* inner = &multi;
    ASSERT_NE(static_cast<void*>(inner), static_cast<void*>(&multi));
    EXPECT_EQ(AsBonDriver2(inner), static_cast<IBonDriver2*>(&multi));
    EXPECT_EQ(ProbeInterface(inner, "IOther"), static_cast<IOther*>(&multi));
}

// The test plug-ins are built by clang in Microsoft's ABI, as users' plug-ins
// are built by Microsoft's compiler: their type information is the real thing,
// in this build's bitness.
namespace {

std::string Narrow(const std::wstring& w)
{
    return std::string(w.begin(), w.end());
}

// A copy of a test plug-in under its own name, with its own settings file,
// loaded from the test's folder.
CModule LoadCopy(const CTempDir& dir, const wchar_t* binName, const std::wstring& name, const std::string& ini)
{
    if (!CopyFromBin(binName, dir, name + L".dll") || !WriteTextFile(dir.File(name + L".ini"), ini)) return CModule();
    return CModule(LoadLibraryW(dir.File(name + L".dll").c_str()));
}

template <typename Fn>
Fn Factory(const CModule& module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module.Get(), name)));
}

bool LogHas(const std::wstring& log, const char* line)
{
    std::string text = "\n";
    text += ReadTextFile(log);
    std::string wanted = "\n";
    wanted += line;
    wanted += "\n";
    return text.find(wanted) != std::string::npos;
}

}  // namespace

TEST(TypeProbe, FindsIBonDriver2InEachLayoutOfARealPlugin)
{
    CTempDir dir(L"probelayouts");
    // Layout 0: the interfaces are the object's only base; 1: a second base,
    // after CSimDevice; 2: a virtual base, behind the object's members.
    const char* completeClass[] = {"CSimDriver2", "CSimDriverAtOffset", "CSimDriverVirtual"};
    for (int layout = 0; layout < 3; ++layout) {
        SCOPED_TRACE("Layout=" + std::to_string(layout));
        const std::wstring name = L"BonDriver_Layout" + std::to_wstring(layout);
        const std::wstring log = dir.File(name + L".log");
        CModule module = LoadCopy(dir, L"BonDriver_Sim.dll", name,
                                  "[Sim]\r\nSpaces=TS\r\nRateKBps=0\r\nLayout=" + std::to_string(layout) +
                                      "\r\nLog=" + Narrow(log) + "\r\n");
        ASSERT_TRUE(module);
        auto create = Factory<CreateBonDriverFn>(module, kCreateBonDriverExport);
        ASSERT_TRUE(create);
        IBonDriver* driver = create();
        ASSERT_TRUE(driver);

        char* complete = static_cast<char*>(ProbeInterface(driver, completeClass[layout]));
        ASSERT_TRUE(complete);
        if (layout == 0) {
            EXPECT_EQ(complete, reinterpret_cast<char*>(driver));
        } else {
            EXPECT_LT(complete, reinterpret_cast<char*>(driver));
        }
        if (layout == 1) {
            EXPECT_EQ(ProbeInterface(driver, "CSimDevice"), complete);
        }

        // IBonDriver2 extends IBonDriver's table, so both start at the same place.
        IBonDriver2* driver2 = AsBonDriver2(driver);
        ASSERT_EQ(static_cast<void*>(driver2), static_cast<void*>(driver));
        EXPECT_STREQ(driver2->SpaceName(3), L"BS");
        EXPECT_STREQ(driver2->ChannelName(1, 0), L"C13ch");
        EXPECT_EQ(driver2->SpaceName(5), nullptr);
        ASSERT_TRUE(driver->Open());
        EXPECT_TRUE(driver2->Tune(4, 5));
        uint8_t* data = nullptr;
        uint32_t size = 0, waiting = 0;
        ASSERT_TRUE(driver->FetchBlock(&data, &size, &waiting));
        ASSERT_GE(size, 3 * kTsPacketSize);
        SimPayload p{};
        ASSERT_TRUE(ParseSimPayload(data + 2 * kTsPacketSize, p));  // after the PAT and the PMT
        EXPECT_EQ(p.space, 4u);
        EXPECT_EQ(p.channel, 5u);
        driver->Close();
        driver->Destroy();
        EXPECT_TRUE(LogHas(log, "tune 4 5"));
        EXPECT_TRUE(LogHas(log, "destroy"));
    }
}

TEST(TypeProbe, RefusesARealPluginWithoutIBonDriver2)
{
    CTempDir dir(L"probeold");
    CModule module = LoadCopy(dir, L"BonDriver_Sim.dll", L"BonDriver_Old", "[Sim]\r\nNoInterface2=1\r\n");
    ASSERT_TRUE(module);
    auto create = Factory<CreateBonDriverFn>(module, kCreateBonDriverExport);
    ASSERT_TRUE(create);
    IBonDriver* driver = create();
    ASSERT_TRUE(driver);
    EXPECT_EQ(AsBonDriver2(driver), nullptr);
    EXPECT_EQ(ProbeInterface(driver, "IBonDriver"), driver);  // its type information is read all the same
    driver->Destroy();
}

TEST(TypeProbe, TellsARealDescramblerWithIB25Decoder2FromOneWithout)
{
    CTempDir dir(L"probeb25");
    for (int without = 0; without < 2; ++without) {
        SCOPED_TRACE(without ? "NoInterface2=1" : "both interfaces");
        const std::wstring name = without ? L"b25_one" : L"b25_two";
        const std::wstring log = dir.File(name + L".log");
        CModule module = LoadCopy(dir, L"b25decoder.dll", name,
                                  "[B25]\r\nNoInterface2=" + std::to_string(without) + "\r\nLog=" + Narrow(log) + "\r\n");
        ASSERT_TRUE(module);
        auto create = Factory<CreateB25DecoderFn>(module, kCreateB25DecoderExport);
        ASSERT_TRUE(create);
        IB25Decoder* decoder = create();
        ASSERT_TRUE(decoder);
        ASSERT_TRUE(decoder->StartUp(kDescramblerStartUpValue));
        auto* decoder2 = static_cast<IB25Decoder2*>(ProbeInterface(decoder, "IB25Decoder2"));
        if (without) {
            EXPECT_EQ(decoder2, nullptr);
        } else {
            ASSERT_EQ(static_cast<void*>(decoder2), static_cast<void*>(decoder));
            decoder2->Configure(0);
            EXPECT_TRUE(LogHas(log, "configure"));
        }
        const uint8_t in[4] = {1, 2, 3, 4};
        uint8_t* out = nullptr;
        uint32_t outSize = 0;
        ASSERT_TRUE(decoder->Decode(in, 4, &out, &outSize));
        ASSERT_EQ(outSize, 4u);
        EXPECT_EQ(out[0] ^ out[1], 1 ^ 2);  // one key over every byte
        decoder->Release();
    }
}
