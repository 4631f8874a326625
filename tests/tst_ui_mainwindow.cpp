#include "text/casemap.h"
#include "ui/frmmain1.h"
#include "ui/testing/fakes.h"
#include "ui/testing/support.h"
#include "ui/twips.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using jf::FileDialog;
using jf::frmMain1;
using namespace jf::testing;

namespace {

QString upper(const QString& path)
{
    return QFile::decodeName(QByteArray::fromStdString(jf::toUpperText(QFile::encodeName(path).toStdString())));
}

QString twipsText(int pixels)
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

// Where the window sits when it is centred on the screen.
QPoint centred(const QWidget& window)
{
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QSize outer = window.frameGeometry().size();
    return QPoint((screen.width() - outer.width()) / 2, (screen.height() - outer.height()) / 2);
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void firstStart();
    void settingsRoundTrip_data();
    void settingsRoundTrip();
    void storedPosition_data();
    void storedPosition();
    void browse();
    void storedFolder_data();
    void storedFolder();
    void intensityButtons_data();
    void intensityButtons();
    void validate_data();
    void validate();
    void drop();

private:
    std::unique_ptr<frmMain1> open(bool activate = false);
    QString path(const QString& name) const { return m_dir->filePath(name); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Fakes> m_fakes;
};

void TestMainWindow::init()
{
    m_fakes = std::make_unique<Fakes>();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY2(m_dir->isValid(), qPrintable(m_dir->errorString()));
    isolateSettings(path(QStringLiteral("settings")));
}

std::unique_ptr<frmMain1> TestMainWindow::open(bool activate)
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

void TestMainWindow::firstStart()
{
    const auto window = open();
    QCOMPARE(window->pos(), centred(*window));
    QCOMPARE(window->windowTitle(), QStringLiteral("Jitterform 0.1 build 8"));
    QCOMPARE(window->cmbAlgorithm->currentText(), QStringLiteral("White"));
    QCOMPARE(window->txtIntensity->text(), QStringLiteral("0.1"));
    const QList<int> checks = {window->xValue(), window->yValue(), window->zValue(), window->normalsValue(),
                               window->splitValue()};
    QCOMPARE(checks, (QList<int>{jf::Checked, jf::Checked, jf::Checked, jf::Unchecked, jf::Unchecked}));
}

void TestMainWindow::settingsRoundTrip_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("stored"); // a minimised or maximised window keeps the old position
    QTest::newRow("closed normal") << int(Qt::WindowNoState) << true;
    QTest::newRow("closed minimised") << int(Qt::WindowMinimized) << false;
    QTest::newRow("closed maximised") << int(Qt::WindowMaximized) << false;
}

void TestMainWindow::settingsRoundTrip()
{
    QFETCH(int, state);
    QFETCH(bool, stored);
    store(QStringLiteral("MainLeft"), twipsText(200));
    store(QStringLiteral("MainTop"), twipsText(160));
    store(QStringLiteral("Path"), QStringLiteral("/OLD/FOLDER"));
    {
        const auto window = open(true);
        QCOMPARE(window->pos(), QPoint(200, 160));
        window->move(120, 90);
        window->setWindowState(Qt::WindowState(state));
        QVERIFY(window->close());
    }
    QCOMPARE(::stored(QStringLiteral("MainLeft")), twipsText(stored ? 120 : 200));
    QCOMPARE(::stored(QStringLiteral("MainTop")), twipsText(stored ? 90 : 160));
    QCOMPARE(::stored(QStringLiteral("Path")), QStringLiteral("/OLD/FOLDER")); // never browsed
    QCOMPARE(open()->pos(), stored ? QPoint(120, 90) : QPoint(200, 160));
}

void TestMainWindow::storedPosition_data()
{
    QTest::addColumn<QString>("left");
    QTest::addColumn<QString>("top");
    QTest::addColumn<QPoint>("expected"); // -1: centred

    const QString inside = twipsText(100);
    QTest::newRow("garbage left") << "abc" << inside << QPoint(-1, 100);
    QTest::newRow("beyond a float, not finite") << "1e39" << "nan" << QPoint(-1, -1);
    QTest::newRow("wholly off the screen") << twipsText(-2000) << inside << QPoint(-1, -1);
    QTest::newRow("partly on the screen") << twipsText(-400) << twipsText(-50) << QPoint(-400, -50);
}

void TestMainWindow::storedPosition()
{
    QFETCH(QString, left);
    QFETCH(QString, top);
    QFETCH(QPoint, expected);
    store(QStringLiteral("MainLeft"), left);
    store(QStringLiteral("MainTop"), top);
    const auto window = open();
    const QPoint middle = centred(*window);
    QCOMPARE(window->pos(), QPoint(expected.x() == -1 ? middle.x() : expected.x(),
                                   expected.y() == -1 ? middle.y() : expected.y()));
}

void TestMainWindow::browse()
{
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("Models")) &&
            QDir(m_dir->path()).mkpath(QStringLiteral("Other")));
    const QString source = path(QStringLiteral("Models/Cube.obj"));
    const QString destination = path(QStringLiteral("Other/Result.OBJ"));
    m_fakes->dialog.answers = {source, destination, std::nullopt, std::nullopt};
    {
        const auto window = open();
        struct Step
        {
            QPushButton* button;
            QString source, destination;
            QLineEdit* focus;
        };
        const QList<Step> steps = {
            {window->cmdBrowseSource, lower(source), lower(path(QStringLiteral("Models/Cube_n.obj"))),
             window->txtSource},
            {window->cmdBrowseDestination, lower(source), lower(destination), window->txtDestination},
            {window->cmdBrowseSource, QString(), lower(destination), window->txtSource}, // cancelled
            {window->cmdBrowseDestination, QString(), QString(), window->txtDestination},
        };
        for (const Step& step : steps) {
            step.button->click();
            QCOMPARE(window->txtSource->text(), step.source);
            QCOMPARE(window->txtDestination->text(), step.destination);
            QCOMPARE(window->focusWidget(), step.focus);
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
    // The last path picked in either dialog gives the stored folder; a cancel picks nothing.
    QCOMPARE(stored(QStringLiteral("Path")), upper(path(QStringLiteral("Other"))));
}

void TestMainWindow::storedFolder_data()
{
    QTest::addColumn<QString>("stored");   // "%U" is the test's folder in upper case; empty: no key
    QTest::addColumn<QString>("expected"); // "%1" the test's folder as on disk, "%U" as stored

    QTest::newRow("folder on disk in another case") << "%U/MODELS"
                                                    << "%1/Models";
    QTest::newRow("folder gone") << "%U/GONE"
                                 << "%U/GONE";
    QTest::newRow("top of the tree") << ""
                                     << "/";
    QTest::newRow("never stored") << QString() << QCoreApplication::applicationDirPath();
}

void TestMainWindow::storedFolder()
{
    QFETCH(QString, stored);
    QFETCH(QString, expected);
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("Models")));
    const auto fill = [this](QString text) {
        return text.replace(QLatin1String("%U"), upper(m_dir->path()))
            .replace(QLatin1String("%1"), m_dir->path());
    };
    if (!stored.isNull())
        store(QStringLiteral("Path"), fill(stored));
    open()->cmdBrowseSource->click();
    QCOMPARE(m_fakes->dialog.setups.value(0).initialFolder, fill(expected));
}

