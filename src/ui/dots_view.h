#pragma once

#include <QWidget>

#include <functional>

// The slideshow's page indicator: `count` dots of 8 points every 16 points, centred in the
// view, the active one teal. A primary click anywhere in the view picks the dot by its x alone;
// with the focus, Left and Right pick the dot beside the active one.
class DotsView : public QWidget
{
    Q_OBJECT

public:
    explicit DotsView(const QRect &frame, QWidget *parent = nullptr);

    int count() const { return m_count; }
    void setCount(int count) { m_count = count; }
    int activeIndex() const { return m_activeIndex; }
    void setActiveIndex(int index);
    std::function<void(int index)> onSelect;

    // Left edge of the first dot and top edge of every dot.
    QPointF origin() const;
    // The dot a click at `x` picks, or -1.
    int dotAt(double x) const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    int m_count = 0;
    int m_activeIndex = 0;
};
