#pragma once

#include "diag/log_format.h"

#include <QString>

// The per-user diagnostic log. Every call appends one time-stamped line; the disk write
// happens on the log's own thread, so callers on any thread never wait for it, and nothing
// here ever fails towards the caller.

// Formats and queues one line; starts the log on the first call of the process.
void ITLogv(const char *format, std::initializer_list<LogArg> args);

template <typename... Args> void ITLog(const char *format, const Args &...args)
{
    ITLogv(format, {LogArg(args)...});
}

// Stamps an already formatted message with the current time and queues it.
void ITLogWrite(const QString &message);

// Full path of the log file; null before the first ITLog call.
QString ITLogFilePath();

// Waits, at most `timeoutMs`, until every line queued so far has been written.
// Runs by itself at normal process exit with a one-second bound.
void ITLogFlush(int timeoutMs);
