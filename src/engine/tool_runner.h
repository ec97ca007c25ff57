#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// What a tool printed, each stream decoded as UTF-8; absent when the bytes were not valid
// UTF-8 or the tool could not be launched.
struct ToolOutput
{
    std::optional<QString> standardOutput;
    std::optional<QString> standardError;
};

// Runs the executable at the absolute path `tool` with `arguments`, each reaching it as one
// string: no shell in between. Standard input, environment and working folder are inherited.
// Blocks until the tool has exited and returns its exit status; a tool ended by a signal
// returns 128 plus the signal number. When the tool cannot be launched, logs
// "INST: failed to launch ..." with the reason, leaves `output` untouched and returns -1.
// Without `output` the tool's output is discarded.
int runTool(const QString &tool, const QStringList &arguments, ToolOutput *output = nullptr);
