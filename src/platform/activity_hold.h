#pragma once

#include <QString>

#include <memory>

// Keeps the system from going idle, and has a suspend wait a moment for the setup, for as long
// as the returned guard lives. Returns without waiting for the system's answer; where the
// system offers no way to (no bus, no login manager) there is no hold and no error. Null when
// that is known at once.
std::shared_ptr<void> beginActivityHold(const QString &reason);
