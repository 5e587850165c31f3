#include "app/qt/Main.h"

#include <qcustomplot.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <bit>
#include <filesystem>
#include <thread>

#include "app/qt/FindSensor.h"
#include "measure/qt/Oscilloscope.h"
#include "params/qt/ParamGridView.h"
#include "range/qt/Range.h"

namespace karvo {

namespace {

constexpr int CLIENT_WIDTH = 639;
constexpr int TOP_PANEL_HEIGHT = 73;
constexpr int BOTTOM_PANEL_HEIGHT = 59;
constexpr int PARAM_PANEL_WIDTH = 237;
constexpr int CHART_WIDTH = 402;
constexpr int FORM_FONT_PX = 11;
constexpr int MIDDLE_MIN_USEFUL = 100;

QString Decode(const std::string& bytes) {
  return QString::fromStdString(Cp1251ToUtf8(bytes));
}

// A message's lines are broken by a carriage return alone.
QString MessageText(const std::string& bytes) {
  QString text = Decode(bytes);
  text.replace("\r\n", "\n");
  text.replace('\r', '\n');
  return text;
}

QFont SansFont(int pixelSize) {
  QFont font;
  font.setFamilies(
      {"MS Sans Serif", "Microsoft Sans Serif", "Liberation Sans", "Arial", "DejaVu Sans"});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(pixelSize);
  return font;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int x, int y) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->move(x, y);
  label->adjustSize();
  return label;
}

}  // namespace

// ---- What the session asks of the operator ----

// A box or dialog of a handler that shows the wait cursor gets the normal one while the
// operator answers it.
class TArrowCursor {
 public:
  TArrowCursor() : busy_(QApplication::overrideCursor() != nullptr) {
    if (busy_) QApplication::setOverrideCursor(Qt::ArrowCursor);
  }
  ~TArrowCursor() {
    if (busy_) QApplication::restoreOverrideCursor();
  }
  TArrowCursor(const TArrowCursor&) = delete;
  TArrowCursor& operator=(const TArrowCursor&) = delete;

 private:
  bool busy_;
};

class TFormMain::TWindowOperator : public TOperator {
 public:
  explicit TWindowOperator(TFormMain& form) : form_(form) {}

  // Runs `f` on the window's thread and returns what it returns.
  template <typename F>
  auto Ask(F f) {
    using R = decltype(f());
    if constexpr (std::is_void_v<R>) {
      form_.RunOnWindow(f);
    } else {
      R result{};
      form_.RunOnWindow([&] { result = f(); });
      return result;
    }
  }

  void Message(const std::string& text, const std::string& caption, TIcon icon) override {
    Ask([&] {
      form_.SyncFromView();
      const TArrowCursor arrow;
      if (form_.dialogs_) return form_.dialogs_->Message(text, caption, icon);
      QMessageBox box(BoxIcon(icon), Decode(caption), MessageText(text), QMessageBox::Ok, &form_);
      box.exec();
    });
  }

  bool Confirm(const std::string& text, const std::string& caption) override {
    return Ask([&] {
      form_.SyncFromView();
      const TArrowCursor arrow;
      if (form_.dialogs_) return form_.dialogs_->Confirm(text, caption);
      QMessageBox box(QMessageBox::Warning, Decode(caption), MessageText(text),
                      QMessageBox::Ok | QMessageBox::Cancel, &form_);
      box.setDefaultButton(QMessageBox::Ok);
      return box.exec() == QMessageBox::Ok;
    });
  }

  bool RetryCancel(const std::string& text, const std::string& caption) override {
    return Ask([&] {
      form_.SyncFromView();
      const TArrowCursor arrow;
      if (form_.dialogs_) return form_.dialogs_->RetryCancel(text, caption);
      QMessageBox box(QMessageBox::Critical, Decode(caption), MessageText(text),
                      QMessageBox::Retry | QMessageBox::Cancel, &form_);
      box.setDefaultButton(QMessageBox::Retry);
      return box.exec() == QMessageBox::Retry;
    });
  }

  std::optional<std::string> AskSaveFile(const std::string& suggestedName) override {
    return Ask([&]() -> std::optional<std::string> {
      form_.SyncFromView();
      const TArrowCursor arrow;
      if (form_.dialogs_) return form_.dialogs_->AskSaveFile(suggestedName);
      const QString suggestion = Decode(suggestedName);
      const QString suffix = QFileInfo(suggestion).suffix();
      QString filter = "All files (*)";
      if (!suffix.isEmpty()) filter = QString("*.%1 files (*.%1);;").arg(suffix) + filter;
      // The session asks "Rewrite file?" itself.
      const QString name = QFileDialog::getSaveFileName(&form_, QString(), suggestion, filter,
                                                        nullptr, QFileDialog::DontConfirmOverwrite);
      if (name.isEmpty()) return std::nullopt;
      return QFile::encodeName(name).toStdString();
    });
  }

  std::optional<std::string> AskOpenFile() override {
    return Ask([&]() -> std::optional<std::string> {
      form_.SyncFromView();
      const TArrowCursor arrow;
      if (form_.dialogs_) return form_.dialogs_->AskOpenFile();
      const QString name = QFileDialog::getOpenFileName(&form_, QString(), QString(),
                                                        "Parameter files (*.prm);;All files (*)");
      if (name.isEmpty()) return std::nullopt;
      return QFile::encodeName(name).toStdString();
    });
  }

