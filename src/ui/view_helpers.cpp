// The small view-building helpers that every view of the controller uses.
#include "flow/main_window_controller.h"
#include "l10n/localization.h"
#include "ui/colors.h"
#include "ui/fonts.h"
#include "ui/link_label.h"

#include <QFileInfo>
#include <QLabel>

const UIStrings &MainWindowController::L() const
{
    return Localization::all().at(langIndex);
}

QIcon MainWindowController::image(const QString &name) const
{
    // Read afresh on every call; loading by the plain name also picks up NAME@2x.png on a
    // screen of twice the density.
    const QString path = m_settings.resourcesFolder + u'/' + name + QStringLiteral(".png");
    if (m_settings.resourcesFolder.isEmpty() || !QFileInfo(path).isFile())
        return {};
    QIcon icon(path);
    return icon.availableSizes().isEmpty() ? QIcon() : icon;
}

std::unique_ptr<QLabel> MainWindowController::label(const QString &text, const QRect &frame,
                                                    double size, const QColor &color,
                                                    bool bold) const
{
    auto field = std::make_unique<QLabel>(text);
    field->setGeometry(frame);
    field->setTextFormat(Qt::PlainText);
    field->setFont(systemFont(size, bold));
    QPalette palette = field->palette();
    palette.setColor(QPalette::WindowText, color);
    field->setPalette(palette);
    field->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return field;
}

std::unique_ptr<LinkLabel> MainWindowController::link(const QString &text, const QRect &frame,
                                                      void (MainWindowController::*action)())
{
    auto field = std::make_unique<LinkLabel>();
    field->setGeometry(frame);
    field->setTextFormat(Qt::PlainText);
    field->setText(text);
    connect(field.get(), &LinkLabel::clicked, this, action);
    styleLink(field.get());
    return field;
}

void MainWindowController::styleLink(QLabel *field) const
{
    styleLink(field, false);
}

void MainWindowController::styleLink(QLabel *field, bool centered) const
{
    QFont font = systemFont(12);
    font.setUnderline(true);
    field->setFont(font);
    QPalette palette = field->palette();
    palette.setColor(QPalette::WindowText, Colors::link);
    field->setPalette(palette);
    field->setAlignment((centered ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignVCenter);
}
