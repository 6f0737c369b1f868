// SPDX-License-Identifier: MIT
// The tester window as its tests read it: a widget by its object name (a name the window lacks ends the
// test), and the panel's figures.
#pragma once

#include <QLabel>
#include <QStringList>
#include <QWidget>

template <typename T = QWidget>
T *find(QWidget *window, const char *name)
{
    if (T *widget = window->findChild<T *>(QString::fromLatin1(name)))
        return widget;
    qFatal("no widget %s", name);
}

// The panel: FPS, compressed size, transfer and image bytes a frame, bytes a second, width, height, depth.
inline QStringList labelTexts(QWidget *window)
{
    QStringList texts;
    for (const char *name : {"mFPS", "mCompressedSize", "mReceiveTransferBytesPerFrame", "mReceiveImageBytesPerFrame",
                             "mReceiveBytesPerSecond", "mWidth", "mHeight", "mDepth"})
        texts << find<QLabel>(window, name)->text();
    return texts;
}