  void Beep() override {
    Ask([&] {
      if (form_.dialogs_) return form_.dialogs_->Beep();
      QApplication::beep();
    });
  }

  void EditRange(int32_t& windowBegin, int32_t& windowEnd) override {
    Ask([&] {
      form_.SyncFromView();
      const TArrowCursor arrow;
      form_.FormRange()->Edit(windowBegin, windowEnd);
    });
  }

  void Refresh() override {
    Ask([&] {
      form_.SyncFromView();
      form_.repaint();
      if (form_.dialogs_) form_.dialogs_->Refresh();
    });
  }

 private:
  static QMessageBox::Icon BoxIcon(TIcon icon) {
    switch (icon) {
      case TIcon::Stop:
        return QMessageBox::Critical;
      case TIcon::Exclamation:
      case TIcon::Warning:
        return QMessageBox::Warning;
      case TIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
  }

  TFormMain& form_;
};

// ---- Construction ----

TFormMain::TFormMain(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      person_(std::make_unique<TWindowOperator>(*this)),
      session_(std::make_unique<TSession>(*person_)) {
  setObjectName("FormMain");
  setWindowTitle(MAIN_CAPTION);
  setFont(SansFont(FORM_FONT_PX));
  resize(CLIENT_WIDTH, session_->View.Height);
  FollowFoldHeight(session_->View.Height);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  auto* top = new QFrame(this);
  top->setObjectName("PanelTop");
  top->setFrameStyle(QFrame::Panel | QFrame::Raised);
  top->setFixedHeight(TOP_PANEL_HEIGHT);
  BuildTopPanel(top);
  layout->addWidget(top);

  // The grid and the chart give way when the window folds; the panels above and below
  // keep their height.
  PanelMiddle = new QWidget(this);
  PanelMiddle->setObjectName("PanelMiddle");
  PanelMiddle->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Ignored);
  auto* middle = new QHBoxLayout(PanelMiddle);
  middle->setContentsMargins(0, 0, 0, 0);
  middle->setSpacing(0);
  auto* paramPanel = new QWidget(PanelMiddle);
  paramPanel->setObjectName("PanelParam");
  paramPanel->setFixedWidth(PARAM_PANEL_WIDTH);
  paramPanel->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Ignored);
  BuildParamPanel(paramPanel);
  middle->addWidget(paramPanel);
  BuildChart(PanelMiddle);
  // Room the operator gives the window beyond its own size goes to the chart.
  Chart1->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Ignored);
  middle->addWidget(Chart1);
  layout->addWidget(PanelMiddle, 1);
  // A folded window shows the panels only: a sliver of grid and chart would be noise. A
  // cover rather than hiding them, so that folding never moves the keyboard focus.
  middleCover_ = new QWidget(PanelMiddle);
  middleCover_->setObjectName("PanelMiddleCover");
  middleCover_->setAutoFillBackground(true);
  middleCover_->hide();
  PanelMiddle->installEventFilter(this);

  auto* bottom = new QFrame(this);
  bottom->setObjectName("PanelBottom");
  bottom->setFrameStyle(QFrame::Panel | QFrame::Raised);
  bottom->setFixedHeight(BOTTOM_PANEL_HEIGHT);
  BuildBottomPanel(bottom);
  layout->addWidget(bottom);

  BuildMenus();

  TimerMore = new QTimer(this);
  TimerMore->setObjectName("TimerMore");
  TimerMore->setInterval(1);
  connect(TimerMore, &QTimer::timeout, this, [this] { ForwardTick(TICK_MORE); });
  TimerAnswer = new QTimer(this);
  TimerAnswer->setObjectName("TimerAnswer");
  TimerAnswer->setInterval(200);
  connect(TimerAnswer, &QTimer::timeout, this, [this] { ForwardTick(TICK_ANSWER); });
  // The device thread, with the measurement loop's timer on it: a replot or a dragged
  // window never delays a tick, and a tick never waits for the window.
  deviceThread_ = new QThread(this);
  deviceThread_->setObjectName("KarvoDevice");
  windowTasks_ = new TTaskQueue(this);
  deviceTasks_ = new TTaskQueue;
  deviceTasks_->moveToThread(deviceThread_);
  deviceThread_->start();
  deviceTasks_->Call([this] {
    TimerMain = new TPeriodicTimer(deviceTasks_);
    TimerMain->setObjectName("TimerMain");
    TimerMain->setInterval(session_->View.TimerMainInterval);
    connect(TimerMain, &TPeriodicTimer::timeout, deviceTasks_,
            [this] { RunOnDevice([this] { session_->TimerMainTimer(); }, false); });
  });
  // The streaming worker announces each new value from its own thread; the device thread
  // takes it into the View, with at most one announcement waiting at a time.
  session_->StreamValueReady = [this] {
    if (streamValuePending_.exchange(true)) return;
    // By name: the call travels through the event queue's own locking, and nothing made on
    // the worker's thread is read on the window's.
    QMetaObject::invokeMethod(this, "ShowStreamValue", Qt::QueuedConnection);
  };

  ButtonCancel = new QToolButton(ButtonFindSensor->parentWidget());
  ButtonCancel->setObjectName("ButtonCancel");
  ButtonCancel->setText("Cancel");
  ButtonCancel->setToolTip("Stop the running operation after the request under way");
  ButtonCancel->setFont(ButtonFindSensor->font());
  ButtonCancel->setGeometry(ButtonFindSensor->geometry());
  ButtonCancel->hide();
  connect(ButtonCancel, &QToolButton::clicked, this, [this] { session_->Cancel.Cancel(); });

  for (const auto& device : FindSerialDevices()) AddPort(device, false);

  session_->FormCreate();
  SyncFromView();
}

