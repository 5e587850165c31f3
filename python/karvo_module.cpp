// The extension under the karvo package, _karvo: the bindings of the sensor and the stream,
// and the device layer's tables the package builds its enum and checks from.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "PySensor.h"
#include "device/Arguments.h"
#include "device/Statuses.h"

namespace py = pybind11;
namespace dev = karvo::device;
using namespace karvo::python;

PYBIND11_MODULE(_karvo, m) {
  m.doc() = "The extension under the karvo package; use karvo itself.";
  m.attr("__version__") = KARVO_VERSION;
  SetMainThread(
      py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>());
  py::module_::import("numpy");

  py::list statuses;
  for (const dev::StatusEntry& e : dev::StatusTable())
    statuses.append(py::make_tuple(e.Status, e.Name, e.Text));
  m.attr("STATUSES") = statuses;
  py::list rates;
  for (uint32_t rate : dev::SensorBaudRates()) rates.append(rate);
  m.attr("BAUD_RATES") = rates;
  m.attr("MEASURE_COUNT_MAX") = dev::MEASURE_COUNTS.Max;
  m.attr("STREAM_COUNT_MAX") = dev::STREAM_COUNTS.Max;

  m.def(
      "set_errors",
      [](py::object base, std::map<uint32_t, py::object> special) {
        SetErrorClasses(std::move(base), std::move(special));
      },
      py::arg("base"), py::arg("special"));

  py::class_<PyStream>(m, "Stream")
      .def("__next__", &PyStream::Next)
      .def("stop", &PyStream::Stop)
      .def_property_readonly("running", &PyStream::Running)
      .def_property_readonly("unit", &PyStream::Unit)
      .def_property_readonly("lost", &PyStream::Lost);

  py::class_<PySensor>(m, "Sensor")
      .def(py::init<const std::string&, long long, long long, double>(), py::arg("port"),
           py::arg("baud"), py::arg("address"), py::arg("timeout"))
      .def("close", &PySensor::Close)
      .def("cancel", &PySensor::Cancel)
      .def_property_readonly("port", &PySensor::Port)
      .def_property_readonly("baud", [](PySensor& s) { return s.Settings().Baud; })
      .def_property_readonly("address", [](PySensor& s) { return s.Settings().Address; })
      .def_property_readonly("closed", &PySensor::Closed)
      .def_property_readonly("timeout", &PySensor::Timeout)
      .def_property_readonly("unit", &PySensor::Unit)
      .def_property_readonly("notice", &PySensor::Notice)
      .def("identify", &PySensor::Identify)
      .def("read_parameters", &PySensor::ReadParameters)
      .def("write_parameter", &PySensor::WriteParameter, py::arg("row"), py::arg("value"))
      .def("save_parameters", &PySensor::SaveParameters, py::arg("path"), py::arg("force"))
      .def("load_parameters", &PySensor::LoadParameters, py::arg("path"), py::arg("force"),
           py::arg("keep_identity"))
      .def("compare_parameters", &PySensor::CompareParameters, py::arg("path"))
      .def("flash", &PySensor::Flash, py::arg("operation"))
      .def("measure", &PySensor::Measure, py::arg("count"), py::arg("mode"), py::arg("times"))
      .def("zero", &PySensor::Zero)
      .def("pulse", &PySensor::ReadPulse)
      .def("stream_count", &PySensor::StreamCount, py::arg("count"), py::arg("mode"),
           py::arg("times"))
      .def(
          "stream_start",
          [](py::object self, std::optional<std::string> mode) {
            return std::make_unique<PyStream>(self, self.cast<PySensor&>(), mode);
          },
          py::arg("mode"))
      .def("sweep", &PySensor::Sweep, py::arg("kind"), py::arg("stage_port"), py::arg("file"),
           py::arg("force"), py::arg("progress"));

  py::class_<PyBus>(m, "Bus")
      .def(py::init<const std::string&, long long, const std::vector<long long>&, double>(),
           py::arg("port"), py::arg("baud"), py::arg("addresses"), py::arg("timeout"))
      .def("close", &PyBus::Close)
      .def("cancel", &PyBus::Cancel)
      .def_property_readonly("closed", &PyBus::Closed)
      .def_property_readonly("port", &PyBus::Port)
      .def_property_readonly("baud", &PyBus::Baud)
      .def_property_readonly("timeout", &PyBus::Timeout)
      .def_property_readonly("notice", &PyBus::Notice)
      .def_property_readonly("addresses", &PyBus::Addresses)
      .def_property_readonly("sensors", &PyBus::Sensors)
      .def("measure", &PyBus::Measure, py::arg("count"), py::arg("mode"));

  m.def("scan", &Scan, py::arg("port"), py::arg("all"), py::arg("baud"), py::arg("address"));
}
