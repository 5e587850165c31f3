// The parameter grid in the main window: editors by row style, the key filter on real key
// presses, the four commit events, a refused conversion keeping the row, and the edit button
// taking the range window's values back into the grid and the working set.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include "app/qt/Main.h"
#include "params/qt/ParamGridView.h"
#include "range/qt/Range.h"
#include "support/ScriptedOperator.h"

using karvo::ParamTable;
using karvo::TFormMain;
using karvo::TParamGridView;

namespace {

// An unfolded window with the 36 rows filled from a fresh working set.
struct TRig {
  karvo::test::TScriptedOperator Person;
  TFormMain Form;
  TParamGridView* Grid;

  TRig() : Grid(Form.ValueListEditorParam) {
    Form.SetDialogs(&Person);
    Form.Session().FillParamGrid();
    Form.Session().View.Height = karvo::EXPANDED_HEIGHT;
    Form.SyncFromView();
    Form.show();
    Form.activateWindow();
    if (!QTest::qWaitForWindowActive(&Form)) qWarning("window not active");
  }

  karvo::TSession& S() { return Form.Session(); }

  // Selects a grid row (1..36) as a click would; the value cell's editor opens.
  void Select(int gridRow) {
    Grid->setFocus();
    Grid->setCurrentCell(gridRow - 1, 0);
  }

  QWidget* KeyTarget() {
    QWidget* w = QApplication::focusWidget();
    return w ? w : Grid;
  }

  // Types keys as a person would: '\b' is backspace, '\r' Enter.
  void Type(const QString& keys) {
    for (const QChar c : keys) {
      QWidget* w = KeyTarget();
      if (c == '\b') {
        QTest::keyClick(w, Qt::Key_Backspace);
      } else if (c == '\r') {
        QTest::keyClick(w, Qt::Key_Return);
      } else if (c.unicode() < 0x80) {
        QTest::keyClick(w, c.toLatin1());
      } else {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(w, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(w, &release);
      }
    }
  }

  QString Cell(int gridRow) { return Grid->CellText(gridRow); }
};

}  // namespace

class ParamGridViewTest : public QObject {
  Q_OBJECT

 private slots:
  void rowsAndTheirEditors() {
    TRig rig;
    QCOMPARE(rig.Grid->rowCount(), 36);
    for (int r = 0; r < 36; ++r) {
      QCOMPARE(rig.Grid->item(r, 0)->text(),
               QString::fromStdString(karvo::Cp1251ToUtf8(ParamTable[r].Name)));
      QVERIFY(!(rig.Grid->item(r, 0)->flags() & Qt::ItemIsEditable));
    }
    QCOMPARE(rig.Grid->item(31, 0)->text(), QString::fromUtf8("_\u0421ustomer"));

    // Each row's edit style decides its editor.
    rig.Select(1);
    auto* combo = qobject_cast<QComboBox*>(rig.Grid->OpenEditor());
    QVERIFY(combo);
    QVERIFY(combo->isEditable());
    QCOMPARE(combo->count(), 2);
    QCOMPARE(combo->itemText(1), QString("On"));
    QCOMPARE(combo->currentText(), QString("Off"));

    rig.Select(10);
    QVERIFY(qobject_cast<QLineEdit*>(rig.Grid->OpenEditor()));
    QCOMPARE(int(rig.S().SelParam), 9);

    rig.Select(12);
    QVERIFY(rig.Grid->OpenEditor()->findChild<QToolButton*>("EditButton"));
    QCOMPARE(rig.Grid->OpenEditorGridRow(), 12);
    QCOMPARE(rig.Cell(12), QString("0"));
  }

