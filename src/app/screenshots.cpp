// Renders the four views of the window, and the install view waiting for the network, in each
// of the nine languages to PNG files, plus one contact sheet (all.png) with every picture side
// by side and labelled. Not a test: it is for a person to look at. Usage: quorvel-screenshots
// OUT_DIR
#include "l10n/localization.h"
#include "platform/paths.h"
#include "ui/install_view.h"
#include "ui/installer_window.h"
#include "ui/settings_panel.h"

#include <QApplication>
#include <QDir>
#include <QPainter>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

struct Shot
{
    QString name;
    std::function<void(InstallerWindow &, const UIStrings &)> show; // from a fresh window
};

const QList<Shot> kShots = {
    {u"main"_s, [](InstallerWindow &, const UIStrings &) {}},
    {u"settings"_s, [](InstallerWindow &w, const UIStrings &) { w.settingsClicked(); }},
    {u"install"_s,
     [](InstallerWindow &w, const UIStrings &r) {
         w.showInstallView(true);
         w.installView()->setProgress(450, false);
         w.installView()->setStatus(r.installingWait + u"  45%"_s);
     }},
    {u"finish"_s, [](InstallerWindow &w, const UIStrings &) { w.showFinishView(); }},
    // The install view while the download waits for the network.
    {u"waiting"_s,
     [](InstallerWindow &w, const UIStrings &r) {
         w.showInstallView(true);
         w.installView()->setStatus(r.waitingForNetwork);
     }},
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUT_DIR\n", argv[0]);
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(out.path())) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }

    const QList<UIStrings> &languages = Localization::all();
    QList<QList<QImage>> grid; // a row per language, a column per view
    for (qsizetype lang = 0; lang < languages.size(); ++lang) {
        QList<QImage> row;
        for (const Shot &shot : kShots) {
            InstallerWindow window(Paths::resourcesFolder());
            window.settingsPanel()->setFolderText(u"/Applications"_s);
            window.settingsPanel()->setLanguageIndex(int(lang));
            window.relabel(languages[lang]);
            window.show();
            shot.show(window, languages[lang]);
            const QImage image = window.grab().toImage();
            const QString file = out.filePath(u"%1-%2.png"_s.arg(languages[lang].code, shot.name));
            if (!image.save(file)) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
                return 1;
            }
            row << image;
        }
        grid << row;
    }

    // The contact sheet: one row per language, one column per view, each with its caption.
    constexpr int margin = 16, caption = 28;
    const int cellW = 640, cellH = 516;
    QImage sheet(margin + kShots.size() * (cellW + margin),
                 margin + grid.size() * (cellH + caption + margin), QImage::Format_RGB32);
    sheet.fill(QColor(90, 90, 96));
    QPainter painter(&sheet);
    QFont font = QApplication::font();
    font.setPixelSize(16);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    for (qsizetype r = 0; r < grid.size(); ++r) {
        for (qsizetype c = 0; c < grid[r].size(); ++c) {
            const int x = margin + int(c) * (cellW + margin);
            const int y = margin + int(r) * (cellH + caption + margin);
            painter.drawText(QRect(x, y, cellW, caption), Qt::AlignLeft | Qt::AlignVCenter,
                             languages[r].langName + u"  ·  "_s + kShots[c].name);
            painter.drawImage(QPoint(x, y + caption), grid[r][c]);
        }
    }
    painter.end();
    if (!sheet.save(out.filePath(u"all.png"_s))) {
        std::fprintf(stderr, "cannot write the contact sheet\n");
        return 1;
    }
    std::printf("%s\n", qPrintable(out.filePath(u"all.png"_s)));
    return 0;
}
