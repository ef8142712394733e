#include "ReplyBudget.h"

#include <algorithm>

CReplyBudget::CReplyBudget(Rate perSource, Rate overall, size_t maxSources)
    : perSource_(perSource), overall_(overall), maxSources_(maxSources), all_{overall.burst, 0}
{
}

void CReplyBudget::Refill(Bucket& b, const Rate& rate, uint64_t nowMs)
{
    if (nowMs <= b.ms) return;
    b.tokens = std::min(rate.burst, b.tokens + static_cast<double>(nowMs - b.ms) * rate.perSecond / 1000.0);
    b.ms = nowMs;
}

bool CReplyBudget::Take(uint32_t source, uint64_t nowMs)
{
    Refill(all_, overall_, nowMs);
    auto it = sources_.find(source);
    if (it == sources_.end()) {
        if (sources_.size() >= maxSources_) {
            // Sources whose buckets have filled up again are as good as new.
            for (auto i = sources_.begin(); i != sources_.end();) {
                Refill(i->second, perSource_, nowMs);
                i = i->second.tokens >= perSource_.burst ? sources_.erase(i) : std::next(i);
            }
            if (sources_.size() >= maxSources_) return false;
        }
        it = sources_.emplace(source, Bucket{perSource_.burst, nowMs}).first;
    }
    Bucket& mine = it->second;
    Refill(mine, perSource_, nowMs);
    if (mine.tokens < 1 || all_.tokens < 1) return false;
    mine.tokens -= 1;
    all_.tokens -= 1;
    return true;
}
