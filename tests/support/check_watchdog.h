// The bounds of a check in the tests: shortened times, and a watchdog.
//
// Ends a check that outlives its bound: the check's socket is shut down
// from another thread, so a check that would hang fails its own row, by
// name, instead of running into ctest's time-out.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <thread>

#include "mailcheck/mail_check.h"

class CheckWatchdog {
public:
    explicit CheckWatchdog(DWORD bound_ms) : done_(CreateEventA(nullptr, TRUE, FALSE, nullptr))
    {
        thread_ = std::thread([this, bound_ms] {
            if (WaitForSingleObject(done_, bound_ms) != WAIT_TIMEOUT)
                return;
            fired_ = true;
            const MailSocket& hung = check_connection.channel.socket;
            if (hung.open)
                shutdown(hung.handle, SD_BOTH);
        });
    }
    ~CheckWatchdog()
    {
        SetEvent(done_);
        thread_.join();
        CloseHandle(done_);
    }
    // The check was still running when its bound passed.
    bool fired() const { return fired_; }

private:
    HANDLE done_;
    std::atomic<bool> fired_{false};
    std::thread thread_;
};

// The reply and whole-check times shortened for one test or fixture, so the
// rows that wait for them take seconds; what was there before put back after.
class ShortTimes {
public:
    explicit ShortTimes(DWORD reply, DWORD check = 60000)
        : reply_(mail_reply_time_ms), check_(mail_check_time_ms)
    {
        mail_reply_time_ms = reply;
        mail_check_time_ms = check;
    }
    ~ShortTimes()
    {
        mail_reply_time_ms = reply_;
        mail_check_time_ms = check_;
    }

private:
    DWORD reply_, check_;
};
