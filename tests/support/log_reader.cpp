#include "log_reader.h"

#include "diag/log.h"

#include <QFile>

namespace LogReader {

QStringList lines()
{
    ITLogFlush(5000);
    QFile f(ITLogFilePath());
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList out = QString::fromUtf8(f.readAll()).split(u'\n');
    if (out.last().isEmpty()) // after the last line break
        out.removeLast();
    return out;
}

qsizetype mark()
{
    // Start the log first, so that its header lies before the mark, not after it.
    if (ITLogFilePath().isEmpty())
        ITLog("TEST: log started");
    return lines().size();
}

QStringList messagesSince(qsizetype mark)
{
    QStringList out = lines().mid(mark);
    for (QString &line : out)
        line.remove(0, 23 + 2); // "yyyy-MM-dd HH:mm:ss.SSS" and two blanks
    return out;
}

} // namespace LogReader
