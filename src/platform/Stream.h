#pragma once

#include <cstddef>

namespace platform {

// Where a download writes its body.
class Stream
{
public:
    virtual ~Stream() = default;
    // Appends at the current position; throws platform::Error on failure.
    virtual void Write(const char *data, std::size_t size) = 0;
};

} // namespace platform
