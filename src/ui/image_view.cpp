#include "ui/image_view.h"

#include <QPainter>

ImageView::ImageView(const QRect &frame, QWidget *parent) : QWidget(parent)
{
    setGeometry(frame);
}

void ImageView::setImage(const QIcon &image)
{
    m_image = image;
    update();
}

QRectF ImageView::imageRect() const
{
    if (m_image.isNull())
        return {};
    // The largest size the icon offers gives its aspect ratio.
    const QList<QSize> sizes = m_image.availableSizes();
    if (sizes.isEmpty())
        return {};
    QSizeF size = sizes.first();
    for (const QSize &s : sizes)
        size = s.width() > size.width() ? QSizeF(s) : size;
    size.scale(QSizeF(this->size()), Qt::KeepAspectRatio);
    return {(width() - size.width()) / 2, (height() - size.height()) / 2, size.width(),
            size.height()};
}

void ImageView::paintEvent(QPaintEvent *)
{
    const QRectF target = imageRect();
    if (target.isEmpty())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    // The pixmap for this screen's pixel density: an @2x file where the icon has one.
    const QPixmap pixmap = m_image.pixmap(target.size().toSize(), devicePixelRatioF());
    painter.drawPixmap(target, pixmap, QRectF(pixmap.rect()));
}
