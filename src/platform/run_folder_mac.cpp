#include "platform/run_folder.h"

#include <QFile>

#include <unistd.h>

// The system's temporary folder on macOS is already the user's own, and no run leaves a folder
// of its own in it.
std::unique_ptr<RunFolder> RunFolder::make(const QStringList &)
{
    return nullptr;
}

std::vector<std::unique_ptr<RunFolder>> RunFolder::takeAbandoned(const QStringList &)
{
    return {};
}

RunFolder::RunFolder(const QString &base, const QByteArray &name, int fd)
    : m_base(base), m_name(name), m_fd(fd)
{}

RunFolder::~RunFolder()
{
    ::close(m_fd);
}

QString RunFolder::path() const
{
    return m_base + u'/' + QFile::decodeName(m_name);
}

bool RunFolder::holds(const QString &) const
{
    return false;
}

bool RunFolder::remove()
{
    return false;
}
