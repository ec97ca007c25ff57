#include "flow/folder_text.h"

#include <QFile>
#include <QFileInfo>

#include <dirent.h>

namespace FolderText {

namespace {

// How many entries of `folder` read as `name` once made text. Read from the file system
// itself: Qt's own listings leave out names that are not valid UTF-8.
int entriesReadAs(const QString &folder, const QString &name)
{
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return 0;
    int found = 0;
    while (const dirent *entry = ::readdir(dir))
        found += QFile::decodeName(entry->d_name) == name ? 1 : 0;
    ::closedir(dir);
    return found;
}

} // namespace

bool namesExistingFolder(const QString &path)
{
    if (!QFileInfo(path).isDir())
        return false;
    // Where a part holds U+FFFD, a name of other bytes may read the same: that part must be the
    // only one of its parent's entries to read so.
    qsizetype from = path.indexOf(QChar::ReplacementCharacter);
    while (from >= 0) {
        const qsizetype start = path.lastIndexOf(u'/', from) + 1;
        qsizetype end = path.indexOf(u'/', from);
        if (end < 0)
            end = path.size();
        const QString parent = start > 1 ? path.left(start - 1) : QStringLiteral("/");
        if (entriesReadAs(parent, path.mid(start, end - start)) != 1)
            return false;
        from = path.indexOf(QChar::ReplacementCharacter, end);
    }
    return true;
}

QString trimmedBlanks(const QString &text)
{
    const auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    qsizetype start = 0, end = text.size();
    while (start < end && blank(text[start]))
        ++start;
    while (end > start && blank(text[end - 1]))
        --end;
    return text.mid(start, end - start);
}

} // namespace FolderText
