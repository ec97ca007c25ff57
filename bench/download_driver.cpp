// Downloads one URL with the setup's Downloader, as one whole process that the benchmark times
// from outside, and prints this process's peak resident memory, for bench/download_bench.sh.
// With a fourth argument the file is checked as the setup checks its disk image (the public
// key, or "-" for the format alone), and the time from its last byte to the end of the check
// is printed too. `--verify FILE KEY` checks FILE.minisig over FILE, as the setup would after
// a download, reading the file once.
#include "engine/downloader.h"
#include "engine/image_signature.h"

#include <QCoreApplication>
#include <QFile>

#include <chrono>
#include <cstdio>
#include <sys/resource.h>

namespace {

int verify(const QString &image, const QByteArray &keyLine)
{
    QFile signatureFile(image + QStringLiteral(".minisig"));
    const std::optional<ImagePublicKey> key = ImagePublicKey::parse(keyLine);
    ImageHasher hasher;
    QString why;
    const std::optional<ImageSignature> signature =
        signatureFile.open(QIODevice::ReadOnly)
            ? ImageSignature::parse(signatureFile.read(ImageSignature::kMaxSize + 1), &why)
            : std::nullopt;
    const bool ok = key && signature && hasher.addFile(image) &&
                    signature->verify(*key, image.section(u'/', -1), hasher, image, &why);
    if (!ok)
        std::fprintf(stderr, "not verified: %s\n", qPrintable(why));
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 4 && qstrcmp(argv[1], "--verify") == 0)
        return verify(QString::fromLocal8Bit(argv[2]), argv[3]);
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr,
                     "usage: %s URL DEST CA_FILE [PUBLIC_KEY|-]\n       %s --verify FILE KEY\n",
                     argv[0], argv[0]);
        return 2;
    }
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastByte{};
    auto dl = std::make_shared<Downloader>(QString::fromLocal8Bit(argv[1]),
                                           QString::fromLocal8Bit(argv[2]));
    dl->options.caFile = QString::fromLocal8Bit(argv[3]);
    if (argc == 5) {
        dl->options.diskImage = true;
        dl->options.publicKey = qstrcmp(argv[4], "-") == 0 ? QByteArray() : QByteArray(argv[4]);
    }
    dl->onProgress = [&](qint64 written, qint64 expected) {
        if (written == expected)
            lastByte = Clock::now();
    };
    dl->onComplete = [&](bool ok, const QString &error) {
        if (!ok)
            std::fprintf(stderr, "download failed: %s\n", qPrintable(error));
        else if (argc == 5)
            std::printf(
                "check_us=%lld\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - lastByte)
                        .count()));
        app.exit(ok ? 0 : 1);
    };
    dl->start();
    const int rc = app.exec();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("maxrss_kib=%ld\n", usage.ru_maxrss);
    return rc;
}
