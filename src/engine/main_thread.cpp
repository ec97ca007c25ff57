#include "engine/main_thread.h"

#include <QCoreApplication>

void postToMainThread(std::function<void()> fn)
{
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}