  void keyFilter_data() {
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("beeps");
    const int dec = 9, hex3 = 17, hex8 = 18, text8 = 32;
    QVERIFY(ParamTable[dec].Kind == karvo::KIND_DEC && ParamTable[dec].MaxLength == 5);
    QVERIFY(ParamTable[hex3].Kind == karvo::KIND_HEX && ParamTable[hex3].MaxLength == 3);
    QVERIFY(ParamTable[text8].Kind == karvo::KIND_TEXT && ParamTable[text8].MaxLength == 8);
    QTest::newRow("decimal: digits only") << dec << "\b12a3"
                                          << "123" << 1;
    QTest::newRow("decimal: Enter refused") << dec << "\b7\r"
                                            << "7" << 1;
    QTest::newRow("decimal: full, backspace still works") << dec << "\b123456\b"
                                                          << "1234" << 1;
    QTest::newRow("hex: digits and letters") << hex3 << "\b7fFg"
                                             << "7fF" << 1;
    QTest::newRow("hex: full") << hex3 << "\bABC1"
                               << "ABC" << 1;
    QTest::newRow("hex: backspace at full length") << hex3 << "\bABC\b\b"
                                                   << "A" << 0;
    QTest::newRow("hex: eight digits") << hex8 << "\bab12CDEF9"
                                       << "ab12CDEF" << 1;
    QTest::newRow("text: anything") << text8 << "\bx-y z!/"
                                    << "x-y z!/" << 0;
    QTest::newRow("text: ninth refused") << text8 << "\bABCDEFGHI"
                                         << "ABCDEFGH" << 1;
    QTest::newRow("text: backspace at full length") << text8 << "\bABCDEFGH\bZ"
                                                    << "ABCDEFGZ" << 0;
    QTest::newRow("text: Cyrillic")
        << text8 << QString::fromUtf8("\b\u0414a") << QString::fromUtf8("\u0414a") << 0;
    QTest::newRow("pick list: decimal") << 2 << "\b115200x1"
                                        << "115200" << 2;
  }
  void keyFilter() {
    QFETCH(int, row);
    QFETCH(QString, keys);
    QFETCH(QString, shown);
    QFETCH(int, beeps);
    TRig rig;
    rig.Select(row + 1);
    QVERIFY(rig.Grid->OpenEditor());
    rig.Type(keys);
    QCOMPARE(rig.Cell(row + 1), shown);
    QCOMPARE(rig.Person.Beeps, beeps);
  }

  void leavingTheRowCommitsWhatWasTyped() {
    TRig rig;
    auto& s = rig.S();
    rig.Select(10);
    rig.Type("\b500");
    rig.Select(12);
    QCOMPARE(s.ParamWrite[9].Value, 500u);
    QCOMPARE(rig.Cell(10), QString("500"));
    QCOMPARE(int(s.SelParam), 11);

    // Out of limits: the stored value comes back into the cell.
    rig.Select(10);
    rig.Type("\b0");
    rig.Select(11);
    QCOMPARE(s.ParamWrite[9].Value, 500u);
    QCOMPARE(rig.Cell(10), QString("500"));

    // The window rows take no typed text: the cell shows the stored percent again.
    rig.Select(12);
    rig.Type("\b50");
    rig.Select(13);
    QCOMPARE(s.ParamWrite[11].Value, 0u);
    QCOMPARE(rig.Cell(12), QString("0"));

    // A pick: "Full" sets bit 1 of the shared mode register.
    rig.Select(7);
    auto* combo = qobject_cast<QComboBox*>(rig.Grid->OpenEditor());
    QVERIFY(combo);
    combo->setCurrentIndex(combo->findText("Full"));
    rig.Select(8);
    QCOMPARE(s.ParamWrite[6].Value & 2u, 2u);

    // Text travels as Windows-1251 bytes.
    rig.Select(33);
    rig.Type(QString::fromUtf8("\b\u0414\u0430"));
    rig.Select(34);
    QCOMPARE(s.ParamWrite[32].Text, std::string("\xC4\xE0"));
    QVERIFY(rig.Person.Messages.empty());
  }

  void focusLeavingTheGridCommits() {
    TRig rig;
    rig.Select(11);
    rig.Type("\b77");
    rig.Form.ButtonZero->setEnabled(true);
    rig.Form.ComboBoxWorkBaund->setFocus();
    QCOMPARE(rig.S().ParamWrite[10].Value, 77u);
    QCOMPARE(rig.Cell(11), QString("77"));
  }

