// Signed release manifests: keys and signatures made by the real minisign
// verify, and every kind of tampering is refused; a run with a trusted key
// flashes a listed image and names its release in the history, and touches
// no port for any other.

#include "engine/release_manifest.h"
#include "records/history_store.h"
#include "sim_harness.h"
#include "tool_run.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString release_comment = QStringLiteral("release 2026.12.1 by the firmware team");

bool minisign(const QStringList &arguments)
{
    QProcess tool;
    tool.start(QStringLiteral("minisign"), arguments);
    tool.closeWriteChannel();
    return tool.waitForFinished(60000) && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

// A key pair without a password, as a release team would make it with -G.
bool make_key(const QTemporaryDir &dir, const QString &name)
{
    return minisign({"-G", "-W", "-f", "-p", dir.filePath(name + ".pub"), "-s", dir.filePath(name + ".sec")});
}

// Writes the manifest as `file` and signs it with the key into file.minisig.
bool sign(const QTemporaryDir &dir, const QString &key, const QByteArray &manifest, const QString &file,
          bool legacy = false)
{
    write_file(dir, file, manifest);
    return minisign(
        QStringList{"-S", "-s", dir.filePath(key + ".sec"), "-m", dir.filePath(file), "-t", release_comment}
        + (legacy ? QStringList{"-l"} : QStringList{}));
}

QByteArray manifest_of(const QString &sha256, const QString &expires = QStringLiteral("2099-06-30T00:00:00Z"))
{
    return QStringLiteral(R"({"product": "wifi-module", "release": "2026.12.1", "expires": "%1", "unknown": 1,
 "images": [{"sha256": "%2", "name": "fw-2.4.1.bin", "version": "2.4.1"}]})")
        .arg(expires, sha256)
        .toUtf8();
}

QString sha256_of(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

} // namespace

class TestRelease : public QObject
{
    Q_OBJECT

private slots:
    void minisign_signatures_hold_and_tampering_is_refused()
    {
        QTemporaryDir dir;
        QVERIFY(make_key(dir, "team") && make_key(dir, "other"));
        const QByteArray image("the new firmware image");
        const QString sha = sha256_of(image);
        const QByteArray manifest = manifest_of(sha);
        const QByteArray key = file_bytes(dir.filePath("team.pub"));
        const QDateTime now = QDateTime::currentDateTimeUtc();
        QVERIFY(sign(dir, "team", manifest, "manifest.json")
                && sign(dir, "team", manifest, "legacy.json", true)
                && sign(dir, "other", manifest, "other.json")
                && sign(dir, "team", manifest_of(sha, "2020-01-01T00:00:00Z"), "expired.json"));
        const QByteArray signature = file_bytes(dir.filePath("manifest.json.minisig"));
        QByteArray forged_comment = signature;
        forged_comment.replace(release_comment.toUtf8(), "release 2099.1 by someone else");
        QByteArray altered = manifest;
        altered.replace("2.4.1\"}", "2.4.2\"}");

        for (const char *form : {"manifest.json.minisig", "legacy.json.minisig"}) { // ED, then the legacy Ed
            const ReleaseApproval ok = approve_image(key, manifest, file_bytes(dir.filePath(form)), sha, now);
            QVERIFY2(ok.approved(), qPrintable(ok.error));
            QCOMPARE(QStringList({ok.release, ok.version, ok.trusted_comment}),
                     QStringList({"2026.12.1", "2.4.1", release_comment}));
            // minisign names its key by the same id in the key file's comment.
            QVERIFY(key.startsWith("untrusted comment: minisign public key " + ok.key_id.toLatin1() + '\n'));
        }

        const struct
        {
            const char *what;
            QByteArray manifest, signature;
            QString sha;
            const char *reason; // a word of the message
        } refused[] = {
            {"an image the manifest does not list", manifest, signature, sha256_of(image + "x"),
             "does not list"},
            {"a manifest altered after signing", altered, signature, sha, "does not match"},
            {"a forged trusted comment", manifest, forged_comment, sha, "trusted comment"},
            {"another key's signature", manifest, file_bytes(dir.filePath("other.json.minisig")), sha,
             "another key"},
            {"an expired manifest", manifest_of(sha, "2020-01-01T00:00:00Z"),
             file_bytes(dir.filePath("expired.json.minisig")), sha, "expired"},
            {"a truncated signature", manifest, signature.left(signature.size() / 2), sha,
             "not a minisign signature"},
        };
        for (const auto &c : refused) {
            const ReleaseApproval approval = approve_image(key, c.manifest, c.signature, c.sha, now);
            QVERIFY2(!approval.approved() && approval.error.contains(QLatin1String(c.reason)),
                     qPrintable(QString::fromLatin1(c.what) + ": " + approval.error));
            QVERIFY2(approval.release.isEmpty() && approval.key_id.isEmpty(), c.what);
        }
    }

    void a_run_flashes_only_a_signed_image()
    {
        QTemporaryDir dir;
        QVERIFY(make_key(dir, "team"));
        const QString image = write_image(dir, 3000);
        const QString unsigned_image = write_file(dir, "other.bin", QByteArray(3000, 'u'));
        QVERIFY(sign(dir, "team", manifest_of(sha256_of(file_bytes(image))), "manifest.json"));
        const QString db = dir.filePath("history.sqlite");
        const QStringList trust{"--trusted-key", dir.filePath("team.pub"),
                                "--manifest",    dir.filePath("manifest.json"),
                                "--history-db",  db,
                                "--json"};

        SimModule sim({"--app-baud", "115200"});
        QVERIFY(sim.start());
        const Run refused = run_tool(trust + QStringList{"--file", unsigned_image, "--port", sim.link()});
        QCOMPARE(refused.exit_code, 2);
        QVERIFY2(refused.err.contains("not approved for flashing") && refused.events.isEmpty(),
                 qPrintable(refused.err));
        QVERIFY(sim.received().isEmpty()); // not even the scan's "+++"

        const Run flashed = run_tool(trust + QStringList{"--file", image, "--port", sim.link()});
        QVERIFY2(flashed.exit_code == 0, qPrintable(flashed.err));
        QVERIFY(sim.outData().startsWith(file_bytes(image)));
        QVector<HistoryRow> rows;
        HistoryStore(db).rows({}, rows);
        QVERIFY(!rows.isEmpty());
        const QByteArray key = file_bytes(dir.filePath("team.pub"));
        for (const HistoryRow &row : rows) {
            QCOMPARE(QStringList({row.release, row.release_comment}),
                     QStringList({"2026.12.1", release_comment}));
            QVERIFY(key.startsWith("untrusted comment: minisign public key " + row.release_key.toLatin1()
                                   + '\n'));
        }
    }
};

QTEST_GUILESS_MAIN(TestRelease)
#include "test_release.moc"
