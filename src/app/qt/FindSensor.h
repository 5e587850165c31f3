// "Find sensor...": a small modal dialog that scans the port for a sensor of unknown baud rate
// and address on a worker thread, with a progress bar, the combination being tried and
// Cancel, and returns where it found one. The window thread never waits on the line.
#pragma once

#include <QDialog>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/SensorScan.h"

class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace karvo {

class TFormFindSensor : public QDialog {
  Q_OBJECT

 public:
  explicit TFormFindSensor(TScanOptions options, QWidget* parent = nullptr);
  // Cancels a scan still running and waits for its probe to end.
  ~TFormFindSensor() override;

  // Scans `port` (a port item: "COM1".."COM8", a device path or "USB") trying `baud` and
  // `address` first, then every other address at the rate of the first sensor found: an
  // RS-485 line may hold several. The port must not be held by the caller; it is free again
  // on return. The sensor found, the one the operator picked from several (`picked` set), or
  // nothing when none was or the operator cancelled.
  static std::optional<TFoundSensor> Run(QWidget* parent, const std::string& port, uint32_t baud,
                                         uint8_t address, bool* picked = nullptr);

  // Starts the scan; showing the dialog does it too. Once only.
  void Start();
  bool Running() const { return worker_.joinable(); }
  const std::optional<TFoundSensor>& Result() const { return result_; }
  // Every sensor found on the line, the first one first.
  const std::vector<TFoundSensor>& Sensors() const { return sensors_; }
  bool Picked() const { return picked_; }

  QProgressBar* ProgressBarScan = nullptr;
  QLabel* LabelScan = nullptr;
  QPushButton* ButtonCancel = nullptr;
  // The sensors of a line with several, to pick one from, and the button that takes it.
  QListWidget* ListSensors = nullptr;
  QPushButton* ButtonPick = nullptr;

 public slots:
  // Cancel, Escape and the close box: stops the scan and closes once its probe has ended.
  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private slots:
  // Called from the worker by name through the event queue, so that what is handed over
  // travels only under the lock (a functor made on the worker would be shared memory).
  void ShowProgress();
  void TakeScanResult();

 private:
  void ScanFinished(const TScanResult& result);

  TScanOptions options_;
  std::unique_ptr<TKARVOInterface> link_;
  std::unique_ptr<TSensorScan> scan_;
  std::thread worker_;
  bool started_ = false;
  bool closing_ = false;           // under progressLock_ once the worker runs
  TSensorScan* active_ = nullptr;  // the line's second scan while it runs; under progressLock_
  std::optional<TFoundSensor> result_;
  std::vector<TFoundSensor> sensors_;
  bool picked_ = false;

  // The latest progress, handed from the worker; one queued call at a time shows it.
  std::mutex progressLock_;
  TScanProgress progress_;
  TScanResult finished_;
  std::atomic<bool> progressQueued_{false};
};

}  // namespace karvo
