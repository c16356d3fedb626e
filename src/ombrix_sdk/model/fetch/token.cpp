// get_device_token and get_model_url: from a model identifier to the link
// its archive is downloaded from.
//
// The device token is the device's credential, so the model-URL request
// follows redirects itself instead of leaving them to requests: requests
// strips its own Authorization header when a redirect leaves the host, but
// passes a custom header like ours on to any server a redirect names.
#include "fetch.hpp"
#include "support.hpp"

namespace fetch {

using namespace ombrix;

namespace {

// Seconds requests waits to connect and for each read, on every request.
constexpr long kRequestTimeout = 30;
// requests' own limit on the redirects one request follows.
constexpr long kMaxRedirects = 30;

// with open(TOKEN_FILE, "r", encoding="utf-8") as f:
//     return f.read().replace("\n", "")
Ref read_token_file(NativeFunction* fn) {
  State& st = state_of(fn);
  Ref open = lookup(fn, st.open);
  Ref token_file = open ? lookup(fn, st.TOKEN_FILE) : Ref();
  if (!token_file) return Ref();
  Ref file = call_kw(open.get(), {token_file.get(), st.r, st.utf_8}, st.kw.encoding.get());
  if (!file) return Ref();
  Ref content = call_method(file.get(), st.read, {});
  Ref token = content ? call_method(content.get(), st.replace, {st.newline, st.empty}) : Ref();
  return finally_close(st, file.get(), token);
}

// The "url" member of a 200 reply, or None after a warning for any other
// status.
Ref url_from_reply(NativeFunction* fn, PyObject* response) {
  State& st = state_of(fn);
  Ref status = getattr(response, st.status_code);
  Ref ok = status ? Ref::steal(PyLong_FromLong(200)) : Ref();
  Ref differs = ok ? Ref::steal(PyObject_RichCompare(status.get(), ok.get(), Py_NE)) : Ref();
  int refused = differs ? truth(differs.get()) : -1;
  if (refused < 0) return Ref();
  if (refused) {
    if (!log_warning(fn, concat({st.bad_status, text_of(status.get()).get()}))) return Ref();
    return none();
  }
  Ref body = getattr(response, st.content);
  Ref text = body ? call_method(body.get(), st.decode, {st.UTF_8}) : Ref();
  Ref json = text ? lookup(fn, st.json) : Ref();
  Ref loads = json ? getattr(json.get(), st.loads) : Ref();
  Ref reply = loads ? call(loads.get(), {text.get()}) : Ref();
  Ref url = reply ? Ref::steal(PyObject_GetItem(reply.get(), st.url)) : Ref();
  if (!url) return Ref();
  if (url.get() != Py_None && !PyUnicode_CheckExact(url.get())) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "unicode",
                 Py_TYPE(url.get())->tp_name);
    return Ref();
  }
  return url;
}

// requests.get(url, headers=headers, timeout=30, allow_redirects=False)
Ref send(NativeFunction* fn, PyObject* url, PyObject* headers) {
  State& st = state_of(fn);
  Ref requests = lookup(fn, st.requests);
  Ref get = requests ? getattr(requests.get(), st.get) : Ref();
  Ref timeout = get ? Ref::steal(PyLong_FromLong(kRequestTimeout)) : Ref();
  Ref kwnames =
      timeout ? Ref::steal(PyTuple_Pack(3, st.headers.get(), st.timeout.get(),
                                        st.allow_redirects.get()))
              : Ref();
  if (!kwnames) return Ref();
  return call_kw(get.get(), {url, headers, timeout.get(), Py_False}, kwnames.get());
}

