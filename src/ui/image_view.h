#pragma once

#include <QIcon>
#include <QWidget>

// Shows an image scaled proportionally, up or down, to fit the frame, centred. With no image
// it draws nothing.
class ImageView : public QWidget
{
    Q_OBJECT

public:
    explicit ImageView(const QRect &frame, QWidget *parent = nullptr);

    QIcon image() const { return m_image; }
    void setImage(const QIcon &image);

    // Where the image lands in the view; empty when there is none.
    QRectF imageRect() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QIcon m_image;
};
