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

using namespace jf;
using namespace jf::test;

namespace {

bool exists(const QByteArray& path)
{
    struct stat info;
    return lstat(path.constData(), &info) == 0;
}

const char kLatin1Name[] = "caf\xE9.obj";

} // namespace

// How names are split, found on disk and made.
class TestPath : public QObject
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
        QCOMPARE(qb(resolveOnDisk(toUpperText(view(temp))).path), temp);
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

    // The parts that the Convert command builds the destination's name from. That the parts are
    // trimmed, upper case and free of separators whatever the input, and that the drive stays empty
    // in this path style, is the path fuzz target's to check.
    void split_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArrayList>("parts"); // directory, file, extension, path
        const auto row = [](const char* name, const QByteArray& input, const QByteArrayList& parts) {
            QTest::newRow(name) << input << parts;
        };
        row("full path", "/Models/cube.obj", {"/MODELS", "CUBE", "OBJ", "/MODELS/CUBE.OBJ"});
        row("trailing slash", "/Models/", {"/MODELS/", "", "", "/MODELS/"});
        row("double slash", "//server/share/cube.obj",
            {"//SERVER/SHARE", "CUBE", "OBJ", "//SERVER/SHARE/CUBE.OBJ"});
        // A relative path's first level is dropped.
        row("relative", "dir/sub/cube.obj", {"/SUB", "CUBE", "OBJ", "/SUB/CUBE.OBJ"});
        row("bare file name", "cube.obj", {"", "CUBE", "OBJ", "/CUBE.OBJ"});
        row("empty", "", {"", "", "", ""});
        row("two dots", "/m/a.b.obj", {"/M", "A.B", "OBJ", "/M/A.B.OBJ"});
        row("dot after last slash", "/m/.obj", {"/M", "", "OBJ", "/M/.OBJ"});
        row("trailing dot", "/m/cube.", {"/M", "CUBE", "", "/M/CUBE"});
        // A dot in a folder name is no extension dot; taken as one, the file name's length would
        // come out negative.
        row("dotted folder", "/my.dir/cube", {"/MY.DIR/CUBE", "", "", "/MY.DIR/CUBE"});
        row("colon and dot", "/a.b:c", {"", "A", "B:C", "/A.B:C"});
        row("backslashes are ordinary", R"(/m\x/cube.obj)", {R"(/M\X)", "CUBE", "OBJ", R"(/M\X/CUBE.OBJ)"});
        // Blanks around a part are dropped; tabs are not, nor blanks within it.
        row("inner blanks and tabs kept", "/my  m/\tcube.obj",
            {"/MY  M", "\tCUBE", "OBJ", "/MY  M/\tCUBE.OBJ"});
        // A zero-width no-break space is a character of the name like any other, also where it
        // starts a run of UTF-8 (after a byte that is not UTF-8, or at the start of a part).
        const QByteArray zw = "\xEF\xBB\xBF";
        row("zero-width no-break space kept", "/m/" + zw + "a\xFF" + zw + "b.obj",
            {"/M", zw + "A\xFF" + zw + "B", "OBJ", "/M/" + zw + "A\xFF" + zw + "B.OBJ"});
        QByteArray deep;
        while (deep.size() < 100'000)
            deep += "/level";
        const QByteArray name(100'000, 'n');
        row("deep folders and a long name", deep + "/" + name + ".obj",
            {deep.toUpper(), name.toUpper(), "OBJ", deep.toUpper() + "/" + name.toUpper() + ".OBJ"});
    }
    void split()
    {
        QFETCH(QByteArray, input);
        FileDescriptor d;
        d.Split(view(input));
        QTEST(QByteArrayList({qb(d.Directory()), qb(d.File()), qb(d.Extension()), qb(d.Path())}), "parts");
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
        const ResolvedPath resolved = resolveOnDisk(view(at(given)));
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
        QCOMPARE(qb(pathForNewFile(view(at(given)), &folderExists)), at(created));
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

QTEST_APPLESS_MAIN(TestPath)
#include "tst_path.moc"
