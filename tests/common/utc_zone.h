// Puts the process in the UTC time zone for the life of the object and
// gives back the zone it had (TZ set, or unset) when it goes. Tests that
// check formatted local times use it so the host's zone cannot change them.
// Not thread-safe: the environment is the process's; one at a time.
#pragma once

#include <cstdlib>
#include <ctime>
#include <string>

class TUtcZone {
public:
    TUtcZone() {
        const char* tz = std::getenv("TZ");
        had_ = tz != nullptr;
        if (had_) saved_ = tz;
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    ~TUtcZone() {
        if (had_) setenv("TZ", saved_.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    TUtcZone(const TUtcZone&) = delete;
    TUtcZone& operator=(const TUtcZone&) = delete;

private:
    std::string saved_;
    bool had_ = false;
};
