#pragma once

#include <QString>

// Folder names as the window holds them: text. A name on disk that is not valid UTF-8 becomes
// text with U+FFFD in place of its odd bytes, and that text names another folder, or none.
namespace FolderText {

// Whether the text `path` names exactly one folder that exists: the folder whose name it was
// made from, and no other whose name differs only where the text could not follow.
bool namesExistingFolder(const QString &path);

// `text` without the blanks (spaces and tabs) at its ends; other white space stays.
QString trimmedBlanks(const QString &text);

} // namespace FolderText
