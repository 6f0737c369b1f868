// SPDX-License-Identifier: MIT
#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication a(argc, argv);
    MainWindow w;
    w.show();
    const int result = a.exec();
    return result;
}
