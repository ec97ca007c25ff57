#include "engine/image_signature.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// `text` with one part spoilt as `change` says; the base64 lines stay well formed.
QByteArray edited(const QByteArray &text, const QString &change)
{
    QList<QByteArray> lines = text.split('\n');
    const int line = change == u"keyId" ? 1 : 3;
    QByteArray bytes = QByteArray::fromBase64(lines[line]);
    bytes[3] = char(bytes[3] ^ 1);
    if (change == u"keyId" || change == u"global")
        lines[line] = bytes.toBase64();
    else if (change == u"comment")
        lines[2].replace("timestamp:", "timestamp:1");
    else if (change == u"notBase64")
        lines[1][5] = '\xb5'; // a byte that libsodium alone would decode
    else if (change == u"oversized")
        lines[0].append(ImageSignature::kMaxSize, 'x');
    else if (!change.isEmpty())
        return change == u"truncated"        ? text.left(text.size() / 2)
               : change == u"extraLine"      ? text + "untrusted comment: more\n"
               : change == u"noFinalNewline" ? text.chopped(1)
                                             : QByteArray();
    return lines.join('\n');
}

QByteArray read(const QString &name)
{
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool write(const char *name, const QByteArray &bytes)
{
    QFile f(QString::fromLatin1(name));
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

void minisign(const QStringList &args)
{
    QProcess p;
    p.start(u"minisign"_s, args);
    p.closeWriteChannel();
    QVERIFY(p.waitForFinished() && p.exitStatus() == QProcess::NormalExit);
    QVERIFY2(p.exitCode() == 0, p.readAllStandardError().constData());
}

// The first part from a file, as a resumed download has it, then the rest in chunks.
bool hash(ImageHasher &hasher, const QString &image, qsizetype partSize)
{
    if (!hasher.addFile(image + u"/image.img.part"_s))
        return false;
    const QByteArray bytes = read(image + u"/image.img"_s);
    for (qsizetype at = partSize; at < bytes.size(); at += 1000)
        hasher.addData(bytes.mid(at, 1000));
    return true;
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
    static constexpr qsizetype kPartSize = 4000;
    QTemporaryDir m_dir{qEnvironmentVariable("QUORVEL_TEST_TMP") + u"/sig-XXXXXX"_s};
};

void TestImageSignature::initTestCase()
{
    QVERIFY2(!qEnvironmentVariableIsEmpty("QUORVEL_TEST_TMP"), "run it through ctest");
    QVERIFY(m_dir.isValid() && QDir::setCurrent(m_dir.path()));
    QByteArray image(10000, 'a');
    for (const char *dir : {"a", "b", "changed"})
        QVERIFY(QDir().mkdir(QString::fromLatin1(dir)));
    QVERIFY(write("a/image.img", image) && write("b/image.img", QByteArray(10000, 'b')));
    QVERIFY(write("a/image.img.part", image.left(kPartSize)) &&
            write("changed/image.img.part", image.left(kPartSize)));
    image[9000] = 'c';
    QVERIFY(write("changed/image.img", image));
    for (const QString &k : {u"key1"_s, u"key2"_s})
        minisign({u"-G"_s, u"-W"_s, u"-p"_s, k + u".pub"_s, u"-s"_s, k + u".sec"_s});
    for (const QString &form : {u"ED"_s, u"Ed"_s}) {
        const auto sign = [&](const QString &key, const QString &file, const QString &out,
                              QStringList args = {}) {
            args << u"-S"_s << u"-s"_s << key + u".sec"_s << u"-m"_s << file << u"-x"_s
                 << out + form;
            minisign(form == u"Ed" ? args << u"-l"_s : args);
        };
        sign(u"key1"_s, u"a/image.img"_s, u"good"_s);
        sign(u"key1"_s, u"b/image.img"_s, u"other"_s);
        sign(u"key2"_s, u"a/image.img"_s, u"byKey2"_s);
        sign(u"key1"_s, u"a/image.img"_s, u"named"_s,
             {u"-t"_s, u"timestamp:1\tfile:image.img.old"_s});
    }
}

void TestImageSignature::verify_data()
{
    QTest::addColumn<QString>("signature");
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("reason"); // empty: the image verifies

    for (const QString &form : {u"ED"_s, u"Ed"_s}) {
        const auto row = [&form](const char *name, const char *signature, const char *change,
                                 const char *image, const char *reason) {
            QTest::addRow("%s %s", name, qPrintable(form))
                << QString::fromLatin1(signature) + form << QString::fromLatin1(change)
                << QString::fromLatin1(image) << QString::fromLatin1(reason);
        };
        row("signed", "good", "", "a", "");
        row("no final newline", "good", "noFinalNewline", "a", "");
        row("image changed", "good", "", "changed", "does not match the image");
        row("other file's", "other", "", "a", "does not match the image");
        row("comment edited", "good", "comment", "a", "global signature does not");
        row("global changed", "good", "global", "a", "global signature does not");
        row("other key", "byKey2", "", "a", "key id");
        row("other key id", "good", "keyId", "a", "key id");
        row("truncated", "good", "truncated", "a", "four lines");
        row("extra line", "good", "extraLine", "a", "four lines");
        row("empty", "good", "empty", "a", "empty");
        row("oversized", "good", "oversized", "a", "larger than 4 KiB");
        row("not base64", "good", "notBase64", "a", "not base64");
        row("names other file", "named", "", "a", "names another file");
    }
}

void TestImageSignature::verify()
{
    QFETCH(QString, signature);
    QFETCH(QString, change);
    QFETCH(QString, image);
    QFETCH(QString, reason);

    const auto publicKey = ImagePublicKey::parse(read(u"key1.pub"_s).split('\n').value(1));
    ImageHasher hasher;
    QVERIFY(publicKey && hash(hasher, image, kPartSize));
    QString why;
    const auto parsed = ImageSignature::parse(edited(read(signature), change), &why);
    const bool verified =
        parsed && parsed->verify(*publicKey, u"image.img"_s, hasher, image + u"/image.img"_s, &why);
    QVERIFY2(verified == reason.isEmpty() && why.contains(reason), qPrintable(why));
}

// Random texts and spoilt good ones: none may crash the parser or pass the check.
void TestImageSignature::fuzz()
{
    const QByteArray keyLine = read(u"key1.pub"_s).split('\n').value(1);
    const auto publicKey = ImagePublicKey::parse(keyLine);
    ImageHasher hasher;
    QVERIFY(publicKey && hash(hasher, u"a"_s, kPartSize));
    // A key cut short, or one for another algorithm ("RU" is base64 for "ED").
    QVERIFY(!ImagePublicKey::parse(keyLine.chopped(4)) &&
            !ImagePublicKey::parse("RU" + keyLine.mid(2)));
    const QByteArray good = read(u"goodED"_s);
    // The untrusted comment and the final newline are not signed: they are left alone.
    const qsizetype signedFrom = good.indexOf('\n') + 1;
    static const QByteArray alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                       "0123456789+/=\n\t: ";
    QRandomGenerator random(19);
    int parsed = 0;
    for (int i = 0; i < 4000; ++i) {
        QByteArray text = i % 4 ? good : QByteArray(random.bounded(5000), '\0');
        for (char &c : text)
            if (i % 4 == 0)
                c = i % 8 ? char(random.bounded(256)) : alphabet[random.bounded(alphabet.size())];
        for (int k = i % 4 ? random.bounded(1, 4) : 0; k > 0; --k) {
            const qsizetype at = random.bounded(signedFrom, text.size() - 1);
            const int op = random.bounded(3);
            if (op == 0)
                text[at] = char(text[at] ^ random.bounded(1, 256));
            else
                op == 1 ? text.remove(at, 1) : text.insert(at, char(random.bounded(256)));
        }
        if (text == good)
            continue; // the changes undid each other
        QString why;
        const auto signature = ImageSignature::parse(text, &why);
        parsed += signature.has_value();
        QVERIFY2(!signature ||
                     !signature->verify(*publicKey, u"image.img"_s, hasher, u"a/image.img"_s, &why),
                 text.toBase64().constData());
        QVERIFY(!why.isEmpty());
    }
    QVERIFY(parsed > 0); // some reach the signature checks, not only the parser
}

QTEST_GUILESS_MAIN(TestImageSignature)
#include "tst_image_signature.moc"
