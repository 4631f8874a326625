// A long working session in one window: two hundred conversions in a row, plain, cancelled in each
// phase, failing (missing folder, broken record, full disk, a name the window cannot hold) or refused.
// Whatever a run did, it gives back the files and threads it took, leaves the stored settings alone,
// and the window still converts. The sanitizer build's leak check sees the end of the same process.

#include "engine/host.h"
#include "reliability/harness.h"
#include "ui/frmmain1.h"
#include "ui/frmstatus.h"
#include "ui/testing/fakes.h"
#include "ui/testing/support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <map>
#include <memory>
#include <sys/resource.h>

using jf::frmMain1;
using jf::test::readBytes;
using jf::test::writeBytes;
using namespace jf::testing;

namespace {

enum class Run {
    Plain,         // a source with LF line ends, which the format check rewrites
    OtherOptions,  // normals, split quads, squared noise, on the source already in normal form
    CancelCheck,   // the source is then left with its LF line ends
    CancelScan,    // the box is cut short: every line written, the vertices differently noised
    CancelNoise,   // the destination keeps the first lines, whole
    FolderMissing, // the destination's folder does not exist
    BrokenRecord,  // a vertex with two coordinates
    DiskFull,      // the destination cannot be written in full
    Declined,      // the user keeps an existing destination
    SameFile,      // the destination is the source in another letter case
    NotUtf8Name,   // a source whose name is not UTF-8, as a file dialog would hand it over
};
const Run kSession[] = {Run::Plain,         Run::CancelCheck, Run::OtherOptions, Run::CancelScan,
                        Run::FolderMissing, Run::CancelNoise, Run::BrokenRecord, Run::DiskFull,
                        Run::Declined,      Run::SameFile,    Run::NotUtf8Name};
constexpr int kRuns = 200;
constexpr int kWarmUp = 2 * int(std::size(kSession));

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

// A limit on the size of any file this process writes, as a full disk would stop it; writes beyond it
// fail (SIGXFSZ ignored) until the limit goes.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_before);
        m_handler = std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{bytes, m_before.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_before);
        std::signal(SIGXFSZ, m_handler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit m_before{};
    void (*m_handler)(int) = nullptr;
};

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void session();

private:
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QByteArray directOutput(const PlainOptions& options)
    {
        return jf::testing::directOutput(m_mesh, path(QStringLiteral("direct")), options);
    }
    // One conversion of the session; its checks fail the test through QVERIFY.
    void convert(frmMain1& window, Run run, int number);
    QByteArray settingsFile() const
    {
        return readFile(path(QStringLiteral("settings/Jitterform/Jitterform.conf")));
    }

    QTemporaryDir m_dir;
    jf::testing::Fakes m_fakes;
    QByteArray m_mesh;
    QByteArray m_plainOutput;
    QByteArray m_otherOutput;
};

