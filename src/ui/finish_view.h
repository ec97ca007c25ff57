#pragma once

#include "ui/lazy_view.h"

class RoundedButton;
struct UIStrings;

// The last view: the product and Start Now, where the main view had its Install button. Its
// controls are made when it is first shown.
class FinishView : public LazyView
{
    Q_OBJECT

public:
    FinishView(const QString &resourcesFolder, QWidget *parent);

    void relabel(const UIStrings &strings);
    // Start Now: the view's default button.
    RoundedButton *mainButton();

signals:
    void startClicked();

private:
    void build() override;

    const QString m_resourcesFolder;
    const UIStrings *m_strings = nullptr;
    RoundedButton *startButton = nullptr;
};
