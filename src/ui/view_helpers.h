#pragma once

#include <QIcon>
#include <QString>

class ImageView;
class LinkLabel;
class QColor;
class QLabel;
class QRect;
class QWidget;

// The small building blocks every view of the window is made of.
namespace ViewHelpers {

// A plain-text label in the system font, left-aligned and vertically centred.
QLabel *addLabel(QWidget *parent, const QString &text, const QRect &frame, double size,
                 const QColor &color, bool bold = false);
// An empty link, styled as every link of the window.
LinkLabel *addLink(QWidget *parent, const QRect &frame);
// The look of a link: underlined, link-coloured, 12 points.
void styleLink(QLabel *field, bool centered = false);

// The artwork `name` from `resourcesFolder`, read afresh; null when it is missing. Loading by
// the plain name also picks up NAME@2x.png on a screen of twice the density.
QIcon image(const QString &resourcesFolder, const QString &name);
// An image view showing the artwork `name`.
ImageView *addImageView(QWidget *parent, const QRect &frame, const QString &resourcesFolder,
                        const QString &name);
// The brand icon and word at the top left of `parent`; returns the word.
QLabel *addBrandRow(QWidget *parent, const QString &resourcesFolder);

} // namespace ViewHelpers