void TestSoak::convert(frmMain1& window, Run run, int number)
{
    const QString what = QStringLiteral("run %1 of kind %2").arg(number).arg(int(run));
    const QString source =
        path(run == Run::BrokenRecord ? QStringLiteral("Broken.obj") : QStringLiteral("Mesh.obj"));
    const QString destination =
        run == Run::FolderMissing ? path(QStringLiteral("nowhere/out.obj")) : path(QStringLiteral("out.obj"));
    const auto normalForm = [](QByteArray text) { return text.replace("\r\n", "\n").replace("\n", "\r\n"); };
    const QByteArray normal = normalForm(m_mesh);
    QFile::remove(path(QStringLiteral("out.obj")));
    if (run == Run::Plain || run == Run::CancelCheck)
        QVERIFY(writeFile(source, m_mesh));
    if (run == Run::DiskFull)
        QVERIFY(writeFile(source, normal)); // so that only the destination is written
    if (run == Run::Declined)
        QVERIFY(writeFile(destination, "old\n"));
    const QByteArray rawName = QFile::encodeName(m_dir.path()) + "/\xff\xfe.obj";
    if (run == Run::NotUtf8Name)
        QVERIFY(writeBytes(rawName, m_mesh));
    const QByteArray sourceBefore = readFile(source);

    window.txtSource->setText(run == Run::NotUtf8Name ? QFile::decodeName(rawName) : lower(source));
    window.txtDestination->setText(run == Run::SameFile ? lower(source).toUpper() : lower(destination));
    const bool other = run == Run::OtherOptions;
    window.chkNormals->setChecked(other);
    window.chkSplit->setChecked(other);
    window.cmbAlgorithm->setCurrentIndex(other ? jf::Squared : jf::White);
    window.txtIntensity->setText(other ? QStringLiteral("2.5") : QStringLiteral("0.1"));
    m_fakes.messages.answer = run != Run::Declined;

    const QString cancelIn = run == Run::CancelCheck   ? kCheck
                             : run == Run::CancelScan  ? kScan
                             : run == Run::CancelNoise ? kNoise
                                                       : QString();
    int servings = 0;
    std::optional<FileSizeLimit> full;
    if (run == Run::DiskFull)
        full.emplace(16 * 1024);
    convertWith(window, [&] {
        if (!cancelIn.isEmpty() && phaseOf(window) == cancelIn && ++servings == 3)
            window.status()->Command1->click();
    });
    full.reset();

    QVERIFY2(!window.isRunning() && window.cmdConvert->isEnabled(), qPrintable(what));
    QVERIFY2(window.status() == nullptr || !window.status()->isVisible(), qPrintable(what));
    const std::map<Run, QString> messages = {
        {Run::FolderMissing, QStringLiteral("does not exist")},
        {Run::BrokenRecord, QStringLiteral(", line 2: a vertex needs three coordinates")},
        {Run::DiskFull, "Cannot write the destination file " + lower(destination) + ": File too large."},
        {Run::Declined, QStringLiteral(" exists. Overwrite?")},
        {Run::SameFile, QStringLiteral("The source and destination files are the same.")},
    };
    QString expectedMessage = messages.contains(run) ? messages.at(run) : QString();
    if (run == Run::NotUtf8Name) {
        // A QString cannot hold such a name: the window either reaches the file or says that it
        // cannot, and the file is never harmed.
        const bool reached = m_fakes.messages.shown.isEmpty();
        if (!reached)
            expectedMessage = QStringLiteral("Can't locate the source file ");
        const QByteArray after = readBytes(rawName);
        QVERIFY2(::unlink(rawName.constData()) == 0, qPrintable(what));
        QVERIFY2(after == m_mesh || (reached && after == normalForm(m_mesh)), qPrintable(what));
        QVERIFY2(!reached || readFile(destination) == m_plainOutput, qPrintable(what));
    }
    const auto& shown = m_fakes.messages.shown;
    QVERIFY2(shown.size() == (expectedMessage.isEmpty() ? 0 : 1),
             qPrintable(what + ": " + (shown.isEmpty() ? QString() : shown.first().text)));
    if (!expectedMessage.isEmpty()) {
        QCOMPARE(shown.first().title, QStringLiteral("Problem"));
        QVERIFY2(shown.first().text.contains(expectedMessage, Qt::CaseInsensitive),
                 qPrintable(what + ": " + shown.first().text));
    }
    m_fakes.messages.shown.clear();
    m_fakes.log.clear();

    const QByteArray output = readFile(destination);
    switch (run) {
    case Run::Plain:
    case Run::CancelCheck:
        QVERIFY2(output == m_plainOutput, qPrintable(what));
        break;
    case Run::OtherOptions:
        QVERIFY2(output == m_otherOutput, qPrintable(what));
        break;
    case Run::CancelScan:
        QVERIFY2(output.count('\n') == m_plainOutput.count('\n') && output != m_plainOutput,
                 qPrintable(what));
        break;
    case Run::CancelNoise:
        QVERIFY2(!output.isEmpty() && output.size() < m_plainOutput.size() && output.endsWith("\r\n") &&
                     m_plainOutput.startsWith(output),
                 qPrintable(what));
        break;
    case Run::Declined:
        QVERIFY2(output == "old\n", qPrintable(what));
        break;
    case Run::NotUtf8Name:
        return; // checked above
    default:
        QVERIFY2(!QFileInfo::exists(destination), qPrintable(what));
        break;
    }
    // The format check, where it ran to its end, left the source in its normal form, else as it was.
    const bool checked =
        run != Run::CancelCheck && run != Run::FolderMissing && run != Run::Declined && run != Run::SameFile;
    QVERIFY2(readFile(source) == (checked ? normalForm(sourceBefore) : sourceBefore), qPrintable(what));
}

