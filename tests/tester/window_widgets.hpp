// A widget of the tester window by its object name; a name the window lacks ends the test.
#pragma once

#include <QWidget>

template <typename T = QWidget>
T *find(QWidget *window, const char *name)
{
    if (T *widget = window->findChild<T *>(QString::fromLatin1(name)))
        return widget;
    qFatal("no widget %s", name);
}
