#include "ui/language_popup.h"

#include <QAbstractItemView>
#include <QWheelEvent>

void LanguagePopup::wheelEvent(QWheelEvent *event)
{
    if (view()->isVisible())
        QComboBox::wheelEvent(event);
    else
        event->ignore();
}
