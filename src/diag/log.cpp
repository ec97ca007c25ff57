#include "diag/log.h"

#include "l10n/product.h"
#include "platform/paths.h"

#include <QDir>
#include <QFile>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace {

struct LogLine
{
    timespec when;
    QByteArray message; // UTF-8
};

// The writer thread touches only libc, so it keeps working while Qt's own globals are torn
// down during exit, when the queue is drained for the last time.
class LogQueue
{
public:
    explicit LogQueue(int fd) : m_fd(fd)
    {
        std::thread([this] { run(); }).detach();
    }

    void push(LogLine line)
    {
        {
            const std::lock_guard lock(m_mutex);
            m_lines.push_back(std::move(line));
        }
        m_wake.notify_one();
    }

    void drain(std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(m_mutex);
        m_idle.wait_for(lock, timeout, [this] { return m_lines.empty() && !m_writing; });
    }

private:
    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return !m_lines.empty(); });
            LogLine line = std::move(m_lines.front());
            m_lines.pop_front();
            m_writing = true;
            lock.unlock();
            write(line);
            lock.lock();
            m_writing = false;
            if (m_lines.empty())
                m_idle.notify_all();
        }
    }

    void write(const LogLine &line) const
    {
        if (m_fd < 0)
            return;
        const QByteArray bytes = gStamp(line.when) + "  " + line.message + '\n';
        const char *p = bytes.constData();
        size_t left = static_cast<size_t>(bytes.size());
        while (left > 0) {
            const ssize_t n = ::write(m_fd, p, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return; // a failed write loses this line only
            p += n;
            left -= static_cast<size_t>(n);
        }
    }

    // "yyyy-MM-dd HH:mm:ss.SSS" in local time, ASCII digits whatever the locale.
    static QByteArray gStamp(const timespec &when)
    {
        tm local{};
        localtime_r(&when.tv_sec, &local);
        char buf[40];
        const int n =
            std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d",
                          local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                          local.tm_min, local.tm_sec, static_cast<int>(when.tv_nsec / 1000000));
        return QByteArray(buf, n);
    }

    const int m_fd;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<LogLine> m_lines;
    bool m_writing = false;
};

// Process-wide state, created once by ITLogInit and never released.
std::once_flag gLogOnce;
std::atomic<bool> gLogStarted{false};
QString gLogPath;
int gLogHandle = -1;
LogQueue *gLogQueue = nullptr;

// The log names the user's folders, so it is private, and it is written only as the plain
// file it claims to be: never through a link to some other file, never into a fifo that would
// hold the first log call forever.
int openLogFile(const QByteArray &path)
{
    const int fd =
        ::open(path.constData(),
               O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void drainAtExit()
{
    gLogQueue->drain(std::chrono::seconds(1));
}

void ITLogInit()
{
    const QString folder = Paths::logFolder();
    QDir().mkpath(folder);
    gLogPath = folder + QStringLiteral("/quorvel-installer.log");
    gLogHandle = openLogFile(QFile::encodeName(gLogPath));
    gLogQueue = new LogQueue(gLogHandle);
    gLogStarted.store(true, std::memory_order_release);
    std::atexit(drainAtExit);

    ITLogWrite(formatLogMessage("======== %@ Setup started ========", {Product::displayName}));
    ITLogWrite(formatLogMessage("Bundle: %@", {Paths::bundlePath()}));
    ITLogWrite(formatLogMessage("OS: %@", {Paths::osVersionString()}));
}

} // namespace

void ITLogv(const char *format, std::initializer_list<LogArg> args)
{
    std::call_once(gLogOnce, ITLogInit);
    ITLogWrite(formatLogMessage(format, args));
}

void ITLogWrite(const QString &message)
{
    if (!gLogStarted.load(std::memory_order_acquire))
        return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    gLogQueue->push({now, message.toUtf8()});
}

QString ITLogFilePath()
{
    return gLogStarted.load(std::memory_order_acquire) ? gLogPath : QString();
}

void ITLogFlush(int timeoutMs)
{
    if (gLogStarted.load(std::memory_order_acquire))
        gLogQueue->drain(std::chrono::milliseconds(timeoutMs));
}
