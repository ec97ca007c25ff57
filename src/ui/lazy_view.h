#pragma once

#include "ui/flipped_view.h"

// A panel whose controls are made when it is first shown or first touched, so that a view the
// user may never see costs nothing at start-up.
class LazyView : public FlippedView
{
    Q_OBJECT

public:
    using FlippedView::FlippedView;

    void setVisible(bool visible) override;

protected:
    // Makes the controls, once, while the panel is still hidden.
    void ensureBuilt();
    bool isBuilt() const { return m_built; }
    virtual void build() = 0;

private:
    bool m_built = false;
};
