// Local time, and the pauses the library makes.
#pragma once

#include <cstdint>

namespace qn38 {

struct LocalTime {
    std::uint16_t year = 0;
    std::uint16_t month = 0;  // 1 to 12
    std::uint16_t day = 0;
    std::uint16_t hour = 0;
    std::uint16_t minute = 0;
    std::uint16_t second = 0;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual LocalTime Now() = 0;  // GetLocalTime
    // Sleep: the calling thread waits. Only a stop waiting for a volume's
    // other users to let go of it, and a start waiting for the link to train
    // and the card to answer, pause.
    virtual void Pause(std::uint32_t milliseconds) = 0;
};

}  // namespace qn38