TFormMain::~TFormMain() {
  FormClose();
}

void TFormMain::BuildTopPanel(QWidget* panel) {
  MakeLabel(panel, "Label10", "COM Number:", 8, 6);
  ComboBoxCOM = new QComboBox(panel);
  ComboBoxCOM->setObjectName("ComboBoxCOM");
  // The operator may type a device path as well as pick an item.
  ComboBoxCOM->setEditable(true);
  ComboBoxCOM->setInsertPolicy(QComboBox::NoInsert);
  ComboBoxCOM->setCompleter(nullptr);
  ComboBoxCOM->setMaxVisibleItems(9);
  for (const char* name : {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "USB"})
    ComboBoxCOM->addItem(name);
  ComboBoxCOM->setGeometry(8, 21, 100, 22);
  ComboBoxCOM->view()->setMinimumWidth(240);
  connect(ComboBoxCOM, &QComboBox::currentTextChanged, this, [this](const QString& text) {
    if (syncing_) return;
    Forward([this, text] {
      session_->View.PortText = QFile::encodeName(text).toStdString();
      session_->ComboBoxCOMChange();
    });
  });

  MakeLabel(panel, "Label5", "UART Baud Rate:", 114, 6);
  ComboBoxWorkBaund = new QComboBox(panel);
  ComboBoxWorkBaund->setObjectName("ComboBoxWorkBaund");
  for (int i = 0; i < BAUD_ITEM_COUNT; ++i) ComboBoxWorkBaund->addItem(BaudItems[i]);
  ComboBoxWorkBaund->setGeometry(114, 21, 86, 22);
  connect(ComboBoxWorkBaund, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (syncing_ || index < 0) return;
    ForwardBusy([this, index] {
      session_->View.BaudIndex = index;
      session_->ComboBoxWorkBaundChange();
    });
  });

  MakeLabel(panel, "Label4", "Net Number of Device:", 211, 6);
  ComboBoxWorkCodeDev = new QComboBox(panel);
  ComboBoxWorkCodeDev->setObjectName("ComboBoxWorkCodeDev");
  for (int i = 1; i <= ADDRESS_ITEM_COUNT; ++i) ComboBoxWorkCodeDev->addItem(QString::number(i));
  ComboBoxWorkCodeDev->setGeometry(211, 21, 64, 22);
  connect(ComboBoxWorkCodeDev, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (syncing_ || index < 0) return;
    Forward([this, index] {
      session_->View.AddressIndex = index;
      session_->ComboBoxWorkCodeDevChange();
    });
  });

  // A sensor of unknown baud rate and address is found here instead of by guessing; the
  // button sits in the free space right of the address box.
  ButtonFindSensor = new QToolButton(panel);
  ButtonFindSensor->setObjectName("ButtonFindSensor");
  ButtonFindSensor->setText("Find sensor...");
  ButtonFindSensor->setToolTip(
      "Try every baud rate and net address on the chosen port until a sensor answers");
  ButtonFindSensor->setFont(SansFont(10));
  ButtonFindSensor->setStyleSheet("QToolButton { padding: 0px 1px; }");
  ButtonFindSensor->setGeometry(279, 21, 66, 22);
  connect(ButtonFindSensor, &QToolButton::clicked, this, [this] { FindSensor(); });
  // Lists open as lists of reasonable height whatever the style's habit.
  for (QComboBox* box : {ComboBoxCOM, ComboBoxWorkBaund, ComboBoxWorkCodeDev}) {
    box->setStyleSheet("QComboBox { combobox-popup: 0; }");
    box->setMaxVisibleItems(12);
  }

  const auto button = [panel](const char* name, const char* caption, int x) {
    auto* b = new QPushButton(caption, panel);
    b->setObjectName(name);
    b->setGeometry(x, 46, 77, 23);
    return b;
  };
  ButtonConnect = button("ButtonConnect", "Connect", 8);
  ButtonMeasure = button("ButtonMeasure", "Measure", 88);
  ButtonStream = button("ButtonStream", "Stream start", 168);
  ButtonZero = button("ButtonZero", "Zero set", 248);
  connect(ButtonConnect, &QPushButton::clicked, this,
          [this] { ForwardClick(ButtonConnect, &TSession::ButtonConnectClick); });
  connect(ButtonMeasure, &QPushButton::clicked, this,
          [this] { ForwardClick(ButtonMeasure, &TSession::ButtonMeasureClick); });
  connect(ButtonStream, &QPushButton::clicked, this,
          [this] { ForwardClick(ButtonStream, &TSession::ButtonStreamClick); });
  connect(ButtonZero, &QPushButton::clicked, this,
          [this] { Forward([this] { session_->ButtonZeroClick(); }); });

  LabelRast = new QLabel("0.000 mm", panel);
  LabelRast->setObjectName("LabelRast");
  LabelRast->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  QFont big("Times New Roman");
  big.setFamilies({"Times New Roman", "Liberation Serif", "Nimbus Roman", "DejaVu Serif"});
  big.setStyleHint(QFont::Serif);
  big.setPixelSize(45);
  LabelRast->setFont(big);
  LabelRast->setAutoFillBackground(true);
  QPalette palette = LabelRast->palette();
  palette.setColor(QPalette::Window, Qt::black);
  palette.setColor(QPalette::WindowText, Qt::red);
  // A disabled display stays readable, dimmed, on its black ground.
  palette.setColor(QPalette::Disabled, QPalette::Window, Qt::black);
  palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(128, 0, 0));
  LabelRast->setPalette(palette);
  LabelRast->setContentsMargins(0, 0, 6, 0);
  LabelRast->setGeometry(348, 4, CLIENT_WIDTH - 348 - 4, TOP_PANEL_HEIGHT - 8);

  // The grid's progress bar is out of sight while the window is folded (a connect reads all
  // parameters before it unfolds): a thin copy along the panel's foot shows it meanwhile.
  ProgressStrip = new QProgressBar(panel);
  ProgressStrip->setObjectName("ProgressStrip");
  ProgressStrip->setTextVisible(false);
  ProgressStrip->setGeometry(2, TOP_PANEL_HEIGHT - 4, CLIENT_WIDTH - 4, 3);
  ProgressStrip->hide();
}

