#include "platform/Dialogs.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

#include "platform/Application.h"

namespace platform::Dialogs {

void ShowMessage(const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, Application::Title(), text, QMessageBox::NoButton,
                    QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    QPushButton *ok = box.addButton(QMessageBox::Ok);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.adjustSize();
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect frame = box.frameGeometry();
        frame.moveCenter(screen->geometry().center());
        box.move(frame.topLeft());
    }
    box.exec();
}

} // namespace platform::Dialogs
