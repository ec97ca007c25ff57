#include "flow/platform.h"

#include "platform/activity_hold.h"
#include "platform/app_launch.h"
#include "platform/processor.h"

#include <QCoreApplication>
#include <QDesktopServices>

Platform Platform::real()
{
    return {&QDesktopServices::openUrl, &::launchApplication,    &beginActivityHold,
            &::prefersArmImage,         &Dialogs::showSheet,     &Dialogs::confirm,
            &Dialogs::chooseFolder,     &QCoreApplication::quit, &Dialogs::dismissQuestion};
}
