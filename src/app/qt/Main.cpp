#include "app/qt/Main.h"

#include <qcustomplot.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>

#include "app/qt/WindowOperator.h"
#include "app/qt/WindowText.h"
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
constexpr int BUSY_LOOK_DELAY_MS = 150;

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

// ---- Construction ----

TFormMain::TFormMain(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      person_(std::make_unique<TWindowOperator>(*this)),
      session_(std::make_unique<TSession>(*person_)),
      grid_(*person_, [this](Event event) { gridEvent_ = Send(std::move(event), false); }) {
  setObjectName("FormMain");
  setWindowTitle(MAIN_CAPTION);
  setFont(SansFont(FORM_FONT_PX));
  // The device thread has not started: the session's first View is read here, once.
  session_->FormCreate();
  TViewUpdate first = publisher_.Take(*session_);
  grid_.Take(first);
  resize(CLIENT_WIDTH, first.View.Height);
  FollowFoldHeight(first.View.Height);

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
  connect(TimerMore, &QTimer::timeout, this, [this] { FoldStep(); });
  TimerAnswer = new QTimer(this);
  TimerAnswer->setObjectName("TimerAnswer");
  TimerAnswer->setInterval(200);
  connect(TimerAnswer, &QTimer::timeout, this, [this] {
    // At most one tick waits: a long handler must not find hundreds queued after it.
    if (closing_ || answerTickPending_.exchange(true)) return;
    deviceTasks_->Post([this] {
      answerTickPending_ = false;
      RunOnDevice(
          [](TSession& s) {
            if (s.View.TimerAnswer) s.TimerAnswerTimer();
          },
          false, false);
    });
  });
  busyLook_ = new QTimer(this);
  busyLook_->setSingleShot(true);
  busyLook_->setInterval(BUSY_LOOK_DELAY_MS);
  connect(busyLook_, &QTimer::timeout, this, [this] { ShowBusy(!Idle() || tickBusy_); });
  windowTasks_ = new TTaskQueue(this);
  StartDeviceThread();

  ButtonCancel = new QToolButton(ButtonFindSensor->parentWidget());
  ButtonCancel->setObjectName("ButtonCancel");
  ButtonCancel->setText("Cancel");
  ButtonCancel->setToolTip("Stop the running operation after the request under way");
  ButtonCancel->setFont(ButtonFindSensor->font());
  ButtonCancel->setGeometry(ButtonFindSensor->geometry());
  ButtonCancel->hide();
  // The token is the one thing of the session the window touches: an atomic flag, made for it.
  connect(ButtonCancel, &QToolButton::clicked, this, [this] { session_->Cancel.Cancel(); });

  for (const auto& device : FindSerialDevices()) AddPort(device, false);
  ShowUpdate(first);
}

TFormMain::~TFormMain() {
  FormClose();
  // The children go in QWidget's destructor, after this object's members: a box that loses
  // the focus then must not reach them through a signal.
  for (QObject* child : findChildren<QObject*>()) child->disconnect(this);
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
  // A typed name is the operator's choice once it is committed: Enter, leaving the box, or a
  // pick from the list; not each key.
  connect(ComboBoxCOM, &QComboBox::activated, this,
          [this](int index) { CommitPort(ComboBoxCOM->itemText(index)); });
  connect(ComboBoxCOM->lineEdit(), &QLineEdit::editingFinished, this,
          [this] { CommitPort(ComboBoxCOM->currentText()); });

  MakeLabel(panel, "Label5", "UART Baud Rate:", 114, 6);
  ComboBoxWorkBaund = new QComboBox(panel);
  ComboBoxWorkBaund->setObjectName("ComboBoxWorkBaund");
  for (int i = 0; i < BAUD_ITEM_COUNT; ++i) ComboBoxWorkBaund->addItem(BaudItems[i]);
  ComboBoxWorkBaund->setGeometry(114, 21, 86, 22);
  // A list without typing: each choice (a pick, an arrow key, the wheel) is committed.
  connect(ComboBoxWorkBaund, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (applying_ || index < 0) return;
    baudEvent_ = Send([index](TSession& s) {
      s.View.BaudIndex = index;
      s.ComboBoxWorkBaundChange();
    });
  });

  MakeLabel(panel, "Label4", "Net Number of Device:", 211, 6);
  ComboBoxWorkCodeDev = new QComboBox(panel);
  ComboBoxWorkCodeDev->setObjectName("ComboBoxWorkCodeDev");
  for (int i = 1; i <= ADDRESS_ITEM_COUNT; ++i) ComboBoxWorkCodeDev->addItem(QString::number(i));
  ComboBoxWorkCodeDev->setGeometry(211, 21, 64, 22);
  connect(ComboBoxWorkCodeDev, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (applying_ || index < 0) return;
    addressEvent_ = Send(
        [index](TSession& s) {
          s.View.AddressIndex = index;
          s.ComboBoxWorkCodeDevChange();
        },
        false);
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
          [this] { SendClick(ButtonConnect, &TSession::ButtonConnectClick); });
  connect(ButtonMeasure, &QPushButton::clicked, this,
          [this] { SendClick(ButtonMeasure, &TSession::ButtonMeasureClick); });
  connect(ButtonStream, &QPushButton::clicked, this,
          [this] { SendClick(ButtonStream, &TSession::ButtonStreamClick); });
  connect(ButtonZero, &QPushButton::clicked, this,
          [this] { Send([](TSession& s) { s.ButtonZeroClick(); }, false); });

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
  // The chart's menu from the top panel and its display too: a folded window (a stream, a
  // lost sensor) hides the chart, not the points it holds. A disabled display passes the
  // click on to the panel.
  panel->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(panel, &QWidget::customContextMenuRequested, this,
          [this, panel](const QPoint& pos) { PopupMenuSave->popup(panel->mapToGlobal(pos)); });

  // The grid's progress bar is out of sight while the window is folded (a connect reads all
  // parameters before it unfolds): a thin copy along the panel's foot shows it meanwhile.
  ProgressStrip = new QProgressBar(panel);
  ProgressStrip->setObjectName("ProgressStrip");
  ProgressStrip->setTextVisible(false);
  ProgressStrip->setGeometry(2, TOP_PANEL_HEIGHT - 4, CLIENT_WIDTH - 4, 3);
  ProgressStrip->hide();
}