// Where a redirect answer sends the request, as requests reads it: the
// Location header of a 301, 302, 303, 307 or 308 answer. None for any other
// answer.
//
//     if response.status_code in (301, 302, 303, 307, 308) and "location" in response.headers:
//         location = response.headers["location"].encode("latin1").decode("utf8")
Ref redirect_location(const State& st, PyObject* response) {
  Ref status = getattr(response, st.status_code);
  Ref redirects = status ? Ref::steal(Py_BuildValue("(iiiii)", 301, 302, 303, 307, 308)) : Ref();
  int redirect = redirects ? PySequence_Contains(redirects.get(), status.get()) : -1;
  if (redirect <= 0) return redirect < 0 ? Ref() : none();
  Ref headers = getattr(response, st.headers);
  int located = headers ? PySequence_Contains(headers.get(), st.location) : -1;
  if (located <= 0) return located < 0 ? Ref() : none();
  Ref location = Ref::steal(PyObject_GetItem(headers.get(), st.location));
  // http.client decodes header values as latin-1; a Location is UTF-8 in
  // practice.
  Ref raw = location ? call_method(location.get(), st.encode, {st.latin1}) : Ref();
  Ref text = raw ? call_method(raw.get(), st.decode, {st.utf8}) : Ref();
  int nonempty = text ? truth(text.get()) : -1;  // an empty Location is no redirect
  if (nonempty <= 0) return nonempty < 0 ? Ref() : none();
  return text;
}

// The origin of a URL as urlparse gives it: its scheme, its host name
// (lowercased) and its port, the scheme's default when none is written.
// `known` is false for anything that is not a plain http or https URL with a
// host and a valid port.
struct Origin {
  bool known = false;
  bool https = false;
  Ref host;
  long port = 0;
};

// Origin of `url`; false with an exception set when urlparse fails.
bool origin_of(NativeFunction* fn, PyObject* url, Origin* origin) {
  State& st = state_of(fn);
  Ref urlparse = lookup(fn, st.urlparse);
  Ref parsed = urlparse ? call(urlparse.get(), {url}) : Ref();
  Ref scheme = parsed ? getattr(parsed.get(), st.scheme) : Ref();
  Ref host = scheme ? getattr(parsed.get(), st.hostname) : Ref();
  if (!host) return false;
  if (!PyUnicode_CheckExact(scheme.get()) || !PyUnicode_CheckExact(host.get())) return true;
  if (PyUnicode_Compare(scheme.get(), st.https) == 0) {
    origin->https = true;
  } else if (PyUnicode_Compare(scheme.get(), st.http) != 0) {
    return true;
  }
  Ref port = getattr(parsed.get(), st.port);
  if (!port) {
    // A port that is not a number or out of range: no origin to match.
    // requests refuses such an address when it is asked for it.
    Caught invalid;
    return invalid.take(PyExc_ValueError);
  }
  if (port.get() == Py_None) {
    origin->port = origin->https ? 443 : 80;
  } else {
    if (!PyLong_CheckExact(port.get())) return true;
    origin->port = PyLong_AsLong(port.get());
    if (origin->port == -1 && PyErr_Occurred()) return false;
  }
  origin->host = host;
  origin->known = true;
  return true;
}

// Whether the token may go along from `from` to `to`: within one origin
// (same scheme, host and port), or from http to https on the same host, both
// on their default ports. 1, 0, or -1 with an exception set.
int keeps_token(NativeFunction* fn, PyObject* from, PyObject* to) {
  Origin a, b;
  if (!origin_of(fn, from, &a) || !origin_of(fn, to, &b)) return -1;
  if (!a.known || !b.known || PyUnicode_Compare(a.host.get(), b.host.get()) != 0) return 0;
  if (a.https == b.https) return a.port == b.port;
  return !a.https && a.port == 80 && b.port == 443;
}

// raise requests.exceptions.TooManyRedirects("Exceeded 30 redirects.", response=response)
Ref too_many_redirects(NativeFunction* fn, PyObject* response) {
  State& st = state_of(fn);
  Ref requests = lookup(fn, st.requests);
  Ref exceptions = requests ? getattr(requests.get(), st.exceptions) : Ref();
  Ref cls = exceptions ? getattr(exceptions.get(), st.TooManyRedirects) : Ref();
  Ref message = cls ? Ref::steal(PyUnicode_FromFormat("Exceeded %ld redirects.", kMaxRedirects))
                    : Ref();
  Ref kwnames = message ? Ref::steal(PyTuple_Pack(1, st.response.get())) : Ref();
  Ref error = kwnames ? call_kw(cls.get(), {message.get(), response}, kwnames.get()) : Ref();
  if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  return Ref();
}

