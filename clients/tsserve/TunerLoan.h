// A tuner kind borrowed from its feed while no viewer watches it, for a scan
// or the guide's idle pass: it connects to TunerHost when it must, tunes
// channel after channel (the data pipe offered again after each tune, so that
// every message read is of the channel tuned) and reads; it hands the tuner
// back when it ends, and a viewer who came meanwhile takes over TunerHost's
// connection. Revoked() says a viewer wants the tuner: stop at once.
//
// Its connection to TunerHost yields: another client of TunerHost who opens
// the kind's pipes gets the tuner, and the connection ends (ToAnother). So a
// loan is not made while another client holds the kind, nor while another
// tsserve's scan or idle pass has it (each would take it from the other in
// turn).
#pragma once
#include "CTunerFeed.h"

#include <string>
#include <vector>

class CTunerLoan {
public:
    CTunerLoan(CTunerFeed& feed, const std::string& purpose);
    ~CTunerLoan();
    CTunerLoan(const CTunerLoan&) = delete;
    CTunerLoan& operator=(const CTunerLoan&) = delete;

    // Whether the tuner was lent; if not, why, and whether it was for
    // someone outside this tsserve.
    bool Ok() const { return ok_; }
    bool HeldElsewhere() const { return elsewhere_; }
    const std::string& Why() const { return why_; }
    bool Revoked() const { return feed_.LoanRevoked(); }

    // Tunes the channel (connecting first if need be).
    ClientError Tune(const CListedChannel& channel);
    // The next data message, waiting up to ms (Timeout when none came).
    ClientError Read(std::vector<uint8_t>& buffer, DWORD ms);
    // One line for a failure of Tune or Read.
    std::string Describe(ClientError e) const;
    // The failure was another client of TunerHost: it held the tuner, or
    // TunerHost gave it the tuner this loan yielded.
    bool ToAnother(ClientError e) const;

private:
    CTunerFeed& feed_;
    bool ok_ = false;
    std::string why_;
    bool yields_ = false;  // TunerHost gives the loan's tuner to its next client
    bool elsewhere_ = false;
    CHandle background_;  // the kind's background work across tsserve processes; owned while lent
};
