#pragma once

#include <QWidget>

#include <memory>

// Gives a view built without a parent to its place in the window; later ones stack on top.
template <typename View> View *addSubview(QWidget *parent, std::unique_ptr<View> view)
{
    view->setParent(parent);
    return view.release();
}
