#pragma once

#include <QString>

#include <memory>

// Keeps the system from sleeping or going idle for as long as the returned guard lives.
// Null when the system offers no way to (no bus, no login manager): no hold, and no error.
std::shared_ptr<void> beginActivityHold(const QString &reason);
