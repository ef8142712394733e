#include "common/TypeProbe.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace type_probe_detail {

namespace {

constexpr size_t kMaxNameLength = 512;
constexpr uint32_t kMaxBaseClasses = 1024;
constexpr int kMaxDepth = 32;

template <typename T>
bool Read(const void* p, T& out)
{
    if (!IsReadable(p, sizeof(T))) return false;
    std::memcpy(&out, p, sizeof(T));
    return true;
}

bool ReadPointer(const void* p, size_t size, uintptr_t& out)
{
    if (size == 4) {
        uint32_t v;
        if (!Read(p, v)) return false;
        out = v;
        return true;
    }
    uint64_t v;
    if (!Read(p, v)) return false;
    out = static_cast<uintptr_t>(v);
    return true;
}

// Reads a NUL-terminated string of at most kMaxNameLength bytes.
bool ReadName(const char* p, std::string& out)
{
    out.clear();
    for (size_t i = 0; i < kMaxNameLength; ++i) {
        char c;
        if (!Read(p + i, c)) return false;
        if (c == 0) return true;
        out.push_back(c);
    }
    return false;
}

// ---- Microsoft's layout ----

struct MsvcLocator {
    uint32_t signature;
    uint32_t offset;           // of this table's subobject within the complete object
    uint32_t constructorDisplacement;
    uint32_t typeDescriptor;
    uint32_t hierarchy;
    uint32_t self;             // image-relative layout only
};
struct MsvcHierarchy {
    uint32_t signature;
    uint32_t attributes;
    uint32_t baseCount;
    uint32_t baseArray;
};
struct MsvcBaseDescriptor {
    uint32_t typeDescriptor;
    uint32_t containedBases;
    int32_t memberDisplacement;
    int32_t vbtableDisplacement;  // -1: not a virtual base
    int32_t vbtableIndexOffset;
    uint32_t attributes;
};
constexpr uint32_t kBaseNotVisible = 0x01;
constexpr uint32_t kBaseAmbiguous = 0x02;
constexpr uint32_t kBasePrivate = 0x04;

bool MsvcNameMatches(const std::string& decorated, const char* className)
{
    // ".?AV" for a class, ".?AU" for a struct, then the name and "@@".
    const std::string name(className);
    return decorated == ".?AV" + name + "@@" || decorated == ".?AU" + name + "@@";
}

}  // namespace

MsvcLayout NativeMsvcLayout()
{
    return MsvcLayout{sizeof(void*) == 8, sizeof(void*)};
}

void* ProbeMsvc(void* object, const void* locatorAddress, const MsvcLayout& layout, const char* className)
{
    MsvcLocator locator;
    const size_t locatorSize = layout.imageRelative ? sizeof(MsvcLocator) : sizeof(MsvcLocator) - 4;
    if (!IsReadable(locatorAddress, locatorSize)) return nullptr;
    std::memcpy(&locator, locatorAddress, locatorSize);

    uintptr_t imageBase = 0;
    if (layout.imageRelative) {
        if (locator.signature != 1) return nullptr;
        const uintptr_t at = reinterpret_cast<uintptr_t>(locatorAddress);
        if (locator.self > at) return nullptr;
        imageBase = at - locator.self;
    } else if (locator.signature != 0) {
        return nullptr;
    }
    auto resolve = [&](uint32_t ref) -> const char* {
        if (ref == 0) return nullptr;
        return reinterpret_cast<const char*>(imageBase + ref);
    };

    MsvcHierarchy hierarchy;
    if (!Read(resolve(locator.hierarchy), hierarchy)) return nullptr;
    if (hierarchy.baseCount == 0 || hierarchy.baseCount > kMaxBaseClasses) return nullptr;
    const char* baseArray = resolve(hierarchy.baseArray);
    if (!IsReadable(baseArray, size_t{hierarchy.baseCount} * 4)) return nullptr;

    char* complete = static_cast<char*>(object) - locator.offset;
    const size_t nameOffset = 2 * layout.pointerSize;  // after the descriptor's table pointer and spare word
    std::string name;
    for (uint32_t i = 0; i < hierarchy.baseCount; ++i) {
        uint32_t ref;
        std::memcpy(&ref, baseArray + size_t{i} * 4, 4);
        MsvcBaseDescriptor base;
        if (!Read(resolve(ref), base)) return nullptr;
        const char* descriptor = resolve(base.typeDescriptor);
        if (!descriptor || !ReadName(descriptor + nameOffset, name)) return nullptr;
        if (!MsvcNameMatches(name, className)) continue;
        if (base.attributes & (kBaseNotVisible | kBaseAmbiguous | kBasePrivate)) continue;
        if (base.vbtableDisplacement < 0) return complete + base.memberDisplacement;
        // A virtual base: its offset sits in the virtual-base table.
        uintptr_t vbtable;
        if (!ReadPointer(complete + base.vbtableDisplacement, layout.pointerSize, vbtable)) return nullptr;
        int32_t vbaseOffset;
        if (!Read(reinterpret_cast<const char*>(vbtable) + base.vbtableIndexOffset, vbaseOffset)) return nullptr;
        return complete + base.vbtableDisplacement + vbaseOffset + base.memberDisplacement;
    }
    return nullptr;
}

// ---- GCC's layout (Itanium C++ ABI) ----

