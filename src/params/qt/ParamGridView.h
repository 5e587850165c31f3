// The parameter grid: a two-column key/value grid whose value cells follow each row's edit
// style (plain text, text with a "..." button, editable pick list). It shows the session's
// grid rows and forwards the grid's events (select cell, exit, context menu, edit button,
// typed characters) to the session; the session decides what a commit or a key does.
#pragma once

#include <QPointer>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <functional>
#include <vector>

#include "params/ParamGridRows.h"

class QLineEdit;
class QMenu;

namespace karvo {

class TParamGridView;

class TParamGridDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  explicit TParamGridDelegate(TParamGridView* grid);

  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override;
  void setEditorData(QWidget* editor, const QModelIndex& index) const override;
  void setModelData(QWidget* editor, QAbstractItemModel* model,
                    const QModelIndex& index) const override;
  void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const override;

 private:
  TParamGridView* grid_;
};

class TParamGridView : public QTableWidget {
  Q_OBJECT

 public:
  explicit TParamGridView(TParamGridOwner& session, QWidget* parent = nullptr);
  ~TParamGridView() override;

  // Shown by a right click, after the pending edit was committed.
  QMenu* PopupMenu = nullptr;

  // Copies the owner's grid rows and enabled state into the grid. `keepTyping`: text the
  // operator has typed into the open editor stays (an update from elsewhere, not an answer to
  // the operator's own commit).
  void SyncFromView(bool keepTyping = false);
  // From now on nothing reaches the session (the window is closing).
  void Detach() { session_ = nullptr; }

  // Text of a value cell (grid row 1..36): the open editor's text, else the cell's.
  QString CellText(int gridRow) const;
  // The editor open in a value cell, if any.
  QWidget* OpenEditor() const { return editor_; }
  int OpenEditorGridRow() const;

  // The grid's events, also callable by tests.
  bool SelectCell(int newGridRow);  // false when the session kept the old row
  void Exit();
  void ContextPopup();
  void EditButtonClick();
  bool KeyPress(char key);  // false when the key is discarded

  // Editors of the three styles.
  static QString EditorText(const QWidget* editor);
  static void SetEditorText(QWidget* editor, const QString& text);

 protected:
  bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  friend class TParamGridDelegate;
  friend class TParamSelectionModel;

  // The row the session commits takes the text the operator typed.
  static constexpr int KEY_COLUMN_WIDTH = 141;
  static constexpr int KEY_COLUMN_PADDING = 9;
  static constexpr double GRID_LETTER_SPACING = -0.3;
  void FitKeyColumn();
  void StoreEditedText(bool typing = false);
  // The open editor's text as it will be once a typed character has replaced its selection.
  QString TextAfterTyping() const;
  void Run(const std::function<void()>& handler);
  void OnFocusChanged(QWidget* old, QWidget* now);
  bool Inside(const QWidget* w) const;
  // A typed key as the byte the session's key filter takes; -1 for keys that type nothing,
  // the edit keys (select all, cut, copy, paste, undo) among them.
  static int KeyByte(const QKeyEvent* event);
  // Pastes the clipboard into the open editor through the key filter.
  void PasteFiltered();
  QLineEdit* EditorLine() const;

  TParamGridOwner* session_;
  QPointer<QWidget> editor_;
  QPersistentModelIndex editorIndex_;
  std::vector<TGridRow> shown_;  // the rows as last copied from the session
  bool syncing_ = false;
  bool inEvent_ = false;
};

}  // namespace karvo
