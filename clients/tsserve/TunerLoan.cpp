#include "TunerLoan.h"

CTunerLoan::CTunerLoan(CTunerFeed& feed, const std::string& purpose) : feed_(feed)
{
    ok_ = feed_.Borrow(purpose, why_);
}

CTunerLoan::~CTunerLoan()
{
    if (ok_) feed_.GiveBack();
}

ClientError CTunerLoan::Tune(const CListedChannel& channel)
{
    CTunerClient& client = feed_.LentClient();
    feed_.SetLentChannel(channel);
    client.CloseData();
    ClientError e = ClientError::None;
    if (!client.HasControl()) e = ConnectTunerHost(client, feed_.Kind(), [this] { return Revoked(); });
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

std::string CTunerLoan::Describe(ClientError e) const
{
    const std::string kind = feed_.KindName();
    switch (e) {
    case ClientError::NotRunning: return "TunerHost is not running";
    case ClientError::NotServed: return "TunerHost serves no " + kind + " tuner";
    case ClientError::Busy: return "another client of TunerHost holds the " + kind + " tuner";
    case ClientError::TunerFailed: return "the " + kind + " tuner failed to open (its plug-in refused)";
    case ClientError::ChallengeMismatch: return "the " + kind + " pipe did not answer as TunerHost does";
    default: return "the " + kind + " tuner's connection failed: " + ::Describe(e);
    }
}
