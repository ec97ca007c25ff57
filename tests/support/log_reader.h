#pragma once

#include <QStringList>

// The diagnostic log as a test sees it: waits for queued lines, then reads the file.
namespace LogReader {

// Every line of the log file as written, timestamps included.
QStringList lines();

// The messages (timestamps removed) written since `mark` lines were in the file.
QStringList messagesSince(qsizetype mark);

// How many lines the file holds now; a mark for messagesSince.
qsizetype mark();

} // namespace LogReader
