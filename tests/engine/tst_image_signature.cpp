#include "engine/image_signature.h"
#include "test_files.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

using namespace Qt::StringLiterals;

// The signatures' road through the setup is checked against a real minisign with the flow; here
// the parser meets what no server should send.
class TestImageSignature : public QObject
{
    Q_OBJECT

private slots:
    void fuzz();
};

// Random texts and spoilt good ones: none may crash the parser or pass the check.
void TestImageSignature::fuzz()
{
    const auto dir = testTempDir(u"sig-XXXXXX"_s);
    QVERIFY(dir->isValid() && QDir::setCurrent(dir->path()) &&
            writeFile(u"image.img"_s, QByteArray(10000, 'a')));
    QCOMPARE(QProcess::execute(u"sh"_s, {u"-c"_s, u"minisign -G -W -p key.pub -s key.sec && "
                                                  "minisign -S -s key.sec -m image.img"_s}),
             0);
    const QByteArray keyLine = readFile(u"key.pub"_s).split('\n').value(1);
    const auto publicKey = ImagePublicKey::parse(keyLine);
    ImageHasher hasher;
    QVERIFY(publicKey && hasher.addFile(u"image.img"_s));
    // A key cut short, or one for another algorithm ("RU" is base64 for "ED").
    QVERIFY(!ImagePublicKey::parse(keyLine.chopped(4)) &&
            !ImagePublicKey::parse("RU" + keyLine.mid(2)));
    const QByteArray good = readFile(u"image.img.minisig"_s);
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
                     !signature->verify(*publicKey, u"image.img"_s, hasher, u"image.img"_s, &why),
                 text.toBase64().constData());
        QVERIFY(!why.isEmpty());
    }
    QVERIFY(parsed > 0); // some reach the signature checks, not only the parser
    // A good signature whose unsigned comment runs past the bound is refused all the same.
    QString why;
    QVERIFY(!ImageSignature::parse(
        QByteArray(good).insert(signedFrom - 1, QByteArray(ImageSignature::kMaxSize, 'x')), &why));
}

QTEST_GUILESS_MAIN(TestImageSignature)
#include "tst_image_signature.moc"
