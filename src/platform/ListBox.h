#pragma once

#include <QListWidget>

namespace platform {

// A list box that tells when the user chose an item: a mouse click on an item,
// moving the selection with the keys, or type-ahead. Selecting from code
// tells nothing.
class ListBox : public QListWidget
{
    Q_OBJECT

public:
    using QListWidget::QListWidget;

signals:
    void Click();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    bool m_pressedOnItem = false;
};

} // namespace platform
