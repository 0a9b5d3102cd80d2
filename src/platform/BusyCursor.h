#pragma once

namespace platform {

// Shows the wait cursor while the user-interface thread is blocked (a fetch,
// the start-up pause) and restores it on every way out, exceptions included.
// Nests; does nothing when no GUI application exists (fuzzers, core tests).
class BusyCursor
{
public:
    BusyCursor();
    ~BusyCursor();
    BusyCursor(const BusyCursor &) = delete;
    BusyCursor &operator=(const BusyCursor &) = delete;

private:
    bool m_active = false;
};

} // namespace platform
