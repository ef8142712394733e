// tsrec --list: the channels TunerHost would tune, from the settings file and
// the plug-ins beside it, probed the way TunerHost probes them.
#pragma once
#include <string>

// Prints the list; false, with a message, when the settings cannot be read.
bool PrintChannelList(const std::wstring& hostDirectory);
