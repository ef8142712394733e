// What the platform itself keeps, measured in processes of the soak's own
// without TunerHost, so that the soak's memory checks can allow for it.
#pragma once

// Loads, opens, closes and unloads the simulated plug-in `cycles` times with
// three threads each; prints the cost per open and returns it in tenths of a kB.
int LoaderBaseline(int cycles);
// Data-pipe connections left during a write, timed waits and signalled events.
int PipeBaseline(int cycles);
// Runs LoaderBaseline in a child process; kB per tuner open.
double MeasurePlatformBaseline();