void TFormMain::ExportChart(bool picture) {
  if (closed_ || !Idle()) return;
  const std::optional<std::string> name = person_->AskSaveFile(
      Utf8ToCp1251(LabelSerNum->text().toStdString()) + (picture ? ".png" : ".csv"));
  if (!name) return;
  // A name the system refuses (too long, a folder that cannot be looked into) is told by the
  // write below, with its reason.
  std::error_code unknown;
  if (std::filesystem::exists(*name, unknown) && !person_->Confirm("Rewrite file?", CAPTION_DOT))
    return;
  std::string reason;
  const bool written = picture ? Chart1->WritePng(*name, reason) : Chart1->WriteCsv(*name, reason);
  if (!written)
    person_->Message("Error writing " + Utf8ToCp1251(*name) + "." + '\r' + Utf8ToCp1251(reason),
                     CAPTION, TIcon::Exclamation);
}

void TFormMain::FindSensor() {
  // The widgets' copy of the View: the session itself is the device thread's.
  if (!Idle() || ButtonConnect->property("Tag").toInt() != 0) return;
  std::string port;
  uint32_t baud = 0;
  uint8_t address = 0;
  // The scan needs the port to itself, before it starts; the selectors' reopen holds it
  // otherwise.
  const bool closed = ForwardNow([&] {
    session_->CloseSensorPort();
    port = session_->PortName;
    baud = session_->LinkBaud;
    address = session_->DeviceAddress;
  });
  if (!closed) return;
  const std::optional<TFoundSensor> found = TFormFindSensor::Run(this, port, baud, address);
  if (!found) return;
  const std::string question = "Sensor found at " + std::to_string(found->Baud) +
                               " baud, address " + std::to_string(found->Address) + " (type " +
                               std::to_string(found->Identity.DeviceType) + ", serial number " +
                               std::to_string(found->Identity.SerialNumber) + "). Connect now?";
  if (!person_->Confirm(question, CAPTION_DOT)) return;
  ComboBoxWorkBaund->setCurrentText(QString::number(found->Baud));
  ComboBoxWorkCodeDev->setCurrentIndex(found->Address - 1);
  // Queued behind the two selector changes; the button itself is off until they are done.
  ForwardClick(ButtonConnect, &TSession::ButtonConnectClick);
}

void TFormMain::BuildParamPanel(QWidget* panel) {
  auto* layout = new QVBoxLayout(panel);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  ValueListEditorParam = new TParamGridView(*session_, panel);
  ValueListEditorParam->Forward = [this](const std::function<void()>& handler) {
    ForwardNow(handler);
  };
  layout->addWidget(ValueListEditorParam, 1);
  ProgressBarParam = new QProgressBar(panel);
  ProgressBarParam->setObjectName("ProgressBarParam");
  ProgressBarParam->setRange(0, 100);
  ProgressBarParam->setValue(0);
  ProgressBarParam->setTextVisible(false);
  ProgressBarParam->setFixedHeight(16);
  layout->addWidget(ProgressBarParam);
}

void TFormMain::BuildChart(QWidget* parent) {
  Chart1 = new TOscilloscope(parent);
  Chart1->setMinimumWidth(CHART_WIDTH);
  Chart1->setMinimumHeight(0);
  SeriesOsc = Chart1->Series();
  Chart1->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(Chart1, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { PopupMenuSave->popup(Chart1->mapToGlobal(pos)); });
}

