// What the headers at the start of a PE file say, read from the file without
// loading it (no code of it runs): the machine it is built for and the names
// of its sections.
#pragma once
#include <windows.h>

#include <array>
#include <string>
#include <vector>

struct CPeHead {
    WORD machine = 0;
    std::vector<std::array<char, IMAGE_SIZEOF_SHORT_NAME>> sections;  // NUL-padded, as stored
};

// False when the file cannot be read as a PE file. Sections whose headers lie
// beyond the first 4 kB, where linkers never put them, are not listed.
bool ReadPeHead(const std::wstring& path, CPeHead& out);
