#pragma once

#include <QComboBox>

// The list of interface languages. A wheel turned over it while it is closed leaves the choice
// alone: scrolling past it must not relabel the window. Opened, it scrolls as any list does.
class LanguagePopup : public QComboBox
{
    Q_OBJECT

public:
    using QComboBox::QComboBox;

protected:
    void wheelEvent(QWheelEvent *event) override;
};
