#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

// What a modal message box held when the test closed it.
struct SeenBox
{
    bool seen = false;
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    bool defaultIsOk = false, escapeIsOk = false;
    QRect geometry;
};

// Closes the next modal message box from inside its own loop with the given
// key and records what it held. It polls from a timer: a blocking wait would
// sit below the box's loop on the stack and never return.
// Returns the poller, which deletes itself once it has closed a box; a
// caller that may see no box at all stops it through the returned pointer.
inline QPointer<QTimer> closeNextBox(SeenBox &seen, int key = Qt::Key_Return)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, &seen, key] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        poll->stop();
        poll->deleteLater();
        seen.seen = true;
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        for (QAbstractButton *b : box->buttons())
            seen.buttons << b->text().remove(u'&');
        seen.defaultIsOk = static_cast<QAbstractButton *>(box->defaultButton()) == box->button(QMessageBox::Ok);
        seen.escapeIsOk = box->escapeButton() == box->button(QMessageBox::Ok);
        seen.geometry = box->frameGeometry();
        QTest::keyClick(box, Qt::Key(key));
    });
    poll->start(10);
    return poll;
}

// Closes the boxes that come up while it lives, recording the first.
class BoxCloser
{
public:
    explicit BoxCloser(SeenBox &seen, int key = Qt::Key_Return) : m_poll(closeNextBox(seen, key)) {}
    ~BoxCloser()
    {
        if (m_poll)
            m_poll->deleteLater();
    }
    BoxCloser(const BoxCloser &) = delete;
    BoxCloser &operator=(const BoxCloser &) = delete;

private:
    QPointer<QTimer> m_poll;
};
