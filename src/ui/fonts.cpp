#include "ui/fonts.h"

#include <QApplication>

QFont systemFont(double pixelSize, bool bold)
{
    QFont font = QApplication::font();
    font.setPixelSize(qMax(1, qRound(pixelSize)));
    font.setWeight(bold ? QFont::Bold : QFont::Normal);
    return font;
}