void TFormMain::BuildBottomPanel(QWidget* panel) {
  MakeLabel(panel, "Label18", "Device type:", 8, 10);
  LabelModel = MakeLabel(panel, "LabelModel", "none", 96, 10);
  MakeLabel(panel, "Label6", "Serial number:", 8, 32);
  LabelSerNum = MakeLabel(panel, "LabelSerNum", "none", 96, 32);

  QLabel* release = MakeLabel(panel, "Label17", "Release:", 150, 11);
  LabelRelease = MakeLabel(panel, "LabelRelease", "none", 196, 11);
  for (QLabel* label : {release, LabelRelease}) {
    label->setFont(SansFont(9));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, QColor(192, 192, 192));
    label->setPalette(palette);
    label->adjustSize();
  }

  MakeLabel(panel, "Label7", "Base distance:", 262, 10);
  MakeLabel(panel, "Label8", "Measuring range:", 262, 32);
  LabelBase = MakeLabel(panel, "LabelBase", "none mm", 356, 10);
  LabelRange = MakeLabel(panel, "LabelRange", "none mm", 356, 32);
  for (QLabel* label : {LabelBase, LabelRange}) {
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setFixedWidth(72);
  }

  LabelCOMmotor = MakeLabel(panel, "LabelCOMmotor", "COM Motor:", 480, 10);
  ComboBoxMotorCom = new QComboBox(panel);
  ComboBoxMotorCom->setObjectName("ComboBoxMotorCom");
  for (const char* name : {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "USB"})
    ComboBoxMotorCom->addItem(name);
  ComboBoxMotorCom->setCurrentIndex(1);
  ComboBoxMotorCom->setGeometry(546, 6, 84, 22);
  // A device path may be typed; the text is read only when a stage run starts.
  ComboBoxMotorCom->setEditable(true);
  ComboBoxMotorCom->setInsertPolicy(QComboBox::NoInsert);
  ComboBoxMotorCom->setCompleter(nullptr);
  ComboBoxMotorCom->view()->setMinimumWidth(240);
  connect(ComboBoxMotorCom, &QComboBox::currentTextChanged, this, [this](const QString& text) {
    if (syncing_) return;
    Forward([this, text] { session_->View.MotorPortText = QFile::encodeName(text).toStdString(); });
  });
  LabelCOMmotor->hide();
  ComboBoxMotorCom->hide();
}

void TFormMain::BuildMenus() {
  PopupMenuParam = new QMenu(this);
  PopupMenuParam->setObjectName("PopupMenuParam");
  const auto item = [this](const char* name, const char* caption, void (TSession::*handler)()) {
    QAction* action = PopupMenuParam->addAction(caption);
    action->setObjectName(name);
    connect(action, &QAction::triggered, this,
            [this, handler] { ForwardBusy([this, handler] { (session_.get()->*handler)(); }); });
    return action;
  };
  item("PopupMenuLoad", "Load", &TSession::PopupMenuLoadClick);
  item("PopupMenuRead", "Read", &TSession::PopupMenuReadClick);
  item("PopupMenuCompare", "Compare", &TSession::PopupMenuCompareClick);
  PopupMenuParam->addSeparator();
  item("PopupMenuLoadAll", "Load All", &TSession::PopupMenuLoadAllClick);
  item("PopupMenuReadAll", "Read All", &TSession::PopupMenuReadAllClick);
  item("PopupMenuCompareAll", "Compare All", &TSession::PopupMenuCompareAllClick);
  PopupMenuParam->addSeparator();
  item("PopupMenuFLASH", "Write to FLASH", &TSession::PopupMenuFLASHClick);
  item("PopupMenuDefault", "Default", &TSession::PopupMenuDefaultClick);
  WriteToFactory = item("WriteToFactory", "Write to Factory", &TSession::PopupMenuFactoryClick);
  PopupMenuParam->addSeparator();
  item("WrParamFile", "Write to file", &TSession::WrParamFileClick);
  item("RdParamFile", "Read from file", &TSession::RdParamFileClick);
  ValueListEditorParam->PopupMenu = PopupMenuParam;

  PopupMenuSave = new QMenu(this);
  PopupMenuSave->setObjectName("PopupMenuSave");
  QAction* save = PopupMenuSave->addAction("Save data to file");
  save->setObjectName("Save");
  connect(save, &QAction::triggered, this,
          [this] { ForwardBusy([this] { session_->SaveClick(); }); });
  PopupMenuSave->addSeparator();
  QAction* clear = PopupMenuSave->addAction("Clear");
  clear->setObjectName("Clear");
  connect(clear, &QAction::triggered, this,
          [this] { Forward([this] { session_->ClearClick(); }); });
  // The chart's own conveniences, behind the items the program has always had.
  PopupMenuSave->addSeparator();
  QAction* whole = PopupMenuSave->addAction("Whole series");
  whole->setObjectName("WholeSeries");
  connect(whole, &QAction::triggered, this, [this] { Chart1->ShowWholeSeries(); });
  QAction* csv = PopupMenuSave->addAction("Export points as CSV...");
  csv->setObjectName("ExportCsv");
  connect(csv, &QAction::triggered, this, [this] { ExportChart(false); });
  QAction* png = PopupMenuSave->addAction("Export picture as PNG...");
  png->setObjectName("ExportPng");
  connect(png, &QAction::triggered, this, [this] { ExportChart(true); });
}

// ---- The device thread ----

void TTaskQueue::Post(std::function<void()> task) {
  {
    std::lock_guard lock(lock_);
    tasks_.push_back(std::move(task));
  }
  // By name: no functor made on this thread is read on the other.
  QMetaObject::invokeMethod(this, "RunTasks", Qt::QueuedConnection);
}

void TTaskQueue::Call(const std::function<void()>& task) {
  bool done = false;
  Post([&] {
    task();
    {
      std::lock_guard lock(lock_);
      done = true;
    }
    ran_.notify_all();
  });
  std::unique_lock lock(lock_);
  ran_.wait(lock, [&] { return done; });
}

