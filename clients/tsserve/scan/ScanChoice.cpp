#include "ScanChoice.h"

#include "ChannelArgument.h"

#include <algorithm>
#include <cctype>

namespace {

std::string Upper(std::string s)
{
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

void AddOnce(std::vector<const CListedChannel*>& list, const CListedChannel* c)
{
    if (std::find(list.begin(), list.end(), c) == list.end()) list.push_back(c);
}

}  // namespace

bool ParseScanChoice(const CChannelListing& listing, const std::string& text, CScanChoice& out, std::string& error)
{
    CScanChoice choice;
    size_t from = 0;
    while (from <= text.size()) {
        size_t comma = text.find(',', from);
        if (comma == std::string::npos) comma = text.size();
        const std::string item = text.substr(from, comma - from);
        from = comma + 1;
        if (item.empty()) continue;
        bool known = false;
        for (const CListedKind* kind : {&listing.terrestrial, &listing.satellite}) {
            if (!kind->Served()) continue;
            auto& list = kind->terrestrial ? choice.terrestrial : choice.satellite;
            for (const CListedBand& band : kind->bands)
                if (Upper(band.name) == Upper(item) || (Upper(item) == "CS110" && band.name == "CS")) {
                    known = true;
                    for (const CListedChannel& c : band.channels) AddOnce(list, &c);
                }
            const std::string prefix = kind->terrestrial ? "t/" : "s/";
            if (item.size() > 2 && item.compare(0, 2, prefix) == 0) {
                const std::string arg = item.substr(2);
                const std::wstring wide(arg.begin(), arg.end());
                const auto value = ParseChannelArgument(wide, kind->terrestrial);
                if (const CListedChannel* c = value ? kind->Find(*value) : nullptr) {
                    known = true;
                    AddOnce(list, c);
                }
            }
        }
        if (!known) {
            error = "no served band or channel is called " + item +
                    " (bands: UHF, CATV, VHF, BS, CS; channels: t/27, t/C22, s/40D0)";
            return false;
        }
    }
    out = std::move(choice);
    return true;
}
