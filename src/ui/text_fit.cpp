#include "ui/text_fit.h"

#include "ui/fonts.h"
#include "ui/rounded_button.h"

void setFontPixelSize(QWidget *widget, int pixelSize)
{
    if (auto *button = qobject_cast<RoundedButton *>(widget)) {
        button->setFontSize(pixelSize);
        return;
    }
    QFont font = widget->font();
    font.setPixelSize(pixelSize);
    widget->setFont(font);
}

bool textFits(const QWidget *widget)
{
    return widget->sizeHint().width() <= widget->width();
}

int fitFontToWidth(QWidget *widget, int pixelSize)
{
    setFontPixelSize(widget, pixelSize);
    while (!textFits(widget) && pixelSize > kMinimumFitPixelSize)
        setFontPixelSize(widget, --pixelSize);
    return pixelSize;
}
