// Downloads one URL with the setup's Downloader, as one whole process that the benchmark times
// from outside, and prints this process's peak resident memory, for bench/download_bench.sh.
#include "engine/downloader.h"

#include <QCoreApplication>

#include <cstdio>
#include <sys/resource.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s URL DEST CA_FILE\n", argv[0]);
        return 2;
    }
    auto dl = std::make_shared<Downloader>(QString::fromLocal8Bit(argv[1]),
                                           QString::fromLocal8Bit(argv[2]));
    dl->options.caFile = QString::fromLocal8Bit(argv[3]);
    dl->onComplete = [&](bool ok, const QString &error) {
        if (!ok)
            std::fprintf(stderr, "download failed: %s\n", qPrintable(error));
        app.exit(ok ? 0 : 1);
    };
    dl->start();
    const int rc = app.exec();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("maxrss_kib=%ld\n", usage.ru_maxrss);
    return rc;
}