void TTaskQueue::RunTasks() {
  std::function<void()> task;
  {
    std::lock_guard lock(lock_);
    if (tasks_.empty()) return;
    task = std::move(tasks_.front());
    tasks_.erase(tasks_.begin());
  }
  task();
}

void TFormMain::Forward(std::function<void()> handler) {
  if (closed_ || closing_ || syncing_ || !session_) return;
  ++pendingOps_;
  ShowBusy(true);
  deviceTasks_->Post([this, handler = std::move(handler)] { RunOnDevice(handler, true); });
}

bool TFormMain::ForwardNow(const std::function<void()>& handler) {
  // An operation makes the grid busy; a tick ends within a moment and is waited for, so that
  // no typed value is lost to the watchdog's beat.
  if (closed_ || closing_ || syncing_ || windowHolds_ || !session_ || pendingOps_ > 0 ||
      tickTurnedLong_)
    return false;
  {
    // Tried over and over rather than a timed lock, which the thread sanitizer cannot follow.
    std::unique_lock lock(sessionLock_, std::defer_lock);
    const auto until = std::chrono::steady_clock::now() + GRID_WAIT;
    while (!lock.try_lock()) {
      if (std::chrono::steady_clock::now() >= until) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    windowHolds_ = true;
    handler();
    windowHolds_ = false;
  }
  SyncFromView();
  // The grid's handlers may start the loop's timer or change the fold.
  deviceTasks_->Post([this] {
    std::lock_guard lock(sessionLock_);
    SyncDeviceTimers();
  });
  return true;
}

void TFormMain::RunOnDevice(const std::function<void()>& handler, bool operation) {
  bool runEnded = false;
  {
    std::unique_lock lock(sessionLock_);
    deviceHold_ = &lock;
    deviceInTask_ = true;
    inTick_ = !operation;
    // A cancel is for the operation that was running when it was asked.
    if (operation && !closing_) session_->Cancel.Reset();
    if (!closing_) handler();
    SyncDeviceTimers();
    runEnded = !session_->View.TimerMain;
    inTick_ = false;
    deviceInTask_ = false;
    deviceHold_ = nullptr;
  }
  if (operation) --pendingOps_;
  tickTurnedLong_ = false;
  // Ticks follow each other with hardly a gap: the window is shown the View about 30 times a
  // second during a run, and right after an operation or the run's end.
  const auto now = std::chrono::steady_clock::now();
  if (!operation && !runEnded && now - lastPublish_ < VIEW_PERIOD) return;
  lastPublish_ = now;
  PublishView();
  GiveWindowItsTurn();
}

void TFormMain::PublishView() {
  // One update waits at a time.
  if (syncQueued_.exchange(true)) return;
  windowTasks_->Post([this] {
    SyncFromView();
    {
      std::lock_guard lock(handoffLock_);
      syncQueued_ = false;
    }
    handoff_.notify_all();
  });
}

void TFormMain::GiveWindowItsTurn() {
  // Without this pause the next tick would take the session again before the window could:
  // the window waits a little for the device thread, never the other way round for long.
  std::unique_lock lock(handoffLock_);
  handoff_.wait_for(lock, HANDOFF_LIMIT, [this] { return !syncQueued_.load(); });
}

void TFormMain::SyncDeviceTimers() {
  const TMainView& v = session_->View;
  if (!TimerMain) return;
  if (TimerMain->interval() != v.TimerMainInterval) TimerMain->setInterval(v.TimerMainInterval);
  const bool run = v.TimerMain && !closing_;
  if (run && !TimerMain->isActive()) TimerMain->start();
  if (!run && TimerMain->isActive()) TimerMain->stop();
}

void TFormMain::RunOnWindow(const std::function<void()>& f) {
  if (QThread::currentThread() == thread()) return f();
  // The device thread, inside a handler: the window may read the session while the operator
  // answers; the handler goes on only after the answer.
  std::unique_lock<std::mutex>* hold = deviceHold_;
  if (inTick_) tickTurnedLong_ = true;
  if (hold) hold->unlock();
  windowTasks_->Call(f);
  if (hold) hold->lock();
}

void TFormMain::ForwardClick(QPushButton* button, void (TSession::*click)()) {
  // The click is for the button as the operator saw it: a run that ended meanwhile must not
  // be started again by a Stop that was queued behind its end.
  const std::string seen = button->text().toStdString();
  std::string TMainView::*caption = button == ButtonConnect   ? &TMainView::ButtonConnectCaption
                                    : button == ButtonMeasure ? &TMainView::ButtonMeasureCaption
                                                              : &TMainView::ButtonStreamCaption;
  Forward([this, seen, caption, click] {
    if (Cp1251ToUtf8(session_->View.*caption) == seen) (session_.get()->*click)();
  });
}

void TFormMain::ShowBusy(bool busy) {
  if (closed_) return;
  if (busy != busyShown_) {
    busyShown_ = busy;
    // The operator sees that the window is busy with the sensor, not hung, and can stop it.
    if (busy) {
      QApplication::setOverrideCursor(Qt::BusyCursor);
    } else {
      QApplication::restoreOverrideCursor();
    }
    ButtonCancel->setVisible(busy);
    ButtonFindSensor->setVisible(!busy);
    for (QWidget* w : std::initializer_list<QWidget*>{ComboBoxCOM, ComboBoxWorkBaund,
                                                      ComboBoxWorkCodeDev, ComboBoxMotorCom})
      w->setEnabled(!busy);
    PopupMenuParam->setEnabled(!busy);
    PopupMenuSave->setEnabled(!busy);
  }
  if (!busy) return;
  // Whatever the View says meanwhile: no second operation, and a Stop comes back with it.
  for (QWidget* w : std::initializer_list<QWidget*>{ButtonConnect, ButtonMeasure, ButtonStream,
                                                    ButtonZero, ValueListEditorParam})
    w->setEnabled(false);
}

bool TFormMain::WaitIdle(int ms) {
  QElapsedTimer clock;
  clock.start();
  for (;;) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    if (Idle() && !syncQueued_ && !busyShown_) return true;
    if (clock.elapsed() > ms) return false;
    QThread::msleep(1);
  }
}

