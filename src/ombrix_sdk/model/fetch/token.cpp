// get_device_token and get_model_url: from a model identifier to the link
// its archive is downloaded from.
#include "fetch.hpp"
#include "support.hpp"

namespace fetch {

using namespace ombrix;

namespace {

Interned s_open("open"), s_TOKEN_FILE("TOKEN_FILE"), s_r("r"), s_utf_8("utf-8"), s_read("read"),
    s_replace("replace"), s_newline("\n"), s_empty(""),
    s_token_not_found("Token file not found at "),
    s_token_failed("Failed to read device token: "),
    s_get_url_from("Get the download url from model_id:"), s_http("http"),
    s_get_device_token("get_device_token"),
    s_no_token("No device token available, cannot fetch model URL"), s_MODEL_URL("MODEL_URL"),
    s_placeholder("<MODEL_KEY>"), s_header("x-device-token"), s_bearer("Bearer "),
    s_requests("requests"), s_get("get"), s_status_code("status_code"), s_content("content"),
    s_decode("decode"), s_UTF_8("UTF-8"), s_json("json"), s_loads("loads"), s_url("url"),
    s_bad_status("failed to get the model url with status. "),
    s_failed_url("failed to get the model url ");

// with open(TOKEN_FILE, "r", encoding="utf-8") as f:
//     return f.read().replace("\n", "")
Ref read_token_file(NativeFunction* fn) {
  Ref open = lookup(fn, s_open);
  Ref token_file = open ? lookup(fn, s_TOKEN_FILE) : Ref();
  if (!token_file) return Ref();
  Ref file = call_kw(open.get(), {token_file.get(), s_r, s_utf_8}, kw.encoding);
  if (!file) return Ref();
  Ref content = call_method(file.get(), s_read, {});
  Ref token = content ? call_method(content.get(), s_replace, {s_newline, s_empty}) : Ref();
  return finally_close(file.get(), token);
}

// The "url" member of a 200 reply, or None after a warning for any other
// status.
Ref url_from_reply(NativeFunction* fn, PyObject* response) {
  Ref status = getattr(response, s_status_code);
  Ref ok = status ? Ref::steal(PyLong_FromLong(200)) : Ref();
  Ref differs = ok ? Ref::steal(PyObject_RichCompare(status.get(), ok.get(), Py_NE)) : Ref();
  int refused = differs ? truth(differs.get()) : -1;
  if (refused < 0) return Ref();
  if (refused) {
    if (!log_warning(fn, concat({s_bad_status, text_of(status.get()).get()}))) return Ref();
    return none();
  }
  Ref body = getattr(response, s_content);
  Ref text = body ? call_method(body.get(), s_decode, {s_UTF_8}) : Ref();
  Ref json = text ? lookup(fn, s_json) : Ref();
  Ref loads = json ? getattr(json.get(), s_loads) : Ref();
  Ref reply = loads ? call(loads.get(), {text.get()}) : Ref();
  Ref url = reply ? Ref::steal(PyObject_GetItem(reply.get(), s_url)) : Ref();
  if (!url) return Ref();
  if (url.get() != Py_None && !PyUnicode_CheckExact(url.get())) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "unicode",
                 Py_TYPE(url.get())->tp_name);
    return Ref();
  }
  return url;
}

// Steps 1 to 9 of get_model_url; NULL with the exception step 10 handles.
Ref resolve_model_url(NativeFunction* fn, PyObject* model_id) {
  if (!log_info(fn, concat({s_get_url_from, model_id}))) return Ref();
  Py_ssize_t direct = PyUnicode_Tailmatch(model_id, s_http, 0, PY_SSIZE_T_MAX, -1);
  if (direct < 0) return Ref();
  if (direct) return Ref::borrow(model_id);

  Ref get_token = lookup(fn, s_get_device_token);
  Ref token = get_token ? call(get_token.get(), {}) : Ref();
  if (!token) return Ref();
  if (token.get() == Py_None) {
    if (!log_warning(fn, Ref::borrow(s_no_token))) return Ref();
    return none();
  }

  Ref model_url = lookup(fn, s_MODEL_URL);
  Ref address = model_url ? call_method(model_url.get(), s_replace, {s_placeholder, model_id})
                          : Ref();
  Ref value = address ? concat({s_bearer, token.get()}) : Ref();
  Ref headers = value ? Ref::steal(PyDict_New()) : Ref();
  if (!headers || PyDict_SetItem(headers.get(), s_header, value.get()) < 0) return Ref();

  Ref requests = lookup(fn, s_requests);
  Ref get = requests ? getattr(requests.get(), s_get) : Ref();
  Ref timeout = get ? Ref::steal(PyLong_FromLong(30)) : Ref();
  Ref response = timeout ? call_kw(get.get(), {address.get(), headers.get(), timeout.get()},
                                   kw.headers_timeout)
                         : Ref();
  if (!response) return Ref();
  return finally_close(response.get(), url_from_reply(fn, response.get()));
}

}  // namespace

PyObject* get_device_token(NativeFunction* fn, PyObject* const*) {
  Ref token = read_token_file(fn);
  if (token) return token.release();
  Caught e;
  if (e.take(PyExc_FileNotFoundError)) {
    Ref token_file = lookup(fn, s_TOKEN_FILE);
    Ref path = token_file ? text_of(token_file.get()) : Ref();
    if (!path || !log_warning(fn, concat({s_token_not_found, path.get()}))) return nullptr;
    Py_RETURN_NONE;
  }
  if (!e.take(PyExc_Exception)) return nullptr;
  if (!log_warning(fn, concat({s_token_failed, e.text().get()}))) return nullptr;
  Py_RETURN_NONE;
}

PyObject* get_model_url(NativeFunction* fn, PyObject* const* argv) {
  Ref url = resolve_model_url(fn, argv[0]);
  if (url) return url.release();
  Caught e;
  if (!e.take(PyExc_Exception)) return nullptr;
  if (!log_warning(fn, concat({s_failed_url, e.text().get()}))) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace fetch
