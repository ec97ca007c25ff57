#include "ui/dialogs.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include <memory>

namespace Dialogs {

namespace {

QMessageBox *messageBox(QWidget *window, const QString &title, const QString &message,
                        QMessageBox::Icon icon)
{
    auto *box = new QMessageBox(window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setIcon(icon);
    box->setWindowTitle(title);
    box->setText(title);
    box->setInformativeText(message);
    return box;
}

// The question confirm() waits on, while it is open.
QPointer<QMessageBox> &openQuestion()
{
    static QPointer<QMessageBox> box;
    return box;
}

} // namespace

void showSheet(QWidget *window, const QString &title, const QString &message, AlertStyle style)
{
    QMessageBox *box =
        messageBox(window, title, message,
                   style == AlertStyle::Critical ? QMessageBox::Critical : QMessageBox::Warning);
    // The button reads "OK" in every language.
    box->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box->setWindowModality(Qt::WindowModal);
    box->open();
}

bool confirm(QWidget *window, const QString &title, const QString &message)
{
    const std::unique_ptr<QMessageBox> box(
        messageBox(window, title, message, QMessageBox::Warning));
    box->setAttribute(Qt::WA_DeleteOnClose, false);
    QPushButton *ok = box->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box->setDefaultButton(ok);
    openQuestion() = box.get();
    box->exec();
    return box->clickedButton() == ok;
}

void dismissQuestion()
{
    if (QMessageBox *box = openQuestion())
        box->reject();
}

std::optional<QString> chooseFolder(QWidget *window, const QString &title,
                                    const QString &startFolder)
{
    const QString folder =
        QFileDialog::getExistingDirectory(window, title, startFolder, QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return std::nullopt;
    return folder;
}

} // namespace Dialogs
