#include "TunerLoan.h"

CTunerLoan::CTunerLoan(CTunerFeed& feed, const std::string& purpose) : feed_(feed)
{
    if (!feed_.Borrow(purpose, why_)) return;
    const std::string kind = feed_.KindName();
    // Owned by this thread, which gives the loan back: one that ends without
    // (a tsserve that crashed) leaves it abandoned, which counts as free.
    background_.Reset(CreateMutexW(nullptr, FALSE, feed_.Kind() == TunerKind::Terrestrial
                                                       ? L"tsserve background work, terrestrial tuner"
                                                       : L"tsserve background work, satellite tuner"));
    const DWORD owned = background_ ? WaitForSingleObject(background_.Get(), 0) : WAIT_FAILED;
    if (background_ && owned != WAIT_OBJECT_0 && owned != WAIT_ABANDONED) {
        why_ = "another tsserve scans the " + kind + " tuner or collects its guide";
        background_.Reset();
    } else if (TunerHeldByAnother(feed_.Kind())) {
        why_ = "another client of TunerHost holds the " + kind + " tuner";
        if (background_) ReleaseMutex(background_.Get());
        background_.Reset();
    } else {
        ok_ = true;
        return;
    }
    elsewhere_ = true;
    feed_.GiveBack();
}

CTunerLoan::~CTunerLoan()
{
    if (!ok_) return;
    feed_.GiveBack();
    if (background_) ReleaseMutex(background_.Get());
}

ClientError CTunerLoan::Tune(const CListedChannel& channel)
{
    CTunerClient& client = feed_.LentClient();
    feed_.SetLentChannel(channel);
    client.CloseData();
    ClientError e = ClientError::None;
    if (!client.HasControl()) e = ConnectTunerHost(client, feed_.Kind(), [this] { return Revoked(); }, true, &yields_);
    if (e == ClientError::None) e = client.Command(kCmdPauseData);
    if (e == ClientError::None) e = client.Command(kCmdSelectChannel, channel.value, nullptr);
    if (e == ClientError::None) e = client.Command(kCmdRearmData);
    if (e == ClientError::None) e = client.OpenData(5000);
    if (e != ClientError::None) {
        client.CloseData();
        client.CloseControl();
    }
    return e;
}

ClientError CTunerLoan::Read(std::vector<uint8_t>& buffer, DWORD ms)
{
    buffer.resize(kDataMessageSize);
    DWORD got = 0;
    const ClientError e = feed_.LentClient().ReadData(buffer.data(), kDataMessageSize, got, ms);
    buffer.resize(e == ClientError::None ? got : 0);
    return e;
}

bool CTunerLoan::ToAnother(ClientError e) const
{
    if (e == ClientError::Busy) return true;
    return yields_ && (e == ClientError::Closed || e == ClientError::Io) && IsTunerHostRunning();
}

std::string CTunerLoan::Describe(ClientError e) const
{
    const std::string kind = feed_.KindName();
    if (ToAnother(e)) return "another client of TunerHost " + std::string(e == ClientError::Busy ? "holds" : "took") +
                             " the " + kind + " tuner";
    switch (e) {
    case ClientError::NotRunning: return "TunerHost is not running";
    case ClientError::NotServed: return "TunerHost serves no " + kind + " tuner";
    case ClientError::Busy: return "another client of TunerHost holds the " + kind + " tuner";
    case ClientError::TunerFailed: return "the " + kind + " tuner failed to open (its plug-in refused)";
    case ClientError::ChallengeMismatch: return "the " + kind + " pipe did not answer as TunerHost does";
    default: return "the " + kind + " tuner's connection failed: " + ::Describe(e);
    }
}
