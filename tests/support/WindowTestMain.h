#pragma once

#include <QApplication>
#include <QTest>

#include "platform/Application.h"

// main() for tests of the windows: the application object set up as the
// program sets it up, so fonts, hints and the browser engine behave alike.
#define KALU_WINDOW_TEST_MAIN(TestClass)                                                                     \
    int main(int argc, char **argv)                                                                          \
    {                                                                                                        \
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);                                          \
        QApplication app(argc, argv);                                                                        \
        platform::Application::Initialize(app);                                                              \
        TestClass test;                                                                                      \
        return QTest::qExec(&test, argc, argv);                                                              \
    }
