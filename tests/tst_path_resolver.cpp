#include "bytes.h"
#include "path/filedescriptor.h"
#include "path/resolver.h"
#include "text/casemap.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

using jf::FileDescriptor;
using namespace jf::test;

namespace {

bool exists(const QByteArray& path)
{
    struct stat info;
    return lstat(path.constData(), &info) == 0;
}

const char kLatin1Name[] = "caf\xE9.obj";

} // namespace

class TestResolver : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Descriptors hold the whole path in upper case, so every folder above the temporary one must be
        // listable for such a path to be found.
        QDir above(QDir::tempPath());
        do {
            if (::access(QFile::encodeName(above.path()).constData(), R_OK) != 0)
                QSKIP("a folder above the temporary folder cannot be listed");
        } while (above.cdUp());
        const QByteArray temp = QFile::encodeName(QDir::tempPath());
        QCOMPARE(qb(jf::resolveOnDisk(jf::toUpperText(view(temp))).path), temp);
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_root = QFile::encodeName(m_dir->path());
        for (const char* folder : {"Models", "Models/Sub", "Lower", "Bytes"})
            QVERIFY2(::mkdir(at(folder).constData(), 0755) == 0, folder);
        for (const char* name :
             {"Lower/abc.obj", "Lower/ABC.obj", "Lower/Abc.OBJ", "Bytes/aBc.obj", "Bytes/Abc.OBJ",
              "Bytes/ABC.obj", "Bytes/abC.OBJ", "Stra\u00DFe.obj", kLatin1Name, "xy.obj"})
            QVERIFY2(writeBytes(at(name), name), name);
        // Sizes tell which file a name was mapped to.
        QVERIFY(writeBytes(at("Models/Cube.OBJ"), "v 0 0 0\n"));
        QVERIFY(::mkfifo(at("Pipe.obj").constData(), 0644) == 0);
        QVERIFY(::symlink("Models/Cube.OBJ", at("Link.obj").constData()) == 0);
    }

    void cleanup()
    {
        // QTemporaryDir decodes the names it removes as UTF-8 and would leave this one, and its folder,
        // behind.
        ::unlink(at(kLatin1Name).constData());
        m_dir.reset();
    }

    void resolve_data()
    {
        QTest::addColumn<QByteArray>("given");
        QTest::addColumn<QByteArray>("onDisk");
        QTest::addColumn<int>("found"); // components found below the temporary folder
        QTest::addColumn<int>("components");
        const auto row = [](const char* name, const QByteArray& given, const QByteArray& onDisk, int found,
                            int components) {
            QTest::newRow(name) << given << onDisk << found << components;
        };
        row("upper case", "MODELS/CUBE.OBJ", "Models/Cube.OBJ", 2, 2);
        row("dot levels", "./MODELS/../models/CUBE.OBJ", "./Models/../Models/Cube.OBJ", 5, 5);
        row("exact match first", "Lower/ABC.obj", "Lower/ABC.obj", 2, 2);
        row("lower-case form wins a tie", "LOWER/ABC.OBJ", "Lower/abc.obj", 2, 2);
        row("else first in byte order", "BYTES/ABC.OBJ", "Bytes/ABC.obj", 2, 2);
        row("full case mapping", "STRASSE.OBJ", "Stra\u00DFe.obj", 1, 1);
        row("invalid bytes kept", "CAF\xE9.OBJ", kLatin1Name, 1, 1);
        row("invalid bytes are no letters", "caf\xC9.obj", "caf\xC9.obj", 0, 1);
        row("missing middle folder", "MODELS/NOPE/CUBE.OBJ", "Models/NOPE/CUBE.OBJ", 1, 3);
        row("below a file", "models/cube.obj/X", "Models/Cube.OBJ/X", 2, 3);
        row("NUL byte", QByteArray("BYTES/ABC.obj\0x", 15), QByteArray("Bytes/ABC.obj\0x", 15), 1, 2);
    }
    void resolve()
    {
        QFETCH(QByteArray, given);
        QFETCH(QByteArray, onDisk);
        QFETCH(int, found);
        QFETCH(int, components);
        const std::size_t above = m_root.count('/');
        const jf::ResolvedPath resolved = jf::resolveOnDisk(view(at(given)));
        QCOMPARE(qb(resolved.path), at(onDisk));
        QCOMPARE(resolved.foundCount, above + found);
        QCOMPARE(resolved.componentCount, above + components);
        QCOMPARE(resolved.exists, found == components);
    }

    void newFile_data()
    {
        QTest::addColumn<QByteArray>("given");
        QTest::addColumn<QByteArray>("created");
        QTest::addColumn<bool>("folderFound");
        QTest::newRow("folder mapped, name lowered")
            << QByteArray("MODELS/SUB/W\u00DCRFEL.OBJ") << QByteArray("Models/Sub/w\u00FCrfel.obj") << true;
        QTest::newRow("invalid bytes kept")
            << QByteArray("MODELS/CAF\xC9.OBJ") << QByteArray("Models/caf\xC9.obj") << true;
        QTest::newRow("missing folder kept as given")
            << QByteArray("NOPE/SUB/NEW.OBJ") << QByteArray("NOPE/SUB/new.obj") << false;
    }
    void newFile()
    {
        QFETCH(QByteArray, given);
        QFETCH(QByteArray, created);
        QFETCH(bool, folderFound);
        bool folderExists = !folderFound;
        QCOMPARE(qb(jf::pathForNewFile(view(at(given)), &folderExists)), at(created));
        QCOMPARE(folderExists, folderFound);
    }

    void descriptorOnDisk_data()
    {
        QTest::addColumn<QByteArray>("typed");
        QTest::addColumn<bool>("file");
        QTest::addColumn<bool>("folder");
        QTest::addColumn<int>("size");
        QTest::addColumn<QByteArray>("removed"); // by Delete; empty: nothing is
        QTest::addColumn<QByteArray>("kept");    // still there after Delete
        const auto row = [](const char* name, const QByteArray& typed, bool file, bool folder, int size,
                            const QByteArray& removed, const QByteArray& kept) {
            QTest::newRow(name) << typed << file << folder << size << removed << kept;
        };
        row("file", "models/cube.obj", true, false, 8, "Models/Cube.OBJ", "Models");
        row("tie winner only", "LOWER/ABC.OBJ", true, false, 13, "Lower/abc.obj", "Lower/ABC.obj");
        row("star is no pattern", "x*.obj", false, false, 0, "", "xy.obj");
        row("link, not its target", "link.obj", true, false, 8, "Link.obj", "Models/Cube.OBJ");
        row("FIFO", "pipe.obj", false, false, 0, "", "Pipe.obj");
        row("folder", "models/sub", false, true, 0, "", "Models/Sub");
        row("name too long", QByteArray(100'000, 'n') + ".obj", false, false, 0, "", "Models");
    }
    void descriptorOnDisk()
    {
        QFETCH(QByteArray, typed);
        QFETCH(bool, file);
        QFETCH(bool, folder);
        QFETCH(int, size);
        QFETCH(QByteArray, removed);
        QFETCH(QByteArray, kept);
        FileDescriptor d;
        d.Split(view(at(typed)));
        QVERIFY(d.isFile() == file && d.isPath() == folder);
        std::error_code error = std::make_error_code(std::errc::io_error);
        QCOMPARE(d.Size(&error), std::uint64_t(size));
        QVERIFY2(!error, "Size reports no failure when there is nothing to measure or the query succeeds");
        error = d.Delete();
        QVERIFY2(!error, error.message().c_str());
        QVERIFY2(removed.isEmpty() || !exists(at(removed)), "the file must be gone");
        QVERIFY2(exists(at(kept)), "Delete removed more than the one file");
    }

    void sizeOverFourGiB()
    {
        constexpr off_t kSize = (off_t(5) << 30) + 3;
        const int fd = ::open(at("Big.obj").constData(), O_WRONLY | O_CREAT, 0644);
        const bool grown = fd >= 0 && ::ftruncate(fd, kSize) == 0;
        ::close(fd);
        if (!grown)
            QSKIP("the temporary folder's file system cannot hold a sparse 5 GiB file");
        FileDescriptor d;
        d.Split(view(at("big.obj")));
        QCOMPARE(d.Size(), std::uint64_t(kSize));
    }

    void deleteReportsFailure()
    {
        if (geteuid() == 0)
            QSKIP("running as root: a write-protected folder does not stop the removal");
        QVERIFY(::chmod(at("Models").constData(), 0555) == 0);
        FileDescriptor d;
        d.Split(view(at("models/cube.obj")));
        const std::error_code error = d.Delete();
        ::chmod(at("Models").constData(), 0755);
        QCOMPARE(error, std::make_error_code(std::errc::permission_denied));
    }

private:
    QByteArray at(const QByteArray& relative) const { return m_root + '/' + relative; }
    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_root;
};

QTEST_APPLESS_MAIN(TestResolver)
#include "tst_path_resolver.moc"
