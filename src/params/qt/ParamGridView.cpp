#include "params/qt/ParamGridView.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QScrollBar>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>
#include <algorithm>

#include "params/ParamTable.h"

namespace karvo {

namespace {

const QColor EDITED_COLOUR(0, 0, 170);
constexpr const char* EDITED_TIP = "Differs from the value last read from the sensor.";

QString Decode(const std::string& bytes) {
  return QString::fromStdString(Cp1251ToUtf8(bytes));
}

std::string Encode(const QString& text) {
  return Utf8ToCp1251(text.toStdString());
}

// A value cell with a "..." button: the button asks for the range window.
class TEllipsisEditor : public QWidget {
 public:
  TEllipsisEditor(QWidget* parent, const std::function<void()>& onButton) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    Edit = new QLineEdit(this);
    Edit->setFrame(false);
    Button = new QToolButton(this);
    Button->setObjectName("EditButton");
    Button->setText("...");
    // The text keeps the focus, so pressing the button is not a focus change.
    Button->setFocusPolicy(Qt::NoFocus);
    layout->addWidget(Edit, 1);
    layout->addWidget(Button);
    setFocusProxy(Edit);
    QObject::connect(Button, &QToolButton::clicked, this, [onButton] { onButton(); });
  }
  QLineEdit* Edit;
  QToolButton* Button;
};

// Offers every change of the current cell to the grid before it happens, so that the grid
// can commit the row left and keep the old row when the session refuses to leave it. The
// value column is always the current one.
class TParamSelectionModel : public QItemSelectionModel {
 public:
  TParamSelectionModel(QAbstractItemModel* model, TParamGridView* grid)
      : QItemSelectionModel(model, grid), grid_(grid) {}

  void setCurrentIndex(const QModelIndex& index, SelectionFlags command) override {
    QModelIndex target = index;
    if (index.isValid() && index.column() != 1) target = index.sibling(index.row(), 1);
    if (target.isValid() && target.row() != currentIndex().row()) {
      if (!grid_->SelectCell(target.row() + 1)) {
        // The click goes on to select the row it hit; show the row the session kept.
        QTimer::singleShot(0, grid_, [grid = grid_] {
          if (grid->currentIndex().isValid()) grid->selectRow(grid->currentIndex().row());
        });
        return;
      }
    }
    QItemSelectionModel::setCurrentIndex(target, command);
  }

 private:
  TParamGridView* grid_;
};

}  // namespace

// ---- Delegate ----

TParamGridDelegate::TParamGridDelegate(TParamGridView* grid)
    : QStyledItemDelegate(grid), grid_(grid) {}

QWidget* TParamGridDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                          const QModelIndex& index) const {
  const size_t row = static_cast<size_t>(index.row());
  const TGridRow* shown = row < grid_->shown_.size() ? &grid_->shown_[row] : nullptr;
  QWidget* editor = nullptr;
  if (shown && shown->EditStyle == esPickList) {
    auto* combo = new QComboBox(parent);
    combo->setEditable(true);
    combo->setInsertPolicy(QComboBox::NoInsert);
    // Completing a typed "1" to "10" would defeat the key filter's length rule.
    combo->setCompleter(nullptr);
    combo->setMaxVisibleItems(9);
    for (const auto& item : shown->PickList) combo->addItem(Decode(item));
    // The list is as wide as its longest entry, even where the cell is narrower.
    combo->view()->setMinimumWidth(combo->view()->sizeHintForColumn(0) +
                                   combo->view()->verticalScrollBar()->sizeHint().width());
    combo->installEventFilter(grid_);
    editor = combo;
  } else if (shown && shown->EditStyle == esEllipsis) {
    TParamGridView* grid = grid_;
    // Queued: the range window is modal, and the editor may be closed while it is open.
    editor = new TEllipsisEditor(
        parent, [grid] { QTimer::singleShot(0, grid, [grid] { grid->EditButtonClick(); }); });
  } else {
    auto* line = new QLineEdit(parent);
    line->setFrame(false);
    editor = line;
  }
  editor->setObjectName("ValueEditor");
  // The editor covers the cell: it carries the cell's hint.
  editor->setToolTip(index.data(Qt::ToolTipRole).toString());
  // A right click in the cell opens the grid's menu, not the text editor's.
  editor->setContextMenuPolicy(Qt::NoContextMenu);
  if (QWidget* proxy = editor->focusProxy()) proxy->setContextMenuPolicy(Qt::NoContextMenu);
  grid_->editor_ = editor;
  grid_->editorIndex_ = index;
  return editor;
}

void TParamGridDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
  TParamGridView::SetEditorText(editor, index.data(Qt::EditRole).toString());
}

