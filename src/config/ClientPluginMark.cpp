#include "config/ClientPluginMark.h"

#include "common/PeHead.h"

#include <cstring>

bool IsClientPluginFile(const wchar_t* path)
{
    static_assert(sizeof TUNERHOST_CLIENT_PLUGIN_SECTION <= IMAGE_SIZEOF_SHORT_NAME + 1);
    CPeHead head;
    if (!ReadPeHead(path, head)) return false;
    char mark[IMAGE_SIZEOF_SHORT_NAME] = {};
    std::memcpy(mark, TUNERHOST_CLIENT_PLUGIN_SECTION, sizeof TUNERHOST_CLIENT_PLUGIN_SECTION - 1);
    for (const auto& name : head.sections)
        if (std::memcmp(name.data(), mark, sizeof mark) == 0) return true;
    return false;
}