// The model-URL request and the redirects it is answered with, followed like
// requests follows them, up to its limit; the token goes along only while the
// request stays at its origin:
//
//     response = requests.get(address, headers=headers, timeout=30, allow_redirects=False)
//     redirects = 0
//     while (location := <redirect target of response>) is not None:
//         if redirects == 30:
//             raise requests.exceptions.TooManyRedirects("Exceeded 30 redirects.")
//         target = urljoin(response.url, location)
//         if headers and not <keeps_token>(response.url, target):
//             headers = {}        # never sent again
//         response.close()
//         response = requests.get(target, headers=headers, timeout=30, allow_redirects=False)
//         redirects += 1
//     try: return <url_from_reply>(response)
//     finally: response.close()
Ref request_model_url(NativeFunction* fn, PyObject* address, Ref headers) {
  State& st = state_of(fn);
  Ref response = send(fn, address, headers.get());
  bool token = true;
  for (long redirects = 0; response; ++redirects) {
    Ref location = redirect_location(st, response.get());
    if (location && location.get() == Py_None) {
      return finally_close(st, response.get(), url_from_reply(fn, response.get()));
    }
    if (location && redirects == kMaxRedirects) location = too_many_redirects(fn, response.get());
    Ref from = location ? getattr(response.get(), st.url) : Ref();
    Ref parse = from ? Ref::steal(PyImport_Import(st.urllib_parse)) : Ref();
    Ref urljoin = parse ? getattr(parse.get(), st.urljoin) : Ref();
    Ref target = urljoin ? call(urljoin.get(), {from.get(), location.get()}) : Ref();
    if (target && token) {
      int keep = keeps_token(fn, from.get(), target.get());
      if (keep < 0) {
        target = Ref();
      } else if (!keep) {
        token = false;
        headers = Ref::steal(PyDict_New());
        if (!headers) target = Ref();
      }
    }
    if (!finally_close(st, response.get(), target)) return Ref();
    response = send(fn, target.get(), headers.get());
  }
  return Ref();
}

// Steps 1 to 9 of get_model_url; NULL with the exception step 10 handles.
Ref resolve_model_url(NativeFunction* fn, PyObject* model_id) {
  State& st = state_of(fn);
  if (!log_info(fn, concat({st.get_url_from, model_id}))) return Ref();
  Py_ssize_t direct = PyUnicode_Tailmatch(model_id, st.http, 0, PY_SSIZE_T_MAX, -1);
  if (direct < 0) return Ref();
  if (direct) return Ref::borrow(model_id);

  Ref get_token = lookup(fn, st.get_device_token);
  Ref token = get_token ? call(get_token.get(), {}) : Ref();
  if (!token) return Ref();
  if (token.get() == Py_None) {
    if (!log_warning(fn, Ref::borrow(st.no_token))) return Ref();
    return none();
  }

  Ref model_url = lookup(fn, st.MODEL_URL);
  Ref address = model_url ? call_method(model_url.get(), st.replace, {st.placeholder, model_id})
                          : Ref();
  Ref value = address ? concat({st.bearer, token.get()}) : Ref();
  Ref headers = value ? Ref::steal(PyDict_New()) : Ref();
  if (!headers || PyDict_SetItem(headers.get(), st.header, value.get()) < 0) return Ref();
  return request_model_url(fn, address.get(), headers);
}

}  // namespace

PyObject* get_device_token(NativeFunction* fn, PyObject* const*) {
  State& st = state_of(fn);
  Ref token = read_token_file(fn);
  if (token) return token.release();
  Caught e;
  if (e.take(PyExc_FileNotFoundError)) {
    Ref token_file = lookup(fn, st.TOKEN_FILE);
    Ref path = token_file ? text_of(token_file.get()) : Ref();
    if (!path || !log_warning(fn, concat({st.token_not_found, path.get()}))) return nullptr;
    Py_RETURN_NONE;
  }
  if (!e.take(PyExc_Exception)) return nullptr;
  if (!log_warning(fn, concat({st.token_failed, e.text().get()}))) return nullptr;
  Py_RETURN_NONE;
}

PyObject* get_model_url(NativeFunction* fn, PyObject* const* argv) {
  State& st = state_of(fn);
  Ref url = resolve_model_url(fn, argv[0]);
  if (url) return url.release();
  Caught e;
  if (!e.take(PyExc_Exception)) return nullptr;
  if (!log_warning(fn, concat({st.failed_url, e.text().get()}))) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace fetch
