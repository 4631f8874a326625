#include "ui/testing/support.h"
#include "ui/twips.h"

#include <QDragEnterEvent>
#include <QMimeData>
#include <QScreen>

using jf::FileDialog;
using jf::frmMain1;
using namespace jf::testing;

namespace {

QString upper(const QString& path)
{
    return QFile::decodeName(
        QByteArray::fromStdString(jf::toUpperText(QFile::encodeName(path).toStdString())));
}

QString twips(int pixels)
{
    return QString::number(jf::Twips().fromPixels(pixels));
}

QString stored(const QString& key)
{
    return storedSettings().value("Settings/" + key).toString();
}

void store(const QString& key, const QString& value)
{
    storedSettings().setValue("Settings/" + key, value);
}

} // namespace

class TestMainWindow : public WindowTest
{
    Q_OBJECT

    std::unique_ptr<frmMain1> open(bool activate = false)
    {
        auto window = std::make_unique<frmMain1>(m_fakes->services());
        if (activate) {
            window->show();
            window->activateWindow();
            if (!QTest::qWaitForWindowActive(window.get()))
                qWarning("the main window did not become active");
        }
        return window;
    }

private slots:
    void init() { QVERIFY2(fresh(), qPrintable(m_dir->errorString())); }

    void settingsRoundTrip_data()
    {
        QTest::addColumn<QString>("left"); // null: never stored
        QTest::addColumn<QString>("top");
        QTest::addColumn<QPoint>("start"); // -1: centred
        QTest::addColumn<int>("state");    // at the close, after a move to (120, 90)
        QTest::addColumn<QPoint>("next");  // where the next start puts the window

        const QPoint moved(120, 90);
        QTest::newRow("first start") << QString() << QString() << QPoint(-1, -1) << 0 << moved;
        QTest::newRow("garbage left") << "abc" << twips(100) << QPoint(-1, 100) << 0 << moved;
        QTest::newRow("beyond a float, not finite") << "1e39" << "nan" << QPoint(-1, -1) << 0 << moved;
        QTest::newRow("wholly off the screen") << twips(-2000) << twips(100) << QPoint(-1, -1) << 0 << moved;
        // A minimised or maximised window keeps the position it had before.
        QTest::newRow("partly on, closed minimised") << twips(-400) << twips(-50) << QPoint(-400, -50)
                                                     << int(Qt::WindowMinimized) << QPoint(-400, -50);
        QTest::newRow("closed maximised") << twips(200) << twips(160) << QPoint(200, 160)
                                          << int(Qt::WindowMaximized) << QPoint(200, 160);
    }
    void settingsRoundTrip()
    {
        QFETCH(QString, left);
        QFETCH(QString, top);
        QFETCH(QPoint, start);
        QFETCH(int, state);
        QFETCH(QPoint, next);
        if (!left.isNull()) {
            store(QStringLiteral("MainLeft"), left);
            store(QStringLiteral("MainTop"), top);
        }
        store(QStringLiteral("Path"), QStringLiteral("/OLD/FOLDER"));
        {
            const auto window = open();
            const QSize room = window->screen()->geometry().size() - window->frameGeometry().size();
            QCOMPARE(window->pos(), QPoint(start.x() == -1 ? room.width() / 2 : start.x(),
                                           start.y() == -1 ? room.height() / 2 : start.y()));
            QCOMPARE(window->windowTitle(), QStringLiteral("Jitterform 0.1 build 8"));
            QCOMPARE(window->cmbAlgorithm->currentText(), QStringLiteral("White"));
            QCOMPARE(window->txtIntensity->text(), QStringLiteral("0.1"));
            const QList<int> checks = {window->xValue(), window->yValue(), window->zValue(),
                                       window->normalsValue(), window->splitValue()};
            QCOMPARE(checks,
                     (QList<int>{jf::Checked, jf::Checked, jf::Checked, jf::Unchecked, jf::Unchecked}));
            window->show();
            QVERIFY(QTest::qWaitForWindowExposed(window.get()));
            window->move(120, 90);
            window->setWindowState(Qt::WindowState(state));
            QVERIFY(window->close());
        }
        QCOMPARE(stored(QStringLiteral("MainLeft")), twips(next.x()));
        QCOMPARE(stored(QStringLiteral("MainTop")), twips(next.y()));
        QCOMPARE(stored(QStringLiteral("Path")), QStringLiteral("/OLD/FOLDER")); // never browsed
        QCOMPARE(open()->pos(), next);
    }

