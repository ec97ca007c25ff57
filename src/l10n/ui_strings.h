#pragma once

#include <QString>
#include <QStringList>

#include <array>

// Every text of the setup window in one language. The records are built once by
// Localization::all() and only read afterwards.
struct UIStrings
{
    QString code;     // language code, also the key of its captions in slides.json
    QString langName; // the language's own name
    QString readAgreed;
    QString privacy;
    QString andWord;
    QString license;
    QString installSetting;
    QString selectLanguage;
    QString installPath;
    QString browse;
    QString btnInstall;
    QString btnRetry;
    QString btnStartNow;
    QString btnHide;
    QString installingWait;
    QString waitingForNetwork; // stands for installingWait while no network is reached
    QString cancelling;
    QString installInProgress;
    QString chooseLocation;
    QString offlineLink;
    QString installFailed;
    QString couldNotStart;  // ends in a separator; the detail follows directly
    QString installerError; // format: one "%ld", the error code
    QString exitConfirm;    // format: one "%@", the product name
    QString selectFolder;
    QString unusableFolder;      // a chosen folder whose name the text cannot carry exactly
    QString downloadNotVerified; // the image's signature did not hold
    QString notDiskImage;        // what was downloaded is no disk image
    QStringList slides;          // one caption per slide, in slide order

    // The 28 texts in declared order, for code that treats them all alike.
    static constexpr std::array<QString UIStrings::*, 28> textFields{
        &UIStrings::code,
        &UIStrings::langName,
        &UIStrings::readAgreed,
        &UIStrings::privacy,
        &UIStrings::andWord,
        &UIStrings::license,
        &UIStrings::installSetting,
        &UIStrings::selectLanguage,
        &UIStrings::installPath,
        &UIStrings::browse,
        &UIStrings::btnInstall,
        &UIStrings::btnRetry,
        &UIStrings::btnStartNow,
        &UIStrings::btnHide,
        &UIStrings::installingWait,
        &UIStrings::waitingForNetwork,
        &UIStrings::cancelling,
        &UIStrings::installInProgress,
        &UIStrings::chooseLocation,
        &UIStrings::offlineLink,
        &UIStrings::installFailed,
        &UIStrings::couldNotStart,
        &UIStrings::installerError,
        &UIStrings::exitConfirm,
        &UIStrings::selectFolder,
        &UIStrings::unusableFolder,
        &UIStrings::downloadNotVerified,
        &UIStrings::notDiskImage};

    // exitConfirm with the product name in place of its placeholder.
    QString exitQuestion(const QString &productName) const;
    // installerError with the code in place of its placeholder.
    QString installerErrorText(long errorCode) const;
};
