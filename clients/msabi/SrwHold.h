// A slim reader/writer lock held exclusively for a scope.
#pragma once
#include "Kernel32.h"

class CSrwHold {
public:
    explicit CSrwHold(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~CSrwHold() { ReleaseSRWLockExclusive(&lock_); }
    CSrwHold(const CSrwHold&) = delete;
    CSrwHold& operator=(const CSrwHold&) = delete;

private:
    SRWLOCK& lock_;
};
