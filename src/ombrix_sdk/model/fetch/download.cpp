// download_file: one remote file streamed to a local path, 1 MiB at a time,
// with a progress line at every 5-percent step a chunk boundary lands on.
#include "fetch.hpp"
#include "support.hpp"

namespace fetch {

using namespace ombrix;

namespace {

Interned s_downloading("Downloading..."), s_cloud_url_line("\tcloud url: "),
    s_tar_xz_line("\ttar.xz file: "), s_requests("requests"), s_get("get"),
    s_DOWNLOAD_MODEL_TIMEOUT("DOWNLOAD_MODEL_TIMEOUT"), s_status_code("status_code"),
    s_bad_status("failed downloading status code: "), s_headers("headers"),
    s_content_length("Content-Length"), s_open("open"), s_wb("wb"), s_iter_content("iter_content"),
    s_write("write");

constexpr long kChunkSize = 1048576;

Ref integer(long value) { return Ref::steal(PyLong_FromLong(value)); }

// a <op> b for Python ints, NULL with an exception set on failure.
Ref times(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Multiply(a, b)); }
Ref divided(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_TrueDivide(a, b)); }
Ref floor_divided(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_FloorDivide(a, b)); }
Ref remainder(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Remainder(a, b)); }

// a == b as a truth value (-1 on error).
int equal(PyObject* a, PyObject* b) {
  Ref result = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
  return result ? truth(result.get()) : -1;
}

// The byte counts of one download and its last reported percentage.
struct Progress {
  Ref total;       // int(Content-Length), 0 when absent
  Ref downloaded;  // bytes written so far
  Ref last_pct;    // -1 until the first progress line

  // downloaded += length; logs "Downloading... P% (D MB / T MB)" when the
  // percentage is a new multiple of 5.
  bool advance(NativeFunction* fn, Py_ssize_t length) {
    Ref step = Ref::steal(PyLong_FromSsize_t(length));
    downloaded = step ? Ref::steal(PyNumber_InPlaceAdd(downloaded.get(), step.get())) : Ref();
    if (!downloaded) return false;
    Ref zero = integer(0);
    int unknown = zero ? equal(total.get(), zero.get()) : -1;
    if (unknown != 0) return unknown == 1;
    Ref hundred = integer(100), five = integer(5), mebi = integer(1024);
    if (!hundred || !five || !mebi) return false;
    Ref share = times(downloaded.get(), hundred.get());
    Ref ratio = share ? divided(share.get(), total.get()) : Ref();
    Ref pct = ratio ? Ref::steal(PyNumber_Long(ratio.get())) : Ref();
    if (!pct) return false;
    int same = equal(pct.get(), last_pct.get());
    if (same != 0) return same == 1;
    Ref rest = remainder(pct.get(), five.get());
    int on_step = rest ? equal(rest.get(), zero.get()) : -1;
    if (on_step != 1) return on_step == 0;
    Ref kib = floor_divided(downloaded.get(), mebi.get());
    Ref done_mb = kib ? floor_divided(kib.get(), mebi.get()) : Ref();
    Ref total_kib = done_mb ? floor_divided(total.get(), mebi.get()) : Ref();
    Ref total_mb = total_kib ? floor_divided(total_kib.get(), mebi.get()) : Ref();
    if (!total_mb) return false;
    Ref line = Ref::steal(PyUnicode_FromFormat("Downloading... %S%% (%SMB / %SMB)", pct.get(),
                                               done_mb.get(), total_mb.get()));
    if (!log_info(fn, line)) return false;
    last_pct = pct;
    return true;
  }
};

// for chunk in response.iter_content(chunk_size=1048576): file.write(chunk)
// ...; True once the body is written.
Ref write_body(NativeFunction* fn, PyObject* response, PyObject* file, Progress& progress) {
  Ref iter_content = getattr(response, s_iter_content);
  Ref size = iter_content ? integer(kChunkSize) : Ref();
  Ref chunks = size ? call_kw(iter_content.get(), {size.get()}, kw.chunk_size) : Ref();
  Ref iterator = chunks ? Ref::steal(PyObject_GetIter(chunks.get())) : Ref();
  if (!iterator) return Ref();
  while (Ref chunk = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!call_method(file, s_write, {chunk.get()})) return Ref();
    Py_ssize_t length = PyObject_Size(chunk.get());
    if (length < 0 || !progress.advance(fn, length)) return Ref();
  }
  if (PyErr_Occurred()) return Ref();
  return Ref::borrow(Py_True);
}

// Steps 5 to 9, with the response open.
Ref save_body(NativeFunction* fn, PyObject* response, PyObject* local_file) {
  Ref status = getattr(response, s_status_code);
  Ref ok = status ? integer(200) : Ref();
  Ref differs = ok ? Ref::steal(PyObject_RichCompare(status.get(), ok.get(), Py_NE)) : Ref();
  int refused = differs ? truth(differs.get()) : -1;
  if (refused < 0) return Ref();
  if (refused) {
    if (!log_warning(fn, concat({s_bad_status, text_of(status.get()).get()}))) return Ref();
    return Ref::borrow(Py_False);
  }

  Ref headers = getattr(response, s_headers);
  Ref absent = headers ? integer(0) : Ref();
  Ref length = absent ? call_method(headers.get(), s_get, {s_content_length, absent.get()}) : Ref();
  Progress progress;
  progress.total = length ? Ref::steal(PyNumber_Long(length.get())) : Ref();
  progress.downloaded = progress.total ? integer(0) : Ref();
  progress.last_pct = progress.downloaded ? integer(-1) : Ref();
  if (!progress.last_pct) return Ref();

  Ref open = lookup(fn, s_open);
  Ref file = open ? call(open.get(), {local_file, s_wb}) : Ref();
  if (!file) return Ref();
  return finally_close(file.get(), write_body(fn, response, file.get(), progress));
}

}  // namespace

PyObject* download_file(NativeFunction* fn, PyObject* const* argv) {
  PyObject *cloud_url = argv[0], *local_file = argv[1];
  if (!log_info(fn, Ref::borrow(s_downloading)) ||
      !log_info(fn, concat({s_cloud_url_line, cloud_url})) ||
      !log_info(fn, concat({s_tar_xz_line, local_file}))) {
    return nullptr;
  }
  Ref requests = lookup(fn, s_requests);
  Ref get = requests ? getattr(requests.get(), s_get) : Ref();
  Ref timeout = get ? lookup(fn, s_DOWNLOAD_MODEL_TIMEOUT) : Ref();
  Ref response = timeout ? call_kw(get.get(), {cloud_url, Py_True, timeout.get()},
                                   kw.stream_timeout)
                         : Ref();
  if (!response) return nullptr;
  // The response is closed on every path, so that its connection is given
  // back even when the body is not read to the end.
  return finally_close(response.get(), save_body(fn, response.get(), local_file)).release();
}

}  // namespace fetch
