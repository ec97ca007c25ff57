#include "ui/lazy_view.h"

void LazyView::setVisible(bool visible)
{
    // Made before the panel shows, the controls show with it.
    if (visible)
        ensureBuilt();
    FlippedView::setVisible(visible);
}

void LazyView::ensureBuilt()
{
    if (m_built)
        return;
    m_built = true;
    build();
}