void TParamGridDelegate::setModelData(QWidget* editor, QAbstractItemModel* model,
                                      const QModelIndex& index) const {
  model->setData(index, TParamGridView::EditorText(editor), Qt::EditRole);
}

void TParamGridDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                              const QModelIndex&) const {
  editor->setGeometry(option.rect);
}

// ---- Grid ----

TParamGridView::TParamGridView(TParamGridOwner& session, QWidget* parent)
    : QTableWidget(0, 2, parent), session_(&session) {
  setObjectName("ValueListEditorParam");
  setHorizontalHeaderLabels({"Parameter", "Value"});
  verticalHeader()->hide();
  verticalHeader()->setDefaultSectionSize(20);
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  horizontalHeader()->setSectionsClickable(false);
  horizontalHeader()->setSectionsMovable(false);
  // The value column takes what the key column leaves, so the grid never scrolls sideways.
  horizontalHeader()->setMinimumSectionSize(20);
  horizontalHeader()->setSectionResizeMode(0, QHeaderView::Interactive);
  horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  horizontalHeader()->setHighlightSections(false);
  // A hair tighter than the window's text: the longest name and the longest value then both
  // fit the panel's width side by side.
  QFont tight = font();
  tight.setLetterSpacing(QFont::AbsoluteSpacing, GRID_LETTER_SPACING);
  setFont(tight);
  FitKeyColumn();
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setEditTriggers(QAbstractItemView::CurrentChanged | QAbstractItemView::SelectedClicked |
                  QAbstractItemView::DoubleClicked | QAbstractItemView::AnyKeyPressed |
                  QAbstractItemView::EditKeyPressed);
  setTabKeyNavigation(false);
  setWordWrap(false);
  setItemDelegate(new TParamGridDelegate(this));

  QItemSelectionModel* old = selectionModel();
  setSelectionModel(new TParamSelectionModel(model(), this));
  delete old;

  connect(qApp, &QApplication::focusChanged, this, &TParamGridView::OnFocusChanged);
}

void TParamGridView::FitKeyColumn() {
  // The longest name decides, so that no name is cut; the values keep what is left, which
  // holds the longest value text with the fonts the program installs.
  int widest = 0;
  for (const TPARAMETR& p : ParamTable)
    widest = std::max(widest, fontMetrics().horizontalAdvance(Decode(p.Name)));
  setColumnWidth(0, std::max(KEY_COLUMN_WIDTH, widest + KEY_COLUMN_PADDING));
}

void TParamGridView::changeEvent(QEvent* event) {
  QTableWidget::changeEvent(event);
  if (event->type() == QEvent::FontChange) FitKeyColumn();
}

TParamGridView::~TParamGridView() {
  session_ = nullptr;
}

int TParamGridView::OpenEditorGridRow() const {
  return editor_ && editorIndex_.isValid() ? editorIndex_.row() + 1 : 0;
}

QString TParamGridView::EditorText(const QWidget* editor) {
  if (auto* combo = qobject_cast<const QComboBox*>(editor)) return combo->currentText();
  if (auto* line = qobject_cast<const QLineEdit*>(editor)) return line->text();
  if (auto* ellipsis = dynamic_cast<const TEllipsisEditor*>(editor)) return ellipsis->Edit->text();
  return {};
}

void TParamGridView::SetEditorText(QWidget* editor, const QString& text) {
  if (auto* combo = qobject_cast<QComboBox*>(editor)) {
    const int found = combo->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (found >= 0) combo->setCurrentIndex(found);
    combo->setEditText(text);
  } else if (auto* line = qobject_cast<QLineEdit*>(editor)) {
    line->setText(text);
    line->selectAll();
  } else if (auto* ellipsis = dynamic_cast<TEllipsisEditor*>(editor)) {
    ellipsis->Edit->setText(text);
    ellipsis->Edit->selectAll();
  }
}

QString TParamGridView::CellText(int gridRow) const {
  if (gridRow < 1 || gridRow > rowCount()) return {};
  if (editor_ && editorIndex_.isValid() && editorIndex_.row() == gridRow - 1)
    return EditorText(editor_);
  const QTableWidgetItem* cell = item(gridRow - 1, 1);
  return cell ? cell->text() : QString();
}

