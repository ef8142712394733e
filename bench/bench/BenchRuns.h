// The benchmark's measurements, each in a run of its own.
#pragma once
#include "BenchCommon.h"

#include <windows.h>

#include <string>
#include <vector>

// The pipe's own ceiling in MB/s: a writer process (this program started with
// --pipe-writer) and a reader here; 0 when it could not be measured.
int PipeWriter(const wchar_t* name, int messages);
double Ceiling(int messages);

// `program`, where a run takes it, is another build's folder whose
// TunerHost.exe is measured instead of this build's (CHostProcess).

// TunerHost with the plug-in unpaced, in MB/s; 0 on failure.
double Relay(bool descrambler, double seconds, double* hostCpuPercent = nullptr);

// Both kinds at broadcast rates (2.5 and 5 MB/s), each with a client.
struct CostRun {
    double cpuPercent = 0;        // TunerHost
    double serverCpuPercent = -1; // the Wine server; -1 when it was not found
    double clientCpuPercent = -1; // this program, both readers
    double workingSetStart = 0, workingSetEnd = 0, privateStart = 0, privateEnd = 0, privateMax = 0;
    std::vector<double> latencyMs;
    bool ok = false;
};
CostRun Cost(double seconds, const std::wstring& program = {});

// Command 2 to the first message of the new channel, alternating between two.
bool TuneTimes(int count, std::vector<double>& times);
// ...on a client already reading.
struct CReader;
bool TuneTimesOf(CReader& reader, int count, std::vector<double>& times);

// The client plug-in in this process as an app has it, tsrec, and the client
// library in this process as tsrec reads, each taking one kind's stream at
// 5 MB/s from the same TunerHost (`tsrecFirst`: tsrec before the plug-in);
// then the plug-in's and the library's time from a tune to the first byte.
struct PluginRun {
    double pluginCpuPercent = -1;  // this program while its thread takes the stream from the plug-in
    double tsrecCpuPercent = -1;   // tsrec recording to NUL
    double libraryCpuPercent = -1; // this program reading as tsrec does, with the client library
    double rateMBps = 0;           // the stream the plug-in handed out
    std::vector<double> pluginTuneMs, libraryTuneMs;
    bool ok = false;
};
PluginRun ClientPluginBesideTsrec(double seconds, int tunes, bool tsrecFirst);

// Those runs' figures, run by run, and their rows of the table.
struct CPluginFigures {
    Figure pluginCpu, pluginPerMBps, tsrecCpu, tsrecPerMBps, pluginToTsrec, libraryCpu, pluginToLibrary;
    Figure pluginTune, libraryTune;
    // One run; false, said on the error output, when it failed.
    bool Measure(double seconds, int tunes, bool tsrecFirst);
    void PrintRows() const;
    // `runs` runs, and a table of these rows alone.
    bool MeasureAlone(int runs, double seconds, int tunes);
};

// A client's open: connect to the reply of its first command (TunerHost opens
// the tuner before it reads one), connection after connection, `pauseMs`
// apart; the first connection, TunerHost's first, is not counted.
bool ConnectTimes(int count, DWORD pauseMs, std::vector<double>& times, const std::wstring& program = {});

// The highest paced rate, in MB/s, at which a client receives every packet
// and keeps up, searched up to `upToMBps`; 0 when not even the lowest tried
// rate held.
double LossFreeRate(double upToMBps, int steps, double seconds, const std::wstring& program = {});

// The counter build's calls into the system per block and per chunk, one kind
// at 2.5 MB/s; prints its own table. False when TunerHost here is not a
// counter build.
bool PrintCallCounts(double seconds);
