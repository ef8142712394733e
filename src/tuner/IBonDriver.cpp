#include "tuner/IBonDriver.h"

#include "common/TypeProbe.h"

IBonDriver2* AsBonDriver2(IBonDriver* driver)
{
    return static_cast<IBonDriver2*>(ProbeInterface(driver, "IBonDriver2"));
}
