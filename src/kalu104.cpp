// The program's entry and its start-up order.

#include <QApplication>
#include <QIcon>
#include <QQuickWindow>

#include "Unit1.h"
#include "Unit2.h"
#include "platform/Application.h"

namespace {

// The program reads no command line: the engine gets the program's name and
// the switches the program itself decides.
char programName[] = "kalu";
// Script runs interpreted only: the viewer's pages are static, and V8's
// optimising tiers held some 6 MiB over the three renderers a guide needs.
char liteScript[] = "--js-flags=--lite-mode";
char *engineArguments[] = {programName, liteScript, nullptr};
int engineArgumentCount = 2;

} // namespace

int main(int, char **)
{
    // Qt WebEngine shares its GL contexts with the widgets; it must be set
    // before the application object exists.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    // The program keeps nothing between runs, not even compiled shaders.
    QCoreApplication::setAttribute(Qt::AA_DisableShaderDiskCache);
    // The engine's pages reach the window through Qt Quick, drawn here in
    // software: a guide needs no GPU, and the GL stack alone (a software GL
    // renderer where there is no GPU) held some 60 MiB. The engine then
    // composites in software too, and no GL library is loaded at all.
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    qputenv("QT_XCB_GL_INTEGRATION", QByteArrayLiteral("none"));
    QApplication app(engineArgumentCount, engineArguments);
    platform::Application::Initialize(app);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/kalu.png")));

    // Unit2's start step: the message window, fetched, shown and painted
    // before the main window exists. Nothing owns it; it stays up for the run.
    TForm2 *startupWindow = ShowStartupWindow();

    // The main window: its create handler pauses, places it at (1, 1) and
    // opens the first guide, all before it is shown.
    auto *form1 = new TForm1;
    // A second message window, never shown: its creation fetches the message
    // again through its own client.
    auto *form2 = new TForm2;
    Form2 = form2;

    form1->show();
    form1->raise();
    form1->activateWindow();
    QApplication::exec();

    // Owned windows go in the reverse order of their creation.
    delete form2;
    delete form1;
    // The unowned message window goes with the process, after the owned ones.
    delete startupWindow;
    return 0;
}
