#pragma once

#include <QLabel>

// A clickable text with the pointing-hand cursor over its whole frame. A left click (press and
// release inside) fires `clicked`; its look is given by whoever styles it.
class LinkLabel : public QLabel
{
    Q_OBJECT

public:
    explicit LinkLabel(QWidget *parent = nullptr);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    bool m_pressed = false;
};
