#include "relay/PipeSecurity.h"

#include "common/WinHandle.h"

#include <sddl.h>

#include <string>

namespace {

// The SID of the user the process runs as, in its string form.
std::wstring OwnUserSid()
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
    CHandle token(raw);
    DWORD size = 0;
    GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    if (size == 0) return {};
    std::string buffer(size, '\0');
    if (!GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size)) return {};
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) return {};
    std::wstring sid(text);
    LocalFree(text);
    return sid;
}

struct CPipeSecurity {
    CPipeSecurity()
    {
        const std::wstring user = OwnUserSid();
        if (user.empty()) return;
        // Protected: nothing inherited. No-read-up as well as no-write-up, so
        // that a low-integrity process cannot even read a stream.
        const std::wstring sddl = L"D:P(A;;GA;;;SY)(A;;GA;;;" + user + L")S:(ML;;NWNR;;;ME)";
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                  nullptr))
            descriptor = nullptr;
        attributes = {sizeof attributes, descriptor, FALSE};
    }
    ~CPipeSecurity()
    {
        if (descriptor) LocalFree(descriptor);
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_ATTRIBUTES attributes = {};
};

}  // namespace

SECURITY_ATTRIBUTES* OwnPipeSecurity()
{
    static CPipeSecurity security;
    return security.descriptor ? &security.attributes : nullptr;
}
