#include "engine/tool_runner.h"

#include "diag/log.h"

#include <QDir>
#include <QProcess>
#include <QStringDecoder>

namespace {

std::optional<QString> decodeUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

} // namespace

int runTool(const QString &tool, const QStringList &arguments, ToolOutput *output)
{
    if (!QDir::isAbsolutePath(tool)) {
        // A bare name would be looked up in PATH, which is not the tool the table names.
        ITLog("INST: failed to launch %@: %@", tool, "not an absolute path");
        return -1;
    }
    QProcess process;
    process.setProgram(tool);
    process.setArguments(arguments);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    if (!output) {
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
    }
    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(-1)) {
        ITLog("INST: failed to launch %@: %@", tool, process.errorString());
        return -1;
    }
    process.waitForFinished(-1);
    if (output) {
        output->standardOutput = decodeUtf8(process.readAllStandardOutput());
        output->standardError = decodeUtf8(process.readAllStandardError());
    }
    // QProcess keeps the signal number as the exit code of a crashed process.
    return process.exitStatus() == QProcess::CrashExit ? 128 + process.exitCode()
                                                       : process.exitCode();
}
