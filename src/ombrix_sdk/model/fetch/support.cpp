#include "support.hpp"

namespace fetch {

using namespace ombrix;

namespace {
// A tuple of interned keyword names.
Ref keyword_tuple(std::initializer_list<const char*> names) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!tuple) return Ref();
  Py_ssize_t i = 0;
  for (const char* name : names) {
    Ref text = Ref::steal(PyUnicode_InternFromString(name));
    if (!text) return Ref();
    PyTuple_SET_ITEM(tuple.get(), i++, text.release());
  }
  return tuple;
}
}  // namespace

bool Keywords::prepare() {
  encoding = keyword_tuple({"encoding"});
  headers_timeout = keyword_tuple({"headers", "timeout"});
  stream_timeout = keyword_tuple({"stream", "timeout"});
  chunk_size = keyword_tuple({"chunk_size"});
  exist_ok = keyword_tuple({"exist_ok"});
  cloud_url = keyword_tuple({"cloud_url"});
  cloud_url_local_file = keyword_tuple({"cloud_url", "local_file"});
  path = keyword_tuple({"path"});
  stream_timeout_headers = keyword_tuple({"stream", "timeout", "headers"});
  path_filter = keyword_tuple({"path", "filter"});
  return encoding && headers_timeout && stream_timeout && chunk_size && exist_ok && cloud_url &&
         cloud_url_local_file && path && stream_timeout_headers && path_filter;
}

int Keywords::traverse(visitproc visit, void* arg) {
  // Tuples of str: nothing the collector could find a cycle through, but
  // reported like every object the state owns.
  for (const Ref* r : {&encoding, &headers_timeout, &stream_timeout, &chunk_size, &exist_ok,
                       &cloud_url, &cloud_url_local_file, &path, &stream_timeout_headers,
                       &path_filter}) {
    Py_VISIT(r->get());
  }
  return 0;
}

void Keywords::clear() {
  for (Ref* r : {&encoding, &headers_timeout, &stream_timeout, &chunk_size, &exist_ok, &cloud_url,
                 &cloud_url_local_file, &path, &stream_timeout_headers, &path_filter}) {
    *r = Ref();
  }
}

Ref lookup(NativeFunction* fn, PyObject* name) { return global(fn, name); }

Ref os_path(NativeFunction* fn, PyObject* name, std::initializer_list<PyObject*> args) {
  State& st = state_of(fn);
  Ref os = lookup(fn, st.os);
  Ref path = os ? getattr(os.get(), st.path) : Ref();
  Ref function = path ? getattr(path.get(), name) : Ref();
  return function ? call(function.get(), args) : Ref();
}

Ref os_call(NativeFunction* fn, PyObject* name, std::initializer_list<PyObject*> args) {
  State& st = state_of(fn);
  Ref os = lookup(fn, st.os);
  Ref function = os ? getattr(os.get(), name) : Ref();
  return function ? call(function.get(), args) : Ref();
}

namespace {
bool log(NativeFunction* fn, PyObject* level, const Ref& message) {
  if (!message) return false;
  State& st = state_of(fn);
  Ref logger = lookup(fn, st.logger);
  return logger && call_method(logger.get(), level, {message.get()});
}
}  // namespace

bool log_info(NativeFunction* fn, const Ref& message) {
  return log(fn, state_of(fn).info, message);
}
bool log_warning(NativeFunction* fn, const Ref& message) {
  return log(fn, state_of(fn).warning, message);
}

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

Ref finally_close(const State& st, PyObject* obj, Ref result) {
  if (result) return call_method(obj, st.close, {}) ? result : Ref();
  Caught pending;
  pending.take(PyExc_BaseException);
  if (call_method(obj, st.close, {})) {
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