    void browse()
    {
        QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("Models")) &&
                QDir(m_dir->path()).mkpath(QStringLiteral("Other")));
        const QString source = path(QStringLiteral("Models/Cube.obj"));
        const QString destination = path(QStringLiteral("Other/Result.OBJ"));
        m_fakes->dialog.answers = {source, destination}; // then two cancels
        {
            const auto window = open();
            const QStringList after[] = {
                {lower(source), lower(path(QStringLiteral("Models/Cube_n.obj")))},
                {lower(source), lower(destination)},
                {QString(), lower(destination)}, // a cancel empties the box
                {QString(), QString()},
            };
            for (int i = 0; i < 4; ++i) {
                (i % 2 == 0 ? window->cmdBrowseSource : window->cmdBrowseDestination)->click();
                QCOMPARE((QStringList{window->txtSource->text(), window->txtDestination->text()}), after[i]);
                QCOMPARE(window->focusWidget(), i % 2 == 0 ? window->txtSource : window->txtDestination);
            }
            QVERIFY(window->close());
        }
        const QList<FileDialog::Setup>& setups = m_fakes->dialog.setups;
        QCOMPARE(setups.size(), 4);
        const QStringList fileNames = {QString(), source, destination, destination};
        for (qsizetype i = 0; i < setups.size(); ++i) {
            QVERIFY(setups[i].mode == (i % 2 == 0 ? FileDialog::Mode::Open : FileDialog::Mode::Save));
            QCOMPARE(setups[i].filter, QStringLiteral("Wavefront OBJ (*.obj)"));
            QCOMPARE(setups[i].fileName, fileNames[i]);
        }
        QCOMPARE(setups[0].initialFolder, QCoreApplication::applicationDirPath()); // none stored yet
        // The last path picked in either dialog gives the stored folder; a cancel picks nothing.
        QCOMPARE(stored(QStringLiteral("Path")), upper(path(QStringLiteral("Other"))));
        // The next session's dialogs open in that folder, found on the disk whatever its letter case.
        open()->cmdBrowseSource->click();
        QCOMPARE(m_fakes->dialog.setups.value(4).initialFolder, path(QStringLiteral("Other")));
    }

    void intensity_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("keys");         // + and - press the buttons, > tabs out of the box
        QTest::addColumn<QStringList>("expected"); // the text after each key
        QTest::addColumn<bool>("refused");         // the box keeps the focus at a tab

        const auto row = [](const char* name, const char* start, const char* keys, const QStringList& texts,
                            bool refused) {
            QTest::newRow(name) << QString(start) << QString(keys) << texts << refused;
        };
        const QStringList doubled = {"0.2", "0.4", "0.8", "1.6", "3.2", "6.4", "10", "10"};
        row("doubling up to 10", "0.1", "+++++++>", doubled, false);
        row("halving, in three places", "0.1", "----+", {"0.05", "0.025", "0.013", "0.006", "0.012"}, false);
        row("0 stays on +, not on -", "0", ">+-", {"0", "0", "0.001"}, false);
        row("just above 10", "10.001", ">", {"10.001"}, true);
        row("negative", "-0.5", ">", {"-0.5"}, true);
        row("too big to read", "1e400", "+->", {"1e400", "1e400", "1e400"}, true);
    }

    void intensity()
    {
        QFETCH(QString, start);
        QFETCH(QString, keys);
        QFETCH(QStringList, expected);
        QFETCH(bool, refused);
        const auto window = open(true);
        window->txtIntensity->setText(start);
        QStringList texts;
        for (const QChar key : keys) {
            if (key == QLatin1Char('>')) {
                window->txtIntensity->setFocus();
                QTest::keyClick(window->txtIntensity, Qt::Key_Tab);
                QCOMPARE(QApplication::focusWidget() == window->txtIntensity, refused);
            } else {
                QTest::mouseClick(key == QLatin1Char('+') ? window->Command1 : window->Command2,
                                  Qt::LeftButton);
            }
            texts.append(window->txtIntensity->text());
        }
        QCOMPARE(texts, expected);
        if (!refused)
            return;
        QCOMPARE(window->txtIntensity->selectedText(), start);
        // A click elsewhere neither takes the focus nor does its work.
        QTest::mouseClick(window->chkX, Qt::LeftButton);
        QCOMPARE(window->xValue(), int(jf::Checked));
        QCOMPARE(QApplication::focusWidget(), window->txtIntensity);
    }

    void drop()
    {
        QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("Models/mesh.obj")));
        QVERIFY(writeAll(path(QStringLiteral("Models/Cube.OBJ")), "v 0 0 0\n"));
        const auto window = open(true);
        QMimeData mime;
        const auto dragOn = [&](const QString& file) {
            mime.setUrls({QUrl::fromLocalFile(path(file))});
            QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(window.get(), &enter);
            QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(window.get(), &drop);
            return enter.isAccepted();
        };
        window->txtSource->setText(QStringLiteral("before"));
        QVERIFY2(!dragOn(QStringLiteral("Models/mesh.obj")), "a folder named like a mesh is no mesh");
        QCOMPARE(window->txtSource->text(), QStringLiteral("before"));
        QVERIFY(dragOn(QStringLiteral("Models/Cube.OBJ")));
        QCOMPARE(window->txtSource->text(), lower(path(QStringLiteral("Models/Cube.OBJ"))));
        QCOMPARE(window->txtDestination->text(), lower(path(QStringLiteral("Models/Cube_n.OBJ"))));
        QCOMPARE(QApplication::focusWidget(), window->txtSource);
        QVERIFY(window->close());
        // Like a pick in the dialog, a drop gives the dialogs their folder.
        QCOMPARE(stored(QStringLiteral("Path")), upper(path(QStringLiteral("Models"))));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_ui_mainwindow.moc"
