#pragma once

#include "ui/lazy_view.h"

#include <QString>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
struct UIStrings;

// The settings below the main view: the language list and the install folder with Browse.
// Its controls are made when it first opens; until then it keeps what it is told.
class SettingsPanel : public LazyView
{
    Q_OBJECT

public:
    explicit SettingsPanel(QWidget *parent);

    void relabel(const UIStrings &strings);
    // Locks the folder, Browse and the language list while the setup works.
    void setBusy(bool busy);
    QString folderText() const;
    void setFolderText(const QString &text);
    void setLanguageIndex(int index);
    // The controls in reading order; none before the panel is first opened.
    QList<QWidget *> keyboardOrder() const;

signals:
    void languageChosen(int index);
    void browseClicked();

private:
    void build() override;
    // The locks and the texts, on the controls made.
    void apply();

    const UIStrings *m_strings = nullptr;
    bool m_busy = false;
    QString m_folderText;
    int m_languageIndex = 0;
    QLabel *langLabel = nullptr;
    QComboBox *langPopup = nullptr;
    QLabel *pathLabel = nullptr;
    QLineEdit *locationField = nullptr;
    QPushButton *browseButton = nullptr;
};
