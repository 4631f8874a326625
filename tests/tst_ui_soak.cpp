// A long working session in one window: conversions in a row, plain, cancelled in each phase,
// failing (missing folder, broken record, full disk, a name the window cannot hold) or refused.
// Whatever a run did, it gives back the files and threads it took, and the window still converts.
// The sanitizer build's leak check sees the end of the same process.

#include "reliability/harness.h"
#include "ui/testing/support.h"

#include <QElapsedTimer>

#include <csignal>
#include <sys/resource.h>

using jf::frmMain1;
using namespace jf::testing;

namespace {

enum class Run { Plain, CancelCheck, CancelScan, CancelNoise, FolderMissing, BrokenRecord, DiskFull, Declined,
                 SameFile, NotUtf8Name };
constexpr int kKinds = 10;
constexpr int kWarmUp = 2 * kKinds, kRuns = 8 * kKinds;

int entriesIn(const char* folder)
{
    return int(QDir(QString::fromLatin1(folder)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size());
}

// What the process holds that a run could fail to give back.
struct Holdings
{
    int files = entriesIn("/proc/self/fd");
    int threads = entriesIn("/proc/self/task");
    bool within(const Holdings& limit) const { return files <= limit.files && threads <= limit.threads; }
    QString text() const { return QStringLiteral("%1 files, %2 threads").arg(files).arg(threads); }
};

} // namespace

class TestSoak : public WindowTest
{
    Q_OBJECT

    QByteArray m_mesh, m_plainOutput;

    // One run of the session; its checks fail the test through QVERIFY.
    void convert(frmMain1& window, Run run, const QString& what)
    {
        const QByteArray rawName = QFile::encodeName(m_dir->path()) + "/\xff\xfe.obj";
        const QString destination = path(run == Run::FolderMissing ? "nowhere/out.obj" : "out.obj");
        QFile::remove(path("out.obj"));
        // A full disk is to stop the destination, not the rewrite of the source.
        QVERIFY(writeAll(path("Mesh.obj"), run == Run::DiskFull ? jf::test::normalForm(m_mesh) : m_mesh));
        if (run == Run::Declined)
            QVERIFY(writeAll(destination, "old\n"));
        if (run == Run::NotUtf8Name)
            QVERIFY(jf::test::writeBytes(rawName, m_mesh));
        const QString source = lower(path(run == Run::BrokenRecord ? "Broken.obj" : "Mesh.obj"));
        window.txtSource->setText(run == Run::NotUtf8Name ? QFile::decodeName(rawName) : source);
        window.txtDestination->setText(run == Run::SameFile ? source.toUpper() : lower(destination));
        m_fakes->messages.answer = run != Run::Declined;

        const QString cancelIn = run == Run::CancelCheck   ? kCheck
                                 : run == Run::CancelScan  ? kScan
                                 : run == Run::CancelNoise ? kNoise
                                                           : QString();
        int servings = 0;
        rlimit before{};
        ::getrlimit(RLIMIT_FSIZE, &before);
        if (run == Run::DiskFull) { // as a full disk would, writes past 16 KiB fail (SIGXFSZ ignored)
            const rlimit full{16 * 1024, before.rlim_max};
            std::signal(SIGXFSZ, SIG_IGN);
            ::setrlimit(RLIMIT_FSIZE, &full);
        }
        convertWith(window, [&] {
            if (!cancelIn.isEmpty() && phaseOf(window) == cancelIn && ++servings == 3)
                window.status()->Command1->click();
        });
        ::setrlimit(RLIMIT_FSIZE, &before);
        QVERIFY2(!window.isRunning() && window.cmdConvert->isEnabled(), qPrintable(what));
        QVERIFY2(window.status() == nullptr || !window.status()->isVisible(), qPrintable(what));

        // The texts, and what each failure leaves on the disk, are the engine's and the convert
        // tests' business; here a run need only end as it should and leave the window fit for more.
        const bool fails = run == Run::FolderMissing || run == Run::BrokenRecord || run == Run::DiskFull ||
                           run == Run::Declined || run == Run::SameFile;
        QList<FakeMessageBoxes::Shown>& shown = m_fakes->messages.shown;
        if (run == Run::NotUtf8Name) {
            // A QString cannot hold such a name: the window reaches the file or says that it cannot,
            // and the file is never harmed.
            const QByteArray after = jf::test::readBytes(rawName);
            QVERIFY2(::unlink(rawName.constData()) == 0, qPrintable(what));
            QVERIFY2(after == m_mesh || after == jf::test::normalForm(m_mesh), qPrintable(what));
        } else {
            const QString said = shown.isEmpty() ? QString() : shown.first().text;
            QVERIFY2(shown.size() == (fails ? 1 : 0), qPrintable(what + ": " + said));
        }
        shown.clear();
        if (run == Run::Plain || run == Run::CancelCheck)
            QVERIFY2(readAll(destination) == m_plainOutput, qPrintable(what));
    }

private slots:
    void session()
    {
        QVERIFY(fresh() && QDir(m_dir->path()).mkpath(QStringLiteral("direct")));
        m_mesh = meshText(12000);
        QVERIFY(writeAll(path("Broken.obj"), "v 1 2 3\nv 4 5\nf 1 2 3\n"));
        m_plainOutput = directOutput(m_mesh, path("direct"));
        QVERIFY(m_plainOutput.size() > 64 * 1024);

        frmMain1 window(m_fakes->services());
        window.setDayClock(fixedDay());
        window.events().setThrottle(16, 0); // events served every few records: many servings in every phase
        window.show();
        QElapsedTimer clock;
        clock.start();
        Holdings settled;
        for (int number = 1; number <= kRuns; ++number) {
            convert(window, Run((number - 1) % kKinds), QStringLiteral("run %1").arg(number));
            if (QTest::currentTestFailed())
                return;
            if (number == kWarmUp) {
                settled = Holdings();
            } else if (number > kWarmUp && number % kKinds == 0) {
                // A helper thread that was joined may stay listed for a moment while the kernel ends it.
                const bool givenBack = QTest::qWaitFor([&] { return Holdings().within(settled); }, 1000);
                QVERIFY2(givenBack, qPrintable(QStringLiteral("after run %1: %2; after run %3: %4")
                                                   .arg(kWarmUp)
                                                   .arg(settled.text())
                                                   .arg(number)
                                                   .arg(Holdings().text())));
            }
        }
        qInfo("%d runs in %lld ms; %s", kRuns, clock.elapsed(), qPrintable(settled.text()));
        QVERIFY(window.close());
    }
};

QTEST_MAIN(TestSoak)
#include "tst_ui_soak.moc"
