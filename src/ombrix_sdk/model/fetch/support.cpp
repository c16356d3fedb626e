#include "support.hpp"

namespace fetch {

using namespace ombrix;

namespace {
Interned s_os("os"), s_path("path"), s_logger("logger"), s_info("info"), s_warning("warning"),
    s_close("close");

// A tuple of interned keyword names, kept for the life of the process.
PyObject* keyword_tuple(std::initializer_list<const char*> names) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!tuple) return nullptr;
  Py_ssize_t i = 0;
  for (const char* name : names) {
    Ref text = Ref::steal(PyUnicode_InternFromString(name));
    if (!text) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), i++, text.release());
  }
  return tuple.release();
}
}  // namespace

Keywords kw;

bool init_keywords() {
  if (kw.encoding) return true;  // kept for the life of the process
  kw.encoding = keyword_tuple({"encoding"});
  kw.headers_timeout = keyword_tuple({"headers", "timeout"});
  kw.stream_timeout = keyword_tuple({"stream", "timeout"});
  kw.chunk_size = keyword_tuple({"chunk_size"});
  kw.exist_ok = keyword_tuple({"exist_ok"});
  kw.cloud_url = keyword_tuple({"cloud_url"});
  kw.cloud_url_local_file = keyword_tuple({"cloud_url", "local_file"});
  kw.path = keyword_tuple({"path"});
  kw.stream_timeout_headers = keyword_tuple({"stream", "timeout", "headers"});
  kw.path_filter = keyword_tuple({"path", "filter"});
  return kw.encoding && kw.headers_timeout && kw.stream_timeout && kw.chunk_size && kw.exist_ok &&
         kw.cloud_url && kw.cloud_url_local_file && kw.path && kw.stream_timeout_headers &&
         kw.path_filter;
}

Ref lookup(NativeFunction* fn, PyObject* name) { return Ref::borrow(global(fn, name)); }

Ref os_path(NativeFunction* fn, PyObject* name, std::initializer_list<PyObject*> args) {
  Ref os = lookup(fn, s_os);
  Ref path = os ? getattr(os.get(), s_path) : Ref();
  Ref function = path ? getattr(path.get(), name) : Ref();
  return function ? call(function.get(), args) : Ref();
}

Ref os_call(NativeFunction* fn, PyObject* name, std::initializer_list<PyObject*> args) {
  Ref os = lookup(fn, s_os);
  Ref function = os ? getattr(os.get(), name) : Ref();
  return function ? call(function.get(), args) : Ref();
}

namespace {
bool log(NativeFunction* fn, PyObject* level, const Ref& message) {
  if (!message) return false;
  Ref logger = lookup(fn, s_logger);
  return logger && call_method(logger.get(), level, {message.get()});
}
}  // namespace

bool log_info(NativeFunction* fn, const Ref& message) { return log(fn, s_info, message); }
bool log_warning(NativeFunction* fn, const Ref& message) { return log(fn, s_warning, message); }

Ref concat(std::initializer_list<PyObject*> parts) {
  Ref result;
  for (PyObject* part : parts) {
    if (!part) return Ref();
    result = result ? Ref::steal(PyNumber_Add(result.get(), part)) : Ref::borrow(part);
    if (!result) return Ref();
  }
  return result;
}

Ref text_of(PyObject* obj) { return Ref::steal(PyObject_Str(obj)); }

bool Caught::take(PyObject* cls) {
  if (!PyErr_ExceptionMatches(cls)) return false;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback && value) PyException_SetTraceback(value, traceback);
  type_ = Ref::steal(type);
  value_ = Ref::steal(value);
  traceback_ = Ref::steal(traceback);
  return true;
}

void Caught::restore() {
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

Ref finally_close(PyObject* obj, Ref result) {
  if (result) return call_method(obj, s_close, {}) ? result : Ref();
  Caught pending;
  pending.take(PyExc_BaseException);
  if (call_method(obj, s_close, {})) {
    pending.restore();
    return Ref();
  }
  Caught replacement;
  replacement.take(PyExc_BaseException);
  PyException_SetContext(replacement.value(), Ref::borrow(pending.value()).release());
  replacement.restore();
  return Ref();
}

}  // namespace fetch