void TestSoak::session()
{
    QVERIFY(m_dir.isValid() && QDir(m_dir.path()).mkpath(QStringLiteral("direct")));
    jf::testing::isolateSettings(path(QStringLiteral("settings")));
    m_mesh = jf::testing::meshText(12000);
    QVERIFY(writeFile(path(QStringLiteral("Mesh.obj")), m_mesh));
    QVERIFY(writeFile(path(QStringLiteral("Broken.obj")), "v 1 2 3\nv 4 5\nf 1 2 3\n"));
    m_plainOutput = directOutput({});
    PlainOptions other;
    other.normals = other.split = jf::Checked;
    other.algorithm = jf::Squared;
    other.intensity = "2.5";
    m_otherOutput = directOutput(other);
    QVERIFY(m_plainOutput.size() > 64 * 1024 && m_otherOutput != m_plainOutput);

    // The settings as a user leaves them: a source picked in the dialog, the window where it was.
    m_fakes.dialog.answers = {path(QStringLiteral("Mesh.obj"))};
    {
        frmMain1 first(m_fakes.services());
        first.show();
        first.cmdBrowseSource->click();
        QVERIFY(first.close());
    }
    const QByteArray settings = settingsFile();
    QVERIFY(settings.contains("MainLeft") && settings.contains("Path"));

    frmMain1 window(m_fakes.services());
    window.setDayClock(jf::testing::fixedDay());
    window.events().setThrottle(16, 0); // events served every few records: many servings in every phase
    window.show();
    QElapsedTimer clock;
    clock.start();
    Holdings settled;
    for (int number = 1; number <= kRuns; ++number) {
        convert(window, kSession[(number - 1) % std::size(kSession)], number);
        if (QTest::currentTestFailed())
            return;
        if (number == kWarmUp)
            settled = Holdings();
        else if (number > kWarmUp && number % std::size(kSession) == 0) {
            // A helper thread that was joined may stay listed for a moment while the kernel ends it.
            const bool givenBack = QTest::qWaitFor([&] { return Holdings().within(settled); }, 1000);
            QVERIFY2(givenBack, qPrintable(QStringLiteral("after run %1: %2; after run %3: %4")
                                               .arg(kWarmUp).arg(settled.text()).arg(number).arg(Holdings().text())));
        }
    }
    qInfo("%d runs in %lld ms; %s", kRuns, clock.elapsed(), qPrintable(settled.text()));
    QCOMPARE(settingsFile(), settings);

    // Still usable: browse, double the intensity, convert.
    m_fakes.dialog.answers = {path(QStringLiteral("Mesh.obj"))};
    window.cmdBrowseSource->click();
    QCOMPARE(m_fakes.dialog.setups.last().initialFolder, m_dir.path());
    QCOMPARE(window.txtDestination->text(), lower(path(QStringLiteral("Mesh_n.obj"))));
    window.Command1->click();
    QCOMPARE(window.txtIntensity->text(), QStringLiteral("0.2"));
    window.cmdConvert->click();
    QVERIFY(m_fakes.messages.shown.isEmpty());
    PlainOptions doubled;
    doubled.intensity = "0.2";
    QCOMPARE(readFile(path(QStringLiteral("mesh_n.obj"))), directOutput(doubled));
    QVERIFY(window.close());
    QCOMPARE(settingsFile(), settings);
}

QTEST_MAIN(TestSoak)
#include "tst_ui_soak.moc"