void TParamGridView::SyncFromView(bool keepTyping) {
  if (!session_) return;
  const std::vector<TGridRow>& grid = session_->GridRows();
  syncing_ = true;
  const int rows = static_cast<int>(grid.size());
  if (rows != rowCount()) {
    setRowCount(rows);
    shown_.assign(grid.size(), TGridRow{});
    for (int r = 0; r < rows; ++r) {
      auto* key = new QTableWidgetItem;
      key->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
      setItem(r, 0, key);
      auto* value = new QTableWidgetItem;
      value->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable);
      setItem(r, 1, value);
      // Differ from every real row so that the loop below writes all of them.
      shown_[r].Key = shown_[r].Value = std::string(1, '\0');
    }
  }
  for (int r = 0; r < rows; ++r) {
    const TGridRow& want = grid[r];
    TGridRow& have = shown_[r];
    if (want.Key != have.Key) {
      // The key column is narrower than the longest names.
      item(r, 0)->setText(Decode(want.Key));
      item(r, 0)->setToolTip(Decode(want.Key).trimmed());
    }
    const bool editing = editor_ && editorIndex_.isValid() && editorIndex_.row() == r;
    const bool reasonChanged = want.Hint != have.Hint || want.Refusal != have.Refusal;
    if (reasonChanged || want.Edited != have.Edited) {
      const QString tip =
          want.Refusal.empty() ? "Allowed: " + Decode(want.Hint) : Decode(want.Refusal);
      QString cellTip = want.Hint.empty() && want.Refusal.empty() ? QString() : tip;
      if (want.Edited) cellTip = EDITED_TIP + (cellTip.isEmpty() ? QString() : "\n" + cellTip);
      item(r, 1)->setToolTip(cellTip);
      if (editing) editor_->setToolTip(cellTip);
      // A value "Load" would change stands out from those the sensor holds.
      QFont font = item(r, 1)->font();
      font.setBold(want.Edited);
      item(r, 1)->setFont(font);
      item(r, 1)->setForeground(want.Edited ? QBrush(EDITED_COLOUR) : QBrush());
      // A refused value just shows the stored one again; say why where the operator looks.
      if (reasonChanged && !want.Refusal.empty() && isVisible()) {
        const QRect cell = visualRect(model()->index(r, 1));
        QToolTip::showText(viewport()->mapToGlobal(cell.bottomLeft()), tip, viewport(), cell);
      }
    }
    if (want.Value != have.Value) {
      item(r, 1)->setText(Decode(want.Value));
      const QLineEdit* line = editing ? EditorLine() : nullptr;
      const bool typed = keepTyping && line && line->isModified();
      if (editing && !typed) SetEditorText(editor_, Decode(want.Value));
    }
    if (editing && want.PickList != have.PickList) {
      if (auto* combo = qobject_cast<QComboBox*>(editor_.data())) {
        const QString text = combo->currentText();
        combo->clear();
        for (const auto& entry : want.PickList) combo->addItem(Decode(entry));
        SetEditorText(combo, text);
      }
    }
    have = want;
  }
  if (isEnabled() != session_->GridEnabled()) setEnabled(session_->GridEnabled());
  syncing_ = false;
}

QLineEdit* TParamGridView::EditorLine() const {
  if (auto* combo = qobject_cast<QComboBox*>(editor_.data())) return combo->lineEdit();
  if (auto* plain = qobject_cast<QLineEdit*>(editor_.data())) return plain;
  if (auto* ellipsis = dynamic_cast<TEllipsisEditor*>(editor_.data())) return ellipsis->Edit;
  return nullptr;
}

void TParamGridView::PasteFiltered() {
  QLineEdit* line = EditorLine();
  if (!session_ || !line) return;
  StoreEditedText(true);
  const size_t sel = session_->SelectedRow();
  const auto& grid = session_->GridRows();
  const size_t before = sel < grid.size() ? grid[sel].Value.size() : 0;
  const std::string taken =
      session_->FilterPaste(Encode(QApplication::clipboard()->text()), before);
  line->insert(Decode(taken));
  StoreEditedText();
}

QString TParamGridView::TextAfterTyping() const {
  const QLineEdit* line = EditorLine();
  if (!line || !line->hasSelectedText()) return EditorText(editor_);
  QString text = line->text();
  return text.remove(line->selectionStart(), line->selectedText().size());
}

void TParamGridView::StoreEditedText(bool typing) {
  if (!session_) return;
  auto& grid = session_->GridRows();
  const size_t sel = session_->SelectedRow();
  if (sel >= grid.size() || static_cast<int>(sel) >= rowCount()) return;
  // A typed character replaces the selected text: the length rule counts what is left.
  const bool replacing =
      typing && editor_ && editorIndex_.isValid() && editorIndex_.row() == static_cast<int>(sel);
  const std::string text =
      Encode(replacing ? TextAfterTyping() : CellText(static_cast<int>(sel) + 1));
  grid[sel].Value = text;
  if (sel < shown_.size()) shown_[sel].Value = text;
}