namespace {

enum class GccKind { Leaf, Single, Multiple, Unknown };

// A type_info's own class is told by the name in its table's type information.
GccKind GccKindOf(const char* typeInfo)
{
    uintptr_t vtable;
    if (!ReadPointer(typeInfo, sizeof(void*), vtable)) return GccKind::Unknown;
    uintptr_t metaInfo;
    if (!ReadPointer(reinterpret_cast<const char*>(vtable) - sizeof(void*), sizeof(void*), metaInfo))
        return GccKind::Unknown;
    uintptr_t namePtr;
    if (!ReadPointer(reinterpret_cast<const char*>(metaInfo) + sizeof(void*), sizeof(void*), namePtr))
        return GccKind::Unknown;
    std::string name;
    if (!ReadName(reinterpret_cast<const char*>(namePtr), name)) return GccKind::Unknown;
    if (name == "N10__cxxabiv117__class_type_infoE") return GccKind::Leaf;
    if (name == "N10__cxxabiv120__si_class_type_infoE") return GccKind::Single;
    if (name == "N10__cxxabiv121__vmi_class_type_infoE") return GccKind::Multiple;
    return GccKind::Unknown;
}

bool GccNameOf(const char* typeInfo, std::string& out)
{
    uintptr_t namePtr;
    if (!ReadPointer(typeInfo + sizeof(void*), sizeof(void*), namePtr)) return false;
    if (!ReadName(reinterpret_cast<const char*>(namePtr), out)) return false;
    if (!out.empty() && out[0] == '*') out.erase(0, 1);  // marks a name of internal linkage
    return true;
}

char* GccFind(const char* typeInfo, char* subobject, const std::string& wanted, int depth)
{
    if (depth > kMaxDepth) return nullptr;
    std::string name;
    if (!GccNameOf(typeInfo, name)) return nullptr;
    if (name == wanted) return subobject;

    switch (GccKindOf(typeInfo)) {
    case GccKind::Single: {
        uintptr_t base;
        if (!ReadPointer(typeInfo + 2 * sizeof(void*), sizeof(void*), base)) return nullptr;
        return GccFind(reinterpret_cast<const char*>(base), subobject, wanted, depth + 1);
    }
    case GccKind::Multiple: {
        const char* fields = typeInfo + 2 * sizeof(void*);
        uint32_t baseCount;
        if (!Read(fields + 4, baseCount) || baseCount > kMaxBaseClasses) return nullptr;
        const char* entries = fields + 8;
        for (uint32_t i = 0; i < baseCount; ++i) {
            const char* entry = entries + size_t{i} * 2 * sizeof(void*);
            uintptr_t base;
            intptr_t offsetFlags;
            if (!ReadPointer(entry, sizeof(void*), base)) return nullptr;
            if (!Read(entry + sizeof(void*), offsetFlags)) return nullptr;
            const bool isVirtual = offsetFlags & 1;
            const bool isPublic = offsetFlags & 2;
            if (!isPublic) continue;
            const intptr_t offset = offsetFlags >> 8;
            char* baseObject;
            if (isVirtual) {
                // The offset names the slot of the table that holds the base's offset.
                uintptr_t vtable;
                intptr_t vbaseOffset;
                if (!ReadPointer(subobject, sizeof(void*), vtable)) return nullptr;
                if (!Read(reinterpret_cast<const char*>(vtable) + offset, vbaseOffset)) return nullptr;
                baseObject = subobject + vbaseOffset;
            } else {
                baseObject = subobject + offset;
            }
            if (char* found = GccFind(reinterpret_cast<const char*>(base), baseObject, wanted, depth + 1))
                return found;
        }
        return nullptr;
    }
    default:
        return nullptr;
    }
}

}  // namespace

void* ProbeGcc(void* object, const char* className)
{
    uintptr_t vtable;
    if (!ReadPointer(object, sizeof(void*), vtable)) return nullptr;
    const char* table = reinterpret_cast<const char*>(vtable);
    uintptr_t typeInfo;
    intptr_t offsetToTop;
    if (!ReadPointer(table - sizeof(void*), sizeof(void*), typeInfo)) return nullptr;
    if (!Read(table - 2 * sizeof(void*), offsetToTop)) return nullptr;
    if (GccKindOf(reinterpret_cast<const char*>(typeInfo)) == GccKind::Unknown) return nullptr;
    const std::string wanted = std::to_string(std::strlen(className)) + className;
    char* complete = static_cast<char*>(object) + offsetToTop;
    return GccFind(reinterpret_cast<const char*>(typeInfo), complete, wanted, 0);
}

}  // namespace type_probe_detail

void* ProbeInterface(void* object, const char* className)
{
    using namespace type_probe_detail;
    uintptr_t vtable;
    if (!object || !IsReadable(object, sizeof(void*))) return nullptr;
    std::memcpy(&vtable, object, sizeof(void*));
    uintptr_t locator;
    if (!IsReadable(reinterpret_cast<const char*>(vtable) - sizeof(void*), sizeof(void*))) return nullptr;
    std::memcpy(&locator, reinterpret_cast<const char*>(vtable) - sizeof(void*), sizeof(void*));

    // Microsoft's locator starts with a small signature; GCC's type_info with
    // a pointer, which is never 0 or 1.
    uint32_t signature;
    if (!Read(reinterpret_cast<const void*>(locator), signature)) return nullptr;
    const MsvcLayout native = NativeMsvcLayout();
    if (signature == (native.imageRelative ? 1u : 0u))
        return ProbeMsvc(object, reinterpret_cast<const void*>(locator), native, className);
    return ProbeGcc(object, className);
}
