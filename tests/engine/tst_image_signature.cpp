#include "engine/image_signature.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

QByteArray randomBytes(QRandomGenerator &random, qsizetype size)
{
    QByteArray bytes(size, '\0');
    for (char &c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

// `text` with one part spoilt as `change` says; the base64 lines stay well formed.
QByteArray edited(const QByteArray &text, const QString &change)
{
    QList<QByteArray> lines = text.split('\n');
    const auto flipDecoded = [&lines](int line, int at) {
        QByteArray bytes = QByteArray::fromBase64(lines[line]);
        bytes[at] = char(bytes[at] ^ 1);
        lines[line] = bytes.toBase64();
    };
    if (change == u"keyId")
        flipDecoded(1, 3);
    else if (change == u"global")
        flipDecoded(3, 10);
    else if (change == u"comment")
        lines[2].replace("timestamp:", "timestamp:1");
    else if (change == u"notBase64")
        lines[1][5] = '\xb5'; // a byte that libsodium alone would decode
    else if (change == u"oversized")
        lines[0].append(ImageSignature::kMaxSize, 'x');
    else if (change == u"truncated")
        return text.left(text.size() / 2);
    else if (change == u"empty")
        return {};
    else if (change == u"noFinalNewline")
        return text.chopped(1);
    else if (change == u"extraLine")
        return text + "untrusted comment: more\n";
    return lines.join('\n');
}

} // namespace

class TestImageSignature : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void verify_data();
    void verify();
    void fuzz();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    QByteArray read(const QString &name) const
    {
        QFile f(path(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void write(const QString &name, const QByteArray &bytes)
    {
        QFile f(path(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(bytes), bytes.size());
    }
    void minisign(const QStringList &args)
    {
        QProcess p;
        p.setWorkingDirectory(m_dir->path());
        p.start(u"minisign"_s, args);
        p.closeWriteChannel();
        QVERIFY(p.waitForFinished());
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0,
                 p.readAllStandardError().constData());
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    static constexpr qsizetype kPartSize = 4000; // hashed from the file, as a resumed download
};

void TestImageSignature::initTestCase()
{
    QVERIFY2(!qEnvironmentVariableIsEmpty("QUORVEL_TEST_TMP"), "run it through ctest");
    m_dir = std::make_unique<QTemporaryDir>(qEnvironmentVariable("QUORVEL_TEST_TMP") +
                                            u"/sig-XXXXXX"_s);
    QVERIFY(m_dir->isValid());
    QRandomGenerator random(19);
    QByteArray image = randomBytes(random, 10000);
    for (const QString &dir : {u"a"_s, u"b"_s, u"changed"_s})
        QVERIFY(QDir(m_dir->path()).mkdir(dir));
    write(u"a/image.img"_s, image);
    write(u"b/image.img"_s, randomBytes(random, 10000));
    image[9000] = char(image[9000] ^ 0x40);
    write(u"changed/image.img"_s, image);
    for (const QString &dir : {u"a"_s, u"changed"_s})
        write(dir + u"/image.img.part"_s, read(dir + u"/image.img"_s).left(kPartSize));

    for (const QString &k : {u"key1"_s, u"key2"_s})
        minisign({u"-G"_s, u"-W"_s, u"-p"_s, k + u".pub"_s, u"-s"_s, k + u".sec"_s});
    for (const QString &form : {QString(), u"-l"_s}) {
        const auto sign = [&](const QString &key, const QString &file, const QString &out,
                              const QStringList &more = {}) {
            minisign(
                QStringList{u"-S"_s, u"-s"_s, key + u".sec"_s, u"-m"_s, file, u"-x"_s, out + form} +
                (form.isEmpty() ? QStringList() : QStringList{form}) + more);
        };
        sign(u"key1"_s, u"a/image.img"_s, u"good"_s);
        sign(u"key1"_s, u"b/image.img"_s, u"other"_s);
        sign(u"key2"_s, u"a/image.img"_s, u"byKey2"_s);
        sign(u"key1"_s, u"a/image.img"_s, u"named"_s, {u"-t"_s, u"timestamp:1\tfile:other.img"_s});
    }
}

void TestImageSignature::verify_data()
{
    QTest::addColumn<QString>("signature");
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("reason"); // empty: the image verifies

    for (const QString &form : {QString(), u"-l"_s}) {
        const auto row = [&form](const char *name, const QString &signature, const QString &change,
                                 const QString &image, const QString &key, const QString &reason) {
            QTest::addRow("%s%s", name, qPrintable(form))
                << signature + form << change << image << key << reason;
        };
        const QString a = u"a"_s, good = u"good"_s, key1 = u"key1"_s;
        row("signed", good, {}, a, key1, {});
        row("no final newline", good, u"noFinalNewline"_s, a, key1, {});
        row("image changed", good, {}, u"changed"_s, key1, u"does not match the image"_s);
        row("other file's", u"other"_s, {}, a, key1, u"does not match the image"_s);
        row("comment edited", good, u"comment"_s, a, key1, u"global signature does not"_s);
        row("global changed", good, u"global"_s, a, key1, u"global signature does not"_s);
        row("other key", u"byKey2"_s, {}, a, key1, u"key id"_s);
        row("other key id", good, u"keyId"_s, a, key1, u"key id"_s);
        row("truncated", good, u"truncated"_s, a, key1, u"four lines"_s);
        row("extra line", good, u"extraLine"_s, a, key1, u"four lines"_s);
        row("empty", good, u"empty"_s, a, key1, u"empty"_s);
        row("oversized", good, u"oversized"_s, a, key1, u"larger than 4 KiB"_s);
        row("not base64", good, u"notBase64"_s, a, key1, u"not base64"_s);
        row("names other file", u"named"_s, {}, a, key1, u"names another file"_s);
    }
}

void TestImageSignature::verify()
{
    QFETCH(QString, signature);
    QFETCH(QString, change);
    QFETCH(QString, image);
    QFETCH(QString, key);
    QFETCH(QString, reason);

    const QByteArray text = read(signature);
    QVERIFY(!text.isEmpty());
    const auto publicKey = ImagePublicKey::parse(read(key + u".pub"_s).split('\n').value(1));
    QVERIFY(publicKey);
    const QString imagePath = path(image + u"/image.img"_s);
    ImageHasher hasher;
    QVERIFY(hasher.addFile(imagePath + u".part"_s));
    const QByteArray rest = read(image + u"/image.img"_s).mid(kPartSize);
    for (qsizetype at = 0; at < rest.size(); at += 1000)
        hasher.addData(rest.mid(at, 1000));

    QString why;
    const auto parsed = ImageSignature::parse(edited(text, change), &why);
    const bool verified =
        parsed && parsed->verify(*publicKey, u"image.img"_s, hasher, imagePath, &why);
    QVERIFY2(verified == reason.isEmpty() && why.contains(reason), qPrintable(why));
}

// Random texts and spoilt good ones: none may crash the parser or pass the check.
void TestImageSignature::fuzz()
{
    const auto publicKey = ImagePublicKey::parse(read(u"key1.pub"_s).split('\n').value(1));
    QVERIFY(publicKey);
    const QByteArray good = read(u"good"_s);
    const QString imagePath = path(u"a/image.img"_s);
    ImageHasher hasher;
    QVERIFY(hasher.addFile(imagePath));
    // The untrusted comment and the final newline are not signed: they are left alone.
    const qsizetype signedFrom = good.indexOf('\n') + 1;
    static const QByteArray alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                       "0123456789+/=\n\t: ";
    QRandomGenerator random(19);
    int parsed = 0;
    for (int i = 0; i < 4000; ++i) {
        QByteArray text;
        if (i % 4 == 0) {
            text = randomBytes(random, random.bounded(5000));
            if (i % 8 == 0)
                for (char &c : text)
                    c = alphabet[random.bounded(alphabet.size())];
        } else {
            text = good;
            for (int k = random.bounded(1, 4); k > 0; --k) {
                const qsizetype at = random.bounded(signedFrom, text.size() - 1);
                switch (random.bounded(3)) {
                case 0:
                    text[at] = char(text[at] ^ random.bounded(1, 256));
                    break;
                case 1:
                    text.remove(at, 1);
                    break;
                default:
                    text.insert(at, char(random.bounded(256)));
                }
            }
        }
        QString why;
        const auto signature = ImageSignature::parse(text, &why);
        parsed += signature.has_value();
        QVERIFY2(!signature ||
                     !signature->verify(*publicKey, u"image.img"_s, hasher, imagePath, &why),
                 text.toBase64().constData());
        QVERIFY(!why.isEmpty());
    }
    QVERIFY(parsed > 0); // some reach the signature checks, not only the parser
}

QTEST_GUILESS_MAIN(TestImageSignature)
#include "tst_image_signature.moc"
