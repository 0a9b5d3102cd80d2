#include "platform/ListBox.h"

#include <QKeyEvent>
#include <QMouseEvent>

namespace platform {

void ListBox::mousePressEvent(QMouseEvent *event)
{
    QListWidget::mousePressEvent(event);
    m_pressedOnItem = event->button() == Qt::LeftButton && itemAt(event->position().toPoint());
}

void ListBox::mouseReleaseEvent(QMouseEvent *event)
{
    QListWidget::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && m_pressedOnItem) {
        m_pressedOnItem = false;
        emit Click();
    }
}

void ListBox::keyPressEvent(QKeyEvent *event)
{
    // Arrow keys and type-ahead both end here; only a real move counts.
    const int before = currentRow();
    QListWidget::keyPressEvent(event);
    if (currentRow() != before && currentRow() >= 0)
        emit Click();
}

} // namespace platform
