#include "platform/desktop_entry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QThreadPool>

using namespace Qt::StringLiterals;

namespace DesktopEntry {

namespace {

// A bundle's entry is small; a larger file is no entry of ours to copy.
constexpr qint64 kMaxEntrySize = 64 * 1024;

// Keys that name something inside the bundle by a relative name, or start it another way: they
// are written anew or left out.
const QStringList kReplacedKeys{u"Exec"_s, u"TryExec"_s, u"Icon"_s, u"Actions"_s,
                                u"DBusActivatable"_s};

// A value of type string: backslashes doubled (nothing else needs escaping: no control
// character gets this far).
QString escapedValue(QString value)
{
    return value.replace(u'\\', u"\\\\"_s);
}

bool holdsControlCharacter(const QString &text)
{
    return std::any_of(text.begin(), text.end(),
                       [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

// The bundle's own entry: the one .desktop file at its top (the first by name, should there be
// several), whose name the written entry takes.
QString bundleEntry(const QString &appPath)
{
    const QStringList names =
        QDir(appPath).entryList({u"*.desktop"_s}, QDir::Files | QDir::Hidden, QDir::Name);
    return names.isEmpty() ? QString() : names.first();
}

// The bundle's icon for the entry's Icon name: a file of that name at the bundle's top, or its
// .DirIcon; empty when there is neither.
QString bundleIcon(const QString &appPath, const QString &iconName)
{
    if (!iconName.isEmpty() && !iconName.contains(u'/'))
        for (const QString &suffix : {u".png"_s, u".svg"_s, u".svgz"_s, u".xpm"_s})
            if (QFileInfo(appPath + u'/' + iconName + suffix).isFile())
                return appPath + u'/' + iconName + suffix;
    const QString dirIcon = appPath + u"/.DirIcon"_s;
    return QFileInfo(dirIcon).isFile() ? dirIcon : QString();
}

// What follows the program on an Exec line (its field codes, say), as written.
QString argumentsAfterProgram(const QString &exec)
{
    qsizetype end = 0;
    if (exec.startsWith(u'"')) {
        for (end = 1; end < exec.size() && exec[end] != u'"'; ++end)
            if (exec[end] == u'\\')
                ++end;
        ++end;
    } else {
        end = exec.indexOf(u' ');
    }
    return end < 0 || end >= exec.size() ? QString() : exec.mid(end).trimmed();
}

// `argument` as one argument of an Exec line: quoted when it holds a character the line
// reserves, with "%" doubled. The line's value escapes (a backslash doubled) are not applied.
QString execArgument(const QString &argument)
{
    static const QString reserved = u" \t\n\"'\\><~|&;$*?#()`"_s;
    const bool quote =
        std::any_of(argument.begin(), argument.end(), [](QChar c) { return reserved.contains(c); });
    QString written = quote ? u"\""_s : QString();
    for (const QChar c : argument) {
        if (quote && (c == u'"' || c == u'`' || c == u'$' || c == u'\\'))
            written += u'\\';
        written += c == u'%' ? u"%%"_s : QString(c);
    }
    return quote ? written + u'"' : written;
}

void refreshDatabase(const QString &folder)
{
    const QString tool = QStandardPaths::findExecutable(u"update-desktop-database"_s);
    if (tool.isEmpty())
        return;
    // It may take seconds on a large folder: never on the caller's thread.
    QThreadPool::globalInstance()->start([tool, folder] {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(tool, {u"--quiet"_s, folder});
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished();
        }
    });
}

} // namespace

QString applicationsFolder()
{
    QString data = qEnvironmentVariable("XDG_DATA_HOME");
    // XDG base directories must be absolute; a relative value is ignored.
    if (data.isEmpty() || QDir::isRelativePath(data))
        data = QDir::homePath() + u"/.local/share"_s;
    return QDir::cleanPath(data) + u"/applications"_s;
}

bool add(const QString &appPath, QString *detail)
{
    const auto refuse = [detail](const QString &why) {
        *detail = why;
        return false;
    };
    const QString appRun = appPath + u"/AppRun"_s;
    if (holdsControlCharacter(appPath))
        return refuse(u"the install folder's name holds a control character"_s);
    if (!QFileInfo(appRun).isExecutable())
        return refuse(u"the bundle has no AppRun"_s);
    const QString name = bundleEntry(appPath);
    static const QRegularExpression fileName(u"^[A-Za-z0-9][A-Za-z0-9._-]*\\.desktop$"_s);
    if (!fileName.match(name).hasMatch())
        return refuse(name.isEmpty() ? u"the bundle has no .desktop file"_s
                                     : u"the bundle's .desktop file has an unusable name"_s);
    // Often a link into the bundle's usr/share; never a fifo or a device, which could block.
    QFile source(appPath + u'/' + name);
    if (!QFileInfo(source).isFile() || source.size() > kMaxEntrySize ||
        !source.open(QIODevice::ReadOnly))
        return refuse(u"the bundle's .desktop file cannot be read"_s);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8(source.read(kMaxEntrySize));
    if (utf8.hasError())
        return refuse(u"the bundle's .desktop file is not UTF-8 text"_s);

    // The main group as the bundle has it, but for what names the bundle's own files; the
    // other groups (actions) name them too, and are left out.
    QStringList lines;
    QString group, exec, icon;
    for (QString line : text.split(u'\n')) {
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (line.startsWith(u'['))
            group = line.trimmed();
        if (group != u"[Desktop Entry]")
            continue;
        // A key's localized forms ("Exec[de]") go with it.
        const QString key = line.section(u'=', 0, 0).section(u'[', 0, 0).trimmed();
        if (key == u"Exec")
            exec = line.section(u'=', 1).trimmed();
        else if (key == u"Icon")
            icon = line.section(u'=', 1).trimmed();
        if (!kReplacedKeys.contains(key) && !(line.isEmpty() && lines.isEmpty()))
            lines << line;
    }
    if (lines.isEmpty())
        return refuse(u"the bundle's .desktop file has no [Desktop Entry] group"_s);
    while (lines.last().isEmpty())
        lines.removeLast();
    const QString arguments = argumentsAfterProgram(exec);
    // GLib looks for the program before it reads "%%" as "%": a path with "%" goes through env.
    const QString program = (appRun.contains(u'%') ? u"env "_s : QString()) + execArgument(appRun);
    // The bundle's own arguments are taken as written: their escapes are already in place.
    lines << u"Exec="_s + escapedValue(program) +
                 (arguments.isEmpty() ? QString() : u' ' + arguments)
          << u"TryExec="_s + escapedValue(appRun);
    if (const QString iconFile = bundleIcon(appPath, icon); !iconFile.isEmpty())
        lines << u"Icon="_s + escapedValue(iconFile);

    const QString folder = applicationsFolder();
    const QString entry = folder + u'/' + name;
    if (!QDir().mkpath(folder))
        return refuse(u"cannot make "_s + folder);
    // A link left in the entry's place is replaced, not written through.
    if (QFileInfo(entry).isSymLink() && !QFile::remove(entry))
        return refuse(u"cannot replace the link "_s + entry);
    QSaveFile file(entry);
    if (!file.open(QIODevice::WriteOnly) || file.write((lines.join(u'\n') + u'\n').toUtf8()) < 0 ||
        !file.commit())
        return refuse(u"cannot write "_s + entry + u": "_s + file.errorString());
    refreshDatabase(folder);
    *detail = entry;
    return true;
}

} // namespace DesktopEntry
