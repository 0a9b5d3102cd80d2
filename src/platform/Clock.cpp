#include "platform/Clock.h"

#include <utility>

namespace platform::Clock {

namespace {
std::function<QDateTime()> &source()
{
    static std::function<QDateTime()> s;
    return s;
}
} // namespace

QDateTime Now()
{
    return source() ? source()() : QDateTime::currentDateTime();
}

void SetSource(std::function<QDateTime()> s)
{
    source() = std::move(s);
}

} // namespace platform::Clock
