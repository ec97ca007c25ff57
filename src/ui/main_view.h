#pragma once

#include "ui/flipped_view.h"

#include <QList>

class LinkLabel;
class QCheckBox;
class QLabel;
class RoundedButton;
struct UIStrings;

// The window's content and its main view: the brand row, the product, Install (or Retry), the
// status and detail lines of a failure, the offline link and the agree row (the accept box,
// the two agreement links and the settings link). The other views lie on top of it.
class MainView : public FlippedView
{
    Q_OBJECT

public:
    MainView(const QString &resourcesFolder, QWidget *parent);

    // Writes every text in `strings` and lays out the agree row to fit them.
    void relabel(const UIStrings &strings);
    // Locks Install and the accept box while the setup works.
    void setBusy(bool busy);
    // The failure lines; empty texts clear them.
    void showMessages(const QString &status, const QString &detail);
    void setOfflineLinkVisible(bool visible);
    // After a failure: Retry stands where Install stood, and the agree row is gone; but for the
    // settings link when the folder may be what failed.
    void setRetryOffered(bool offered, bool folderChangeable);
    // While another view lies over it, its controls are hidden as well: not there to be read
    // out or pressed by assistive tools.
    void setCovered(bool covered);

    // Install (or Retry): the view's default button.
    RoundedButton *mainButton() const { return installButton; }
    // The controls in reading order, with the settings panel's after the link that opens it and
    // the offline link, below Retry, last.
    QList<QWidget *> keyboardOrder(const QList<QWidget *> &settingsControls) const;

signals:
    void installClicked();
    void offlineClicked();
    void privacyClicked();
    void licenseClicked();
    void settingsClicked();

private:
    void acceptToggled();
    void applyVisibility();
    void relabelInstallButton();
    QList<QWidget *> agreeRow() const;
    void layoutAgreeRow();
    bool agreeRowFits() const;

    const UIStrings *m_strings = nullptr;
    bool m_busy = false;
    bool m_retryOffered = false;
    bool m_folderChangeable = false;
    bool m_offlineLinkShown = false;
    bool m_covered = false;
    QList<QWidget *> m_ownControls;
    RoundedButton *installButton;
    QLabel *statusLabel;
    QLabel *detailLabel;
    LinkLabel *offlineLink;
    QCheckBox *acceptCheck;
    LinkLabel *privacyLink;
    QLabel *andLabel;
    LinkLabel *licenseLink;
    LinkLabel *settingsLink;
};
