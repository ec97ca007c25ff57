#pragma once

#include <QLabel>

// A clickable text with the pointing-hand cursor over its whole frame. A left click (press and
// release inside) fires `clicked`, and so do Return, Enter and Space while it has the focus;
// its look is given by whoever styles it.
class LinkLabel : public QLabel
{
    Q_OBJECT

public:
    explicit LinkLabel(QWidget *parent = nullptr);

    // Where the text stands in the label's frame.
    QRect textFrame() const;

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    bool m_pressed = false;
};
