// Who may open TunerHost's pipes: the user TunerHost runs as and the system,
// at the medium integrity level or above, no one else: a process at low
// integrity, or with a restricted token that leaves the user out, can
// neither open nor read a kind's pipes, nor a plug-in host's channel.
#pragma once
#include <windows.h>

// The attributes every pipe of TunerHost's is created with, made once for the
// process; null when they cannot be made, and the pipe is then not created.
SECURITY_ATTRIBUTES* OwnPipeSecurity();
