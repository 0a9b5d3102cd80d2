#pragma once

#include <QDateTime>

#include <functional>

namespace platform {

// The local time the banner tick reads; tests set it.
namespace Clock {

QDateTime Now();
// An empty function restores the system clock.
void SetSource(std::function<QDateTime()> source);

} // namespace Clock
} // namespace platform