void TFormMain::BuildParamPanel(QWidget* panel) {
  auto* layout = new QVBoxLayout(panel);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  ValueListEditorParam = new TParamGridView(grid_, panel);
  layout->addWidget(ValueListEditorParam, 1);
  LabelGridReason = new QLabel(panel);
  LabelGridReason->setObjectName("LabelGridReason");
  LabelGridReason->setWordWrap(true);
  LabelGridReason->setContentsMargins(3, 1, 3, 1);
  QPalette reasonPalette = LabelGridReason->palette();
  reasonPalette.setColor(QPalette::WindowText, QColor(170, 0, 0));
  LabelGridReason->setPalette(reasonPalette);
  LabelGridReason->hide();
  layout->addWidget(LabelGridReason);
  grid_.ShowReason = [this](const std::string& reason) {
    LabelGridReason->setText(Decode(reason));
    LabelGridReason->setVisible(!reason.empty());
  };
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
  connect(ComboBoxMotorCom, &QComboBox::activated, this,
          [this](int index) { CommitMotorPort(ComboBoxMotorCom->itemText(index)); });
  connect(ComboBoxMotorCom->lineEdit(), &QLineEdit::editingFinished, this,
          [this] { CommitMotorPort(ComboBoxMotorCom->currentText()); });
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
            [this, handler] { Send([handler](TSession& s) { (s.*handler)(); }); });
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
  connect(save, &QAction::triggered, this, [this] { Send([](TSession& s) { s.SaveClick(); }); });
  PopupMenuSave->addSeparator();
  QAction* clear = PopupMenuSave->addAction("Clear");
  clear->setObjectName("Clear");
  connect(clear, &QAction::triggered, this,
          [this] { Send([](TSession& s) { s.ClearClick(); }, false); });
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
  if (ComboBoxCOM->findText(path, Qt::MatchExactly | Qt::MatchCaseSensitive) < 0)
    ComboBoxCOM->addItem(path);
  if (select) {
    ComboBoxCOM->setCurrentText(path);
    CommitPort(path);
  }
}

void TFormMain::AddMotorPort(const std::string& devicePath) {
  const QString path = QFile::decodeName(QByteArray::fromStdString(devicePath));
  if (ComboBoxMotorCom->findText(path, Qt::MatchExactly | Qt::MatchCaseSensitive) < 0)
    ComboBoxMotorCom->addItem(path);
  ComboBoxMotorCom->setCurrentText(path);
  CommitMotorPort(path);
}

// ---- Range window ----

TFormRange* TFormMain::FormRange() {
  if (!formRange_) formRange_ = new TFormRange(this);
  return formRange_;
}

// ---- Closing ----

bool TFormMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == PanelMiddle && event->type() == QEvent::Resize) {
    middleCover_->setGeometry(PanelMiddle->rect());
    middleCover_->setVisible(PanelMiddle->height() < MIDDLE_MIN_USEFUL);
    middleCover_->raise();
  }
  return QWidget::eventFilter(watched, event);
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
