#include "ui/view_helpers.h"

#include "ui/colors.h"
#include "ui/fonts.h"
#include "ui/image_view.h"
#include "ui/link_label.h"

#include <QApplication>
#include <QFileInfo>
#include <QImageReader>
#include <QLabel>

using namespace Qt::StringLiterals;

namespace ViewHelpers {

QLabel *addLabel(QWidget *parent, const QString &text, const QRect &frame, double size,
                 const QColor &color, bool bold)
{
    auto *field = new QLabel(text, parent);
    field->setGeometry(frame);
    field->setTextFormat(Qt::PlainText);
    field->setFont(systemFont(size, bold));
    QPalette palette = field->palette();
    palette.setColor(QPalette::WindowText, color);
    field->setPalette(palette);
    field->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return field;
}

LinkLabel *addLink(QWidget *parent, const QRect &frame)
{
    auto *field = new LinkLabel(parent);
    field->setGeometry(frame);
    field->setTextFormat(Qt::PlainText);
    styleLink(field);
    return field;
}

void styleLink(QLabel *field, bool centered)
{
    QFont font = systemFont(12);
    font.setUnderline(true);
    field->setFont(font);
    QPalette palette = field->palette();
    palette.setColor(QPalette::WindowText, Colors::link);
    field->setPalette(palette);
    field->setAlignment((centered ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignVCenter);
}

QIcon image(const QString &resourcesFolder, const QString &name)
{
    if (resourcesFolder.isEmpty())
        return {};
    // Read as PNG by name: letting the reader guess the format would load every image plugin.
    const auto read = [](const QString &path) {
        QImageReader reader(path, "png");
        reader.setAutoDetectImageFormat(false);
        return QFileInfo(path).isFile() ? reader.read() : QImage();
    };
    const QString base = resourcesFolder + u'/' + name;
    QIcon icon;
    for (const QImage &picture :
         {read(base + u".png"_s),
          qApp->devicePixelRatio() > 1 ? read(base + u"@2x.png"_s) : QImage()})
        if (!picture.isNull())
            icon.addPixmap(QPixmap::fromImage(picture));
    return icon;
}

ImageView *addImageView(QWidget *parent, const QRect &frame, const QString &resourcesFolder,
                        const QString &name)
{
    auto *view = new ImageView(frame, parent);
    view->setImage(image(resourcesFolder, name));
    view->setAccessibleName(u"Quorvel"_s);
    return view;
}

QLabel *addBrandRow(QWidget *parent, const QString &resourcesFolder)
{
    addImageView(parent, QRect(28, 10, 24, 24), resourcesFolder, u"brand"_s);
    return addLabel(parent, u"Quorvel"_s, QRect(60, 11, 120, 22), 15, Colors::brand, true);
}

} // namespace ViewHelpers
