// A tuner context hosted in the test process over a copy of the simulated
// plug-in, its pipes served under the usual names.
#pragma once
#include "TestUtil.h"
#include "tuner/CTunerContext.h"

#include <memory>
#include <string>

// Copies the plug-in into dir (once) with these [Sim] lines; null when any of
// it could not be set up.
std::unique_ptr<CTunerContext> HostSimulatedTuner(const CTempDir& dir, const std::string& simSettings,
                                                  bool terrestrial = true);
