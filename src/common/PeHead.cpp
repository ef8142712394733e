#include "common/PeHead.h"

#include "common/WinHandle.h"

#include <cstring>

bool ReadPeHead(const std::wstring& path, CPeHead& out)
{
    out = {};
    CFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    uint8_t head[4096] = {};
    DWORD got = 0;
    if (!ReadFile(file.Get(), head, sizeof head, &got, nullptr) || got < sizeof(IMAGE_DOS_HEADER)) return false;
    IMAGE_DOS_HEADER dos;
    std::memcpy(&dos, head, sizeof dos);
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0) return false;
    const size_t at = static_cast<size_t>(dos.e_lfanew);
    if (at > got || got - at < sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER)) return false;
    DWORD signature = 0;
    std::memcpy(&signature, head + at, sizeof signature);
    if (signature != IMAGE_NT_SIGNATURE) return false;
    IMAGE_FILE_HEADER fileHeader;
    std::memcpy(&fileHeader, head + at + sizeof signature, sizeof fileHeader);
    out.machine = fileHeader.Machine;
    size_t section = at + sizeof signature + sizeof fileHeader + fileHeader.SizeOfOptionalHeader;
    for (WORD i = 0; i < fileHeader.NumberOfSections && section <= got && got - section >= IMAGE_SIZEOF_SECTION_HEADER;
         ++i, section += IMAGE_SIZEOF_SECTION_HEADER) {
        std::array<char, IMAGE_SIZEOF_SHORT_NAME> name;
        std::memcpy(name.data(), head + section, name.size());
        out.sections.push_back(name);
    }
    return true;
}
