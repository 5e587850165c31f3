// The parameter grid mirrors the session's rows and forwards its events; what a commit or a
// key does is the session's rule and tested without widgets. Here: the editors by row style,
// real key presses meeting the key filter, the commit events carrying the typed text and a
// refused one keeping the row, and the edit button's round trip through the range window.
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>
#include <QtTest>
#include <tuple>

#include "app/qt/Main.h"
#include "app/qt/PluginChatter.h"
#include "params/qt/ParamGridView.h"
#include "range/qt/Range.h"
#include "support/ScriptedOperator.h"

using karvo::TParamGridView;

namespace {

// An unfolded window with the 36 rows filled from a fresh working set.
struct TRig {
  karvo::test::TScriptedOperator Person;
  karvo::TFormMain Form;
  TParamGridView* Grid = Form.ValueListEditorParam;

  TRig() {
    Form.SetDialogs(&Person);
    Form.show();
    Form.Inspect([](karvo::TSession& s) {
      s.FillParamGrid();
      s.View.Height = karvo::EXPANDED_HEIGHT;
    });
    Form.activateWindow();
    if (!QTest::qWaitForWindowActive(&Form)) qWarning("window not active");
  }

  karvo::TParamSet Working() {
    return Form.Inspect([](karvo::TSession& s) { return s.ParamWrite; });
  }

  // Selects a grid row (1..36) as a click would; the value cell's editor opens.
  void Select(int gridRow) {
    Grid->setFocus();
    Grid->setCurrentCell(gridRow - 1, 0);
  }

  // Types into the focused editor: '\b' is backspace, '\r' Enter.
  void Type(const QString& keys) {
    for (const QChar c : keys) {
      const int key = c == '\b' ? Qt::Key_Backspace : c == '\r' ? Qt::Key_Return : Qt::Key_unknown;
      for (const QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
        QKeyEvent event(type, key, Qt::NoModifier, QString(c));
        QWidget* w = QApplication::focusWidget();
        QApplication::sendEvent(w ? w : Grid, &event);
      }
    }
  }
};

}  // namespace

class ParamGridViewTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { karvo::DropPluginChatter(); }

  void rowsAndTheirEditors() {
    TRig rig;
    QCOMPARE(rig.Grid->rowCount(), 36);
    QVERIFY(!(rig.Grid->item(0, 0)->flags() & Qt::ItemIsEditable));

    // Each row's edit style decides its editor.
    rig.Select(1);
    auto* combo = qobject_cast<QComboBox*>(rig.Grid->OpenEditor());
    QVERIFY(combo && combo->isEditable());
    rig.Select(10);
    QVERIFY(qobject_cast<QLineEdit*>(rig.Grid->OpenEditor()));
    rig.Select(12);
    QVERIFY(rig.Grid->OpenEditor()->findChild<QToolButton*>("EditButton"));

    rig.Form.Inspect([](karvo::TSession& s) { s.View.GridEnabled = false; });
    QVERIFY(!rig.Grid->isEnabled());
  }

  void keysMeetTheFilter() {
    // Rows: 10 decimal of 5, 18 hex of 3, 33 text of 8 (Windows-1251 bytes), 3 a pick list.
    const std::tuple<int, int, const char*, const char*> cases[] = {
        {10, 3, "\b12a3456\r", "12345"},
        {18, 1, "\bfgA1", "fA1"},
        {33, 1, "\bABCDEFGHI\bZ", "ABCDEFGZ"},  // backspace works when full
        {3, 2, "\b115200x1", "115200"},
    };
    for (const auto& [row, beeps, keys, shown] : cases) {
      TRig rig;
      rig.Select(row);
      rig.Type(QString::fromUtf8(keys));
      QCOMPARE(rig.Grid->CellText(row), QString::fromUtf8(shown));
      QCOMPARE(rig.Person.Beeps, beeps);
    }
  }

  void commitEventsCarryWhatWasTyped() {
    TRig rig;
    // A refused edit: the editor, still open, must show the stored value again.
    rig.Select(12);
    rig.Type("\b50");
    rig.Select(7);
    QCOMPARE(rig.Grid->CellText(12), QString("0"));

    // A value outside its row: the stored one comes back and the cell says why.
    rig.Select(3);
    rig.Type("\b7200");
    rig.Select(7);
    QCOMPARE(rig.Grid->CellText(3) + "|" + rig.Grid->item(2, 1)->toolTip(),
             QString("0|'7200' is not one of 2400, 4800, 9600, 14400, 19200, 38400, 57600, "
                     "115200, 230400, 460800."));
    QVERIFY(QToolTip::text().startsWith("'7200'"));
    QCOMPARE(rig.Working()[2].Value, 0u);
    // Said where the operator looks, without hovering, until the next edit.
    QVERIFY(rig.Form.LabelGridReason->isVisible());
    QVERIFY(rig.Form.LabelGridReason->text().startsWith("'7200' is not one of"));
    QCOMPARE(rig.Grid->item(3, 1)->toolTip(), QString("Allowed: 1 to 127"));

    // A pick: "Full" sets bit 1 of the shared mode register.
    auto* combo = qobject_cast<QComboBox*>(rig.Grid->OpenEditor());
    QVERIFY(combo);
    combo->setCurrentIndex(combo->findText("Full"));
    rig.Select(8);
    QCOMPARE(rig.Working()[6].Value & 2u, 2u);
    QVERIFY(!rig.Form.LabelGridReason->isVisible());

    // A text cell counts Windows-1251 bytes: full at eight letters, where a key still replaces
    // the selection.
    rig.Select(33);
    rig.Type(QString::fromUtf8("\b\u0414\u0430CDEFGH\u0416"));
    qobject_cast<QLineEdit*>(rig.Grid->OpenEditor())->setSelection(2, 1);
    rig.Type("Z");
    rig.Select(34);
    QCOMPARE(rig.Working()[32].Text, std::string("\xC4\xE0ZDEFGH"));
    QCOMPARE(rig.Person.Beeps, 1);

    // The focus leaving the grid commits.
    rig.Select(11);
    rig.Type("\b77");
    rig.Form.ComboBoxWorkBaund->setFocus();
    QCOMPARE(rig.Working()[10].Value, 77u);

    // So does a right click, before the menu opens.
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
    QCOMPARE(rig.Working()[9].Value, 1234u);

    // Not an integer: the row is kept.
    rig.Select(14);
    rig.Type("\b\b\b");
    rig.Select(21);
    QCOMPARE(rig.Grid->currentRow(), 13);

    // Typing goes on in the row that was kept, and the next move succeeds.
    rig.Type("25");
    rig.Select(21);
    QCOMPARE(rig.Grid->currentRow(), 20);
    QCOMPARE(rig.Working()[13].Value, 5u);
  }

  // What "Load" would change stands out: a typed value, a pick that sets the shared mode
  // register's four rows, a mode of run not yet loaded. Values that agree with the sensor's, as
  // after a read, do not.
  void rowsThatDifferFromTheSensorStandOut() {
    TRig rig;
    const auto marked = [&rig] {
      std::vector<int> rows;
      for (int r = 0; r < rig.Grid->rowCount(); ++r)
        if (rig.Grid->item(r, 1)->font().bold()) rows.push_back(r + 1);
      return rows;
    };
    QCOMPARE(marked(), std::vector<int>{});
    rig.Select(11);
    rig.Type("77");
    const std::pair<int, const char*> picks[] = {{5, "Trigger"}, {27, "NonLine"}};
    for (const auto& [row, text] : picks) {
      rig.Select(row);
      auto* combo = qobject_cast<QComboBox*>(rig.Grid->OpenEditor());
      QVERIFY(combo);
      combo->setCurrentIndex(combo->findText(text));
    }
    rig.Select(1);
    // The session marks them once it has the commits.
    QTRY_COMPARE(marked(), (std::vector<int>{5, 6, 7, 11, 21, 27}));
    QVERIFY(rig.Grid->item(26, 1)->toolTip().startsWith("Differs from the value last read"));

    rig.Form.Inspect([](karvo::TSession& s) {
      s.ParamInSensor = s.ParamWrite;  // as after a read, or a load of every row
      s.FillParamGrid();
    });
    QCOMPARE(marked(), std::vector<int>{});
    QCOMPARE(rig.Grid->item(26, 1)->text(), QString("NonLine"));
  }

  void editButtonOpensTheRangeWindow() {
    TRig rig;
    rig.Form.Inspect([](karvo::TSession& s) {
      s.ParamWrite[11].Value = 1638;   // 10 %
      s.ParamWrite[12].Value = 14746;  // 90 %
      s.FillParamGrid();
    });
    rig.Select(12);
    auto* button = rig.Grid->OpenEditor()->findChild<QToolButton*>("EditButton");

    QString shown;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
      auto* range = qobject_cast<karvo::TFormRange*>(QApplication::activeModalWidget());
      if (!range) return;
      poll.stop();
      shown = range->LabelBgn->text() + "|" + range->LabelEnd->text();
      range->WindowBegin = 25;
      range->WindowEnd = 75;
      range->close();
    });
    poll.start(20);
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_COMPARE(rig.Grid->CellText(12) + "|" + rig.Grid->CellText(13), QString("25|75"));
    QCOMPARE(shown, QString("10 %|90 %"));
  }
};

QTEST_MAIN(ParamGridViewTest)
#include "ParamGridViewTest.moc"