void TestMainWindow::intensityButtons_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("presses");
    QTest::addColumn<QStringList>("expected"); // the text after each press

    QTest::newRow("doubling from 0.1") << "0.1" << "+++++++"
                                       << QStringList{"0.2", "0.4", "0.8", "1.6", "3.2", "6.4", "10"};
    QTest::newRow("halving from 0.1") << "0.1" << "----+"
                                      << QStringList{"0.05", "0.025", "0.013", "0.006", "0.012"};
    QTest::newRow("0.0015 halves to 0.001") << "0.0015" << "-" << QStringList{"0.001"};
    QTest::newRow("0 stays on +, not on -") << "0" << "+-" << QStringList{"0", "0.001"};
    QTest::newRow("leading number of a text") << "2.5 percent" << "+" << QStringList{"5"};
    QTest::newRow("negative") << "-4" << "+-" << QStringList{"-8", "0.001"};
    QTest::newRow("too big to read is left") << "1e400" << "+-" << QStringList{"1e400", "1e400"};
}

void TestMainWindow::intensityButtons()
{
    QFETCH(QString, start);
    QFETCH(QString, presses);
    QFETCH(QStringList, expected);

    const auto window = open(true);
    window->txtIntensity->setText(start);
    QStringList texts;
    for (const QChar press : presses) {
        QTest::mouseClick(press == QLatin1Char('+') ? window->Command1 : window->Command2, Qt::LeftButton);
        texts.append(window->txtIntensity->text());
    }
    QCOMPARE(texts, expected);
}

void TestMainWindow::validate_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("lower bound 0") << "0" << true;
    QTest::newRow("upper bound 10") << "10" << true;
    QTest::newRow("text reads as 0") << "abc" << true;
    QTest::newRow("just above 10") << "10.001" << false;
    QTest::newRow("negative") << "-0.5" << false;
    QTest::newRow("too big to read") << "1e400" << false;
}

void TestMainWindow::validate()
{
    QFETCH(QString, text);
    QFETCH(bool, accepted);

    const auto window = open(true);
    window->txtIntensity->setFocus();
    window->txtIntensity->setText(text);
    QTest::keyClick(window->txtIntensity, Qt::Key_Tab);
    if (accepted) {
        QCOMPARE(QApplication::focusWidget(), window->Command1);
        return;
    }
    QCOMPARE(QApplication::focusWidget(), window->txtIntensity);
    QCOMPARE(window->txtIntensity->selectedText(), text);
    // A click elsewhere neither takes the focus nor does its work.
    QTest::mouseClick(window->chkX, Qt::LeftButton);
    QCOMPARE(window->xValue(), int(jf::Checked));
    QCOMPARE(QApplication::focusWidget(), window->txtIntensity);
}

void TestMainWindow::drop()
{
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("Models/mesh.obj")));
    QVERIFY(writeFile(path(QStringLiteral("Models/Cube.OBJ")), "v 0 0 0\n"));
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

QTEST_MAIN(TestMainWindow)
#include "tst_ui_mainwindow.moc"