void TFormMain::ForwardTick(int tick) {
  // At most one tick of a kind waits: a long handler must not find hundreds queued after it.
  if (closing_ || tickPending_[tick].exchange(true)) return;
  deviceTasks_->Post([this, tick] {
    RunOnDevice(
        [this, tick] {
          tickPending_[tick] = false;
          TMainView& v = session_->View;
          // A timer the handler stopped has no tick left to run.
          if (tick == TICK_MORE && v.TimerMore) session_->TimerMoreTimer();
          if (tick == TICK_ANSWER && v.TimerAnswer) session_->TimerAnswerTimer();
        },
        false);
  });
}

void TFormMain::ShowStreamValue() {
  streamValuePending_ = false;
  if (closed_ || closing_ || !session_) return;
  deviceTasks_->Post([this] {
    {
      std::lock_guard lock(sessionLock_);
      if (closing_) return;
      session_->ShowStreamValue();
    }
    PublishView();
  });
}

template <typename Timer>
void TFormMain::SyncTimer(Timer* timer, bool run) {
  if (run && !timer->isActive()) timer->start();
  if (!run && timer->isActive()) timer->stop();
}

void TFormMain::SyncFromView() {
  if (closed_ || syncing_ || !session_) return;
  // The device thread holds the session while it works; the View is shown once it lets go.
  std::unique_lock lock(sessionLock_, std::defer_lock);
  if (!windowHolds_ && !lock.try_lock()) {
    if (!syncRetryArmed_) {
      syncRetryArmed_ = true;
      QTimer::singleShot(5, this, [this] {
        syncRetryArmed_ = false;
        SyncFromView();
      });
    }
    return;
  }
  syncing_ = true;
  const TMainView& v = session_->View;

  const QString port = QFile::decodeName(QByteArray::fromStdString(v.PortText));
  if (ComboBoxCOM->currentText() != port) {
    const int found = ComboBoxCOM->findText(port, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (found >= 0 && found != ComboBoxCOM->currentIndex()) ComboBoxCOM->setCurrentIndex(found);
    if (ComboBoxCOM->currentText() != port) ComboBoxCOM->setEditText(port);
  }
  if (ComboBoxWorkBaund->currentIndex() != v.BaudIndex)
    ComboBoxWorkBaund->setCurrentIndex(v.BaudIndex);
  if (ComboBoxWorkCodeDev->currentIndex() != v.AddressIndex)
    ComboBoxWorkCodeDev->setCurrentIndex(v.AddressIndex);

  ButtonConnect->setText(Decode(v.ButtonConnectCaption));
  ButtonConnect->setProperty("Tag", v.ButtonConnectTag);
  ButtonConnect->setEnabled(v.ButtonConnectEnabled);
  ButtonMeasure->setText(Decode(v.ButtonMeasureCaption));
  ButtonMeasure->setProperty("Tag", v.ButtonMeasureTag);
  ButtonMeasure->setEnabled(v.ButtonMeasureEnabled);
  ButtonStream->setText(Decode(v.ButtonStreamCaption));
  ButtonStream->setEnabled(v.ButtonStreamEnabled);
  ButtonZero->setEnabled(v.ButtonZeroEnabled);
  LabelRast->setText(Decode(v.LabelRast));
  LabelRast->setEnabled(v.LabelRastEnabled);

  LabelModel->setText(Decode(v.LabelModel));
  LabelRelease->setText(Decode(v.LabelRelease));
  LabelSerNum->setText(Decode(v.LabelSerNum));
  LabelBase->setText(Decode(v.LabelBase));
  LabelRange->setText(Decode(v.LabelRange));
  for (QLabel* label : {LabelModel, LabelRelease, LabelSerNum}) label->adjustSize();
  LabelCOMmotor->setVisible(v.MotorComVisible);
  ComboBoxMotorCom->setVisible(v.MotorComVisible);

  WriteToFactory->setVisible(v.WriteToFactoryVisible);
  WriteToFactory->setEnabled(v.WriteToFactoryVisible);
  const int max = std::max(v.ProgressMax, 0);
  if (ProgressBarParam->maximum() != max) ProgressBarParam->setMaximum(max);
  // The bar shows a position past its maximum as full, as the transfers expect.
  ProgressBarParam->setValue(std::clamp(v.ProgressPos, 0, max));
  if (ProgressStrip->maximum() != max) ProgressStrip->setMaximum(max);
  ProgressStrip->setValue(ProgressBarParam->value());
  // Busy: an operation queued or running, or a tick that turned into one (a sweep's table
  // load with its progress and boxes). A measure run's plain ticks are not: Stop stays.
  const bool working = pendingOps_ > 0 || tickTurnedLong_;
  ProgressStrip->setVisible(working && middleCover_->isVisible() && v.ProgressPos > 0);
  Chart1->Show(v.SeriesOsc, v.ChartFooter);

  FollowFoldHeight(v.Height);
  SyncTimer(TimerMore, v.TimerMore);
  SyncTimer(TimerAnswer, v.TimerAnswer);
  syncing_ = false;

  ValueListEditorParam->SyncFromView();
  if (lock.owns_lock()) lock.unlock();
  // After the View: its buttons are what the operator gets back once the work is done.
  ShowBusy(working);
}

// ---- Ports ----

std::vector<std::string> TFormMain::FindSerialDevices() {
  namespace fs = std::filesystem;
  const auto list = [](const fs::path& folder, const std::vector<std::string>& prefixes) {
    std::vector<std::string> found;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      for (const auto& prefix : prefixes) {
        if (name.rfind(prefix, 0) == 0) found.push_back(it->path().string());
      }
    }
    // ttyUSB2 before ttyUSB10.
    std::sort(found.begin(), found.end(), [](const std::string& a, const std::string& b) {
      return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return found;
  };
  std::vector<std::string> devices = list("/dev", {"ttyUSB", "ttyACM"});
  const auto byId = list("/dev/serial/by-id", {""});
  devices.insert(devices.end(), byId.begin(), byId.end());
  return devices;
}

void TFormMain::AddPort(const std::string& devicePath, bool select) {
  const QString path = QFile::decodeName(QByteArray::fromStdString(devicePath));
  if (ComboBoxCOM->findText(path, Qt::MatchExactly | Qt::MatchCaseSensitive) < 0) {
    const bool was = syncing_;
    syncing_ = true;
    ComboBoxCOM->addItem(path);
    syncing_ = was;
  }
  if (select) {
    Forward([this, devicePath] {
      session_->View.PortText = devicePath;
      session_->ComboBoxCOMChange();
    });
  }
}

void TFormMain::AddMotorPort(const std::string& devicePath) {
  const QString path = QFile::decodeName(QByteArray::fromStdString(devicePath));
  if (ComboBoxMotorCom->findText(path, Qt::MatchExactly | Qt::MatchCaseSensitive) < 0)
    ComboBoxMotorCom->addItem(path);
  ComboBoxMotorCom->setCurrentText(path);
}

// ---- Range window ----

TFormRange* TFormMain::FormRange() {
  if (!formRange_) formRange_ = new TFormRange(this);
  return formRange_;
}

// ---- Closing ----

void TFormMain::FormClose() {
  if (closed_ || closing_) return;
  // No timer tick and no grid event may reach the session or its link from here on.
  TimerMore->stop();
  TimerAnswer->stop();
  closing_ = true;
  session_->Cancel.Cancel();
  // The device thread finishes what it is doing (cancelled between requests), closes the
  // links and ends; its boxes are still served meanwhile.
  deviceTasks_->Post([this] {
    std::lock_guard lock(sessionLock_);
    // The timer's notifier belongs to this thread's event loop: it goes with it.
    delete TimerMain;
    TimerMain = nullptr;
    session_->FormClose();
    QThread::currentThread()->quit();
  });
  while (!deviceThread_->wait(5)) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  { std::lock_guard lock(sessionLock_); }  // what the device thread did last is seen from here
  delete deviceTasks_;
  deviceTasks_ = nullptr;
  closed_ = true;
  ShowBusy(false);
  ValueListEditorParam->Detach();
}

bool TFormMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == PanelMiddle && event->type() == QEvent::Resize) {
    middleCover_->setGeometry(PanelMiddle->rect());
    middleCover_->setVisible(PanelMiddle->height() < MIDDLE_MIN_USEFUL);
    middleCover_->raise();
  }
  return QWidget::eventFilter(watched, event);
}

void TFormMain::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  // At once when the device thread is free: an operator dragging the window's edge must not
  // see the busy look flicker.
  const auto formResize = [this] { session_->FormResize(); };
  if (!ForwardNow(formResize)) Forward(formResize);
}

void TFormMain::FollowFoldHeight(int viewHeight) {
  // Unfolded, the operator may make the window larger than the session's height, and gets
  // that size back after a fold; folding or folded, the session's height is the height.
  const bool unfolded = viewHeight >= EXPANDED_HEIGHT;
  const bool wasUnfolded = maximumHeight() == QWIDGETSIZE_MAX;
  if (wasUnfolded && !unfolded) unfoldedHeight_ = height();
  setMinimumSize(CLIENT_WIDTH, viewHeight);
  setMaximumSize(QWIDGETSIZE_MAX, unfolded ? QWIDGETSIZE_MAX : viewHeight);
  const int wanted =
      unfolded ? std::max(viewHeight, wasUnfolded ? height() : unfoldedHeight_) : viewHeight;
  if (height() != wanted) resize(width(), wanted);
}

void TFormMain::closeEvent(QCloseEvent* event) {
  FormClose();
  event->accept();
}

}  // namespace karvo