  void contextMenuCommitsThenOpens() {
    TRig rig;
    rig.Select(10);
    rig.Type("\b1234");
    bool shown = false;
    QTimer::singleShot(100, rig.Form.PopupMenuParam, [&] {
      shown = rig.Form.PopupMenuParam->isVisible();
      rig.Form.PopupMenuParam->close();
    });
    const QPoint at = rig.Grid->visualRect(rig.Grid->model()->index(9, 1)).center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, rig.Grid->viewport()->mapToGlobal(at));
    QApplication::sendEvent(rig.Grid->viewport(), &event);
    QVERIFY(shown);
    QCOMPARE(rig.S().ParamWrite[9].Value, 1234u);
  }

  void notAnIntegerKeepsTheRow() {
    TRig rig;
    auto& s = rig.S();
    s.ParamWrite[13].Value = 20;
    s.FillParamGrid();
    rig.Form.SyncFromView();
    rig.Select(14);
    QCOMPARE(rig.Cell(14), QString("100"));
    rig.Type("\b\b\b");
    rig.Select(21);
    QCOMPARE(rig.Person.Messages.size(), size_t(1));
    QCOMPARE(rig.Person.Messages[0].Text, karvo::NotValidIntegerMessage(""));
    QCOMPARE(int(s.SelParam), 13);
    QCOMPARE(rig.Grid->currentRow(), 13);
    QCOMPARE(s.ParamWrite[13].Value, 20u);

    // Typing goes on in the row that was kept, and the next move succeeds.
    rig.Type("25");
    rig.Select(21);
    QCOMPARE(int(s.SelParam), 20);
    QCOMPARE(s.ParamWrite[13].Value, 5u);
    QCOMPARE(rig.Person.Messages.size(), size_t(1));
  }

  void editButtonOpensTheRangeWindow() {
    TRig rig;
    auto& s = rig.S();
    s.ParamWrite[11].Value = 1638;   // 10 %
    s.ParamWrite[12].Value = 14746;  // 90 %
    s.FillParamGrid();
    rig.Form.SyncFromView();
    rig.Select(12);
    auto* button = rig.Grid->OpenEditor()->findChild<QToolButton*>("EditButton");
    QVERIFY(button);

    QString shownBegin, shownEnd;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
      auto* range = qobject_cast<karvo::TFormRange*>(QApplication::activeModalWidget());
      if (!range) return;
      poll.stop();
      shownBegin = range->LabelBgn->text();
      shownEnd = range->LabelEnd->text();
      const auto click = [range](Qt::MouseButton b, int x) {
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(x, 30),
                          range->mapToGlobal(QPointF(x, 30)), b, b, Qt::NoModifier);
        QApplication::sendEvent(range, &press);
        QMouseEvent release(QEvent::MouseButtonRelease, QPointF(x, 30),
                            range->mapToGlobal(QPointF(x, 30)), b, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(range, &release);
      };
      click(Qt::LeftButton, 178);   // 25 %
      click(Qt::RightButton, 511);  // 75 %
      range->close();
    });
    poll.start(20);
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_COMPARE(s.ParamWrite[11].Value, 4096u);
    QCOMPARE(shownBegin, QString("10 %"));
    QCOMPARE(shownEnd, QString("90 %"));
    QCOMPARE(s.ParamWrite[12].Value, 12288u);
    QCOMPARE(rig.Cell(12), QString("25"));
    QCOMPARE(rig.Cell(13), QString("75"));
    QCOMPARE(rig.Grid->item(11, 1)->text(), QString("25"));
  }

  void followsTheSessionsEnabledState() {
    TRig rig;
    rig.S().View.GridEnabled = false;
    rig.Form.SyncFromView();
    QVERIFY(!rig.Grid->isEnabled());
    rig.S().View.GridEnabled = true;
    rig.Form.SyncFromView();
    QVERIFY(rig.Grid->isEnabled());
  }
};

QTEST_MAIN(ParamGridViewTest)
#include "ParamGridViewTest.moc"