void TParamGridView::Run(const std::function<void()>& handler) {
  handler();
  SyncFromView();
}

bool TParamGridView::SelectCell(int newGridRow) {
  if (!session_ || inEvent_ || syncing_) return true;
  inEvent_ = true;
  bool moved = true;  // a handler the window holds back leaves the selection alone
  // The typed text goes into the session with the handler: the session is the window's only
  // while a handler runs.
  Run([&] {
    StoreEditedText();
    session_->ValueListEditorParamSelectCell(newGridRow);
    moved = session_ && session_->SelectedRow() == newGridRow - 1;
  });
  inEvent_ = false;
  return moved;
}

void TParamGridView::Exit() {
  if (!session_ || inEvent_ || syncing_) return;
  inEvent_ = true;
  Run([this] {
    StoreEditedText();
    session_->ValueListEditorParamExit();
  });
  inEvent_ = false;
}

void TParamGridView::ContextPopup() {
  if (!session_ || inEvent_) return;
  inEvent_ = true;
  Run([this] {
    StoreEditedText();
    session_->ValueListEditorParamContextPopup();
  });
  inEvent_ = false;
}

void TParamGridView::EditButtonClick() {
  if (!session_ || inEvent_) return;
  inEvent_ = true;
  Run([this] {
    StoreEditedText();
    session_->ValueListEditorParamEditButtonClick(currentRow() + 1);
  });
  inEvent_ = false;
}

bool TParamGridView::KeyPress(char key) {
  if (!session_ || inEvent_) return true;
  inEvent_ = true;
  // The length rule looks at the cell as it stands, typed characters included.
  bool pass = true;
  Run([&] {
    StoreEditedText(key != 8 && key != 13);
    pass = session_->ValueListEditorParamKeyPress(key);
  });
  inEvent_ = false;
  return pass;
}

int TParamGridView::KeyByte(const QKeyEvent* event) {
  // Ctrl+A, Ctrl+X, Ctrl+C, Ctrl+Z and the like are the editor's, not typed characters.
  if (event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)) return -1;
  switch (event->key()) {
    case Qt::Key_Backspace:
      return 8;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return 13;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Escape:
    case Qt::Key_Delete:
      return -1;
    default:
      break;
  }
  const QString text = event->text();
  if (text.size() != 1) return -1;
  const char16_t c = text.at(0).unicode();
  if (c < 0x80) return c;
  const std::string bytes = Encode(text);
  return bytes.size() == 1 ? static_cast<unsigned char>(bytes[0]) : -1;
}

bool TParamGridView::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
  const bool opened = QTableWidget::edit(index, trigger, event);
  // Installed after the delegate's own filter so that typed keys meet the key filter first.
  if (opened && editor_) {
    QWidget* target = editor_->focusProxy() ? editor_->focusProxy() : editor_.data();
    target->installEventFilter(this);
  }
  return opened;
}

void TParamGridView::keyPressEvent(QKeyEvent* event) {
  // A key typed while no editor is open opens one with that key; filter it first.
  const int key = KeyByte(event);
  if (key >= 0 && !KeyPress(static_cast<char>(key))) {
    event->accept();
    return;
  }
  QTableWidget::keyPressEvent(event);
}

void TParamGridView::contextMenuEvent(QContextMenuEvent* event) {
  if (!session_) return;
  ContextPopup();
  if (PopupMenu && session_) PopupMenu->exec(event->globalPos());
  event->accept();
}

bool TParamGridView::eventFilter(QObject* watched, QEvent* event) {
  if (editor_ && watched != this) {
    if (event->type() == QEvent::KeyPress) {
      auto* press = static_cast<QKeyEvent*>(event);
      if (press->matches(QKeySequence::Paste)) {
        PasteFiltered();
        return true;
      }
      const int key = KeyByte(press);
      if (key >= 0 && !KeyPress(static_cast<char>(key))) return true;
    } else if (event->type() == QEvent::Wheel && qobject_cast<QComboBox*>(watched)) {
      // Scrolling the grid must not step the value of a pick list under the mouse.
      QCoreApplication::sendEvent(viewport(), event);
      return true;
    }
  }
  return QTableWidget::eventFilter(watched, event);
}

bool TParamGridView::Inside(const QWidget* w) const {
  for (; w; w = w->parentWidget()) {
    if (w == this) return true;
  }
  return false;
}

void TParamGridView::OnFocusChanged(QWidget* old, QWidget* now) {
  if (!session_ || syncing_ || !old || !now) return;
  // Only a move to another control of this window leaves the grid; a message box or a
  // menu taking the focus for a moment does not.
  if (Inside(old) && !Inside(now) && now->window() == window()) Exit();
}

}  // namespace karvo
