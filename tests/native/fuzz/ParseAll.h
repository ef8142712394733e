// What the fuzzers do with every section they get: run it through every
// table parser and use what comes out, as tsserve would.
#pragma once
#include "EventCollector.h"
#include "Section.h"

void ParseAll(const tstables::CSection& section, tstables::CEventCollector& guide);
