#include "host/atomic_write.h"

#include <atomic>
#include <string>

#include "host/host.h"

namespace brivane::bind {

void replace_file(py::handle output_path, std::string_view content) {
  py::object os = host::global("os");
  py::object path = os.attr("path");
  // A link at the path is replaced, never written through: it may point at
  // an input.
  py::object target = py::reinterpret_borrow<py::object>(output_path);
  py::object folder = path.attr("dirname")(target);
  py::str base = path.attr("basename")(target);
  int flags = os.attr("O_WRONLY").cast<int>() | os.attr("O_CREAT").cast<int>() |
              os.attr("O_EXCL").cast<int>() |
              py::getattr(os, "O_BINARY", py::int_(0)).cast<int>();
  static std::atomic<unsigned long> serial{0};
  py::object temp, fd;
  while (!fd) {
    std::string name = "." + host::utf8(base) + "." + host::str_of(os.attr("getpid")()) + "-" +
                       std::to_string(++serial) + ".tmp";
    temp = path.attr("join")(folder, host::text(name));
    try {
      fd = os.attr("open")(temp, flags, 0666);
    } catch (py::error_already_set &error) {
      if (error.matches(PyExc_FileExistsError)) continue;
      // Name the file the caller asked for, not the temporary one.
      if (error.matches(PyExc_OSError)) error.value().attr("filename") = output_path;
      throw;
    }
  }
  try {
    py::object stream = host::global("open")(fd, "wb");
    host::with(stream, [&] {
      // Handed over without a copy; the buffer outlives the call.
      py::object data = py::reinterpret_steal<py::object>(PyMemoryView_FromMemory(
          const_cast<char *>(content.data()), static_cast<Py_ssize_t>(content.size()), PyBUF_READ));
      if (!data) throw py::error_already_set();
      stream.attr("write")(data);
    });
    py::object existing = py::none();
    try {
      existing = os.attr("stat")(target);
    } catch (py::error_already_set &error) {
      if (!error.matches(PyExc_FileNotFoundError)) throw;
    }
    if (!existing.is_none()) {
      os.attr("chmod")(temp, py::object(existing.attr("st_mode")) & py::int_(07777));
    }
    os.attr("replace")(temp, target);
  } catch (...) {
    py::error_already_set failure = host::current_error();
    try {
      os.attr("unlink")(temp);
    } catch (py::error_already_set &) {
    }
    throw failure;
  }
}

}  // namespace brivane::bind
