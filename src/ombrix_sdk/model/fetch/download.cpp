// download_file: one remote file streamed to a local path, 1 MiB at a time,
// with a progress line at every 5-percent step a chunk boundary lands on.
// For download_url's own archive, the transfer goes through a partial file
// and continues where an earlier one broke off (see place.hpp).
//
// A body is whole only when as many bytes came as the server announced:
// some versions of the HTTP library end a body that the connection cut
// short without an error, and such a body is then raised as a broken link,
// as the others raise it.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <string>

#include "fetch.hpp"
#include "place.hpp"
#include "support.hpp"

namespace fetch {

using namespace ombrix;

namespace {

Interned s_downloading("Downloading..."), s_cloud_url_line("\tcloud url: "),
    s_tar_xz_line("\ttar.xz file: "), s_requests("requests"), s_get("get"),
    s_DOWNLOAD_MODEL_TIMEOUT("DOWNLOAD_MODEL_TIMEOUT"), s_status_code("status_code"),
    s_bad_status("failed downloading status code: "), s_headers("headers"),
    s_content_length("Content-Length"), s_open("open"), s_wb("wb"), s_iter_content("iter_content"),
    s_write("write"), s_ab("ab"), s_etag("ETag"), s_last_modified("Last-Modified"),
    s_content_range("Content-Range"), s_range("Range"), s_if_range("If-Range"),
    s_content_encoding("Content-Encoding"), s_raw("raw"), s_tell("tell"),
    s_exceptions("exceptions"), s_ChunkedEncodingError("ChunkedEncodingError"),
    s_ConnectionError("ConnectionError"), s_Timeout("Timeout");

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

// The status a response answered, and whether it is `code` (-1 on error).
int status_is(PyObject* response, long code, Ref* status) {
  *status = getattr(response, s_status_code);
  Ref wanted = *status ? integer(code) : Ref();
  return wanted ? equal(status->get(), wanted.get()) : -1;
}

// Step 5's refusal: the warning, then False.
Ref refused(NativeFunction* fn, PyObject* status) {
  if (!log_warning(fn, concat({s_bad_status, text_of(status).get()}))) return Ref();
  return Ref::borrow(Py_False);
}

// Step 6: total = int(response.headers.get("Content-Length", 0)).
bool start_progress(PyObject* response, Progress* progress) {
  Ref headers = getattr(response, s_headers);
  Ref absent = headers ? integer(0) : Ref();
  Ref length = absent ? call_method(headers.get(), s_get, {s_content_length, absent.get()}) : Ref();
  progress->total = length ? Ref::steal(PyNumber_Long(length.get())) : Ref();
  progress->downloaded = progress->total ? integer(0) : Ref();
  progress->last_pct = progress->downloaded ? integer(-1) : Ref();
  return static_cast<bool>(progress->last_pct);
}

// response.headers.get(name) as text; empty when absent or not a str.
std::string header(PyObject* response, PyObject* name) {
  Ref headers = getattr(response, s_headers);
  Ref value = headers ? call_method(headers.get(), s_get, {name}) : Ref();
  if (!value) {
    PyErr_Clear();
    return std::string();
  }
  if (!PyUnicode_Check(value.get())) return std::string();
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value.get(), &size);
  if (!text) {
    PyErr_Clear();
    return std::string();
  }
  std::string result(text, static_cast<size_t>(size));
  // A header value never holds a line break; the kept file is line based.
  return result.find_first_of("\r\n") == std::string::npos ? result : std::string();
}

// The body is sent in a content coding (gzip, ...): the bytes written are
// not the bytes sent.
bool encoded(PyObject* response) {
  std::string coding = header(response, s_content_encoding);
  for (char& c : coding) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  size_t first = coding.find_first_not_of(" \t"), last = coding.find_last_not_of(" \t");
  return first != std::string::npos && coding.substr(first, last - first + 1) != "identity";
}

// After the body: as many bytes came as the server announced (the
// progress total; 0 when it announced none). In a content coding the bytes
// counted are those read from the connection. A shorter body is raised as
// requests raises a body that the connection cut short.
bool body_whole(NativeFunction* fn, PyObject* response, const Progress& progress) {
  Ref zero = integer(0);
  int unknown = zero ? equal(progress.total.get(), zero.get()) : -1;
  if (unknown != 0) return unknown == 1;
  Ref received = progress.downloaded;
  if (encoded(response)) {
    Ref raw = getattr(response, s_raw);
    received = raw ? call_method(raw.get(), s_tell, {}) : Ref();
    if (!received) return false;
  }
  int whole = equal(received.get(), progress.total.get());
  if (whole != 0) return whole == 1;
  Ref requests = lookup(fn, s_requests);
  Ref exceptions = requests ? getattr(requests.get(), s_exceptions) : Ref();
  Ref broken = exceptions ? getattr(exceptions.get(), s_ChunkedEncodingError) : Ref();
  if (!broken) {
    PyErr_Clear();
    broken = Ref::borrow(PyExc_ConnectionError);
  }
  Ref message = Ref::steal(PyUnicode_FromFormat(
      "Connection broken: the body ended after %S of %S bytes", received.get(),
      progress.total.get()));
  if (message) PyErr_SetObject(broken.get(), message.get());
  return false;
}

// Steps 7 to 9: with open(path, mode) as file: the body into it, which must
// be whole.
Ref write_file_body(NativeFunction* fn, PyObject* response, PyObject* path, PyObject* mode,
                    Progress& progress) {
  Ref open = lookup(fn, s_open);
  Ref file = open ? call(open.get(), {path, mode}) : Ref();
  if (!file) return Ref();
  Ref written = finally_close(file.get(), write_body(fn, response, file.get(), progress));
  return written && body_whole(fn, response, progress) ? written : Ref();
}

// Steps 5 to 9, with the response open.
Ref save_body(NativeFunction* fn, PyObject* response, PyObject* local_file) {
  Ref status;
  int ok = status_is(response, 200, &status);
  if (ok != 1) return ok < 0 ? Ref() : refused(fn, status.get());
  Progress progress;
  if (!start_progress(response, &progress)) return Ref();
  return write_file_body(fn, response, local_file, s_wb, progress);
}

// --- for download_url: bytes kept across broken transfers ----------------------
//
// The body goes to the partial file beside the archive, and becomes the
// archive by a rename once it is whole and flushed, so that the archive's
// name only ever holds a complete archive. The server's validator (a strong
// ETag, else Last-Modified) and the total size are kept beside the partial
// file; the next attempt asks for the rest with Range and If-Range and
// appends only what a matching 206 brings.

// A non-negative decimal number filling all of `text`; -1 otherwise.
long long parse_count(const std::string& text) {
  if (text.empty() || text.size() > 18) return -1;
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// "bytes <first>-<last>/<total>" that continues `offset` up to the end of
// an archive of `total` bytes.
bool continues(const std::string& range, long long offset, long long total) {
  const std::string unit = "bytes ";
  if (range.compare(0, unit.size(), unit) != 0) return false;
  size_t dash = range.find('-', unit.size()), slash = range.find('/', unit.size());
  if (dash == std::string::npos || slash == std::string::npos || slash < dash) return false;
  return parse_count(range.substr(unit.size(), dash - unit.size())) == offset &&
         parse_count(range.substr(dash + 1, slash - dash - 1)) == total - 1 &&
         parse_count(range.substr(slash + 1)) == total;
}

// What is kept of an earlier transfer: the bytes on disk and the validator
// and total they belong to. `offset` 0: nothing to continue.
struct Kept {
  long long offset = 0;
  long long total = 0;
  std::string validator;
};

Kept read_kept(const FetchState& state) {
  Kept kept;
  std::string text;
  struct stat st;
  if (state.validator.empty() || !read_file(state.validator, &text) ||
      ::lstat(state.partial.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return kept;
  }
  size_t first = text.find('\n');
  size_t second = first == std::string::npos ? first : text.find('\n', first + 1);
  if (second == std::string::npos || second + 1 != text.size()) return kept;
  kept.validator = text.substr(0, first);
  kept.total = parse_count(text.substr(first + 1, second - first - 1));
  if (kept.validator.empty() || kept.total <= 0 || st.st_size <= 0 || st.st_size >= kept.total) {
    return kept;
  }
  kept.offset = st.st_size;
  return kept;
}

// The partial file is whole: renamed to the archive's name, the kept
// validator dropped. The archive itself is not flushed: it is deleted right
// after the extraction (mostly before its pages ever reach the disk), and
// an archive that a power cut damaged fails its xz check on extraction and
// is fetched again; what must survive a power cut is the extracted model,
// which download_url flushes.
Ref complete(const FetchState& state, PyObject* local_file) {
  std::string archive;
  if (!fs_path(local_file, &archive)) return Ref();
  if (::rename(state.partial.c_str(), archive.c_str()) != 0) {
    os_error(state.partial);
    return Ref();
  }
  ::unlink(state.validator.c_str());
  return Ref::borrow(Py_True);
}

// The server's validator for a body: a strong ETag, else Last-Modified
// ("" when it sent neither).
std::string validator_of(PyObject* response) {
  std::string validator = header(response, s_etag);
  if (validator.compare(0, 2, "W/") == 0) validator.clear();  // weak: no use in If-Range
  return validator.empty() ? header(response, s_last_modified) : validator;
}

// The pending exception is a broken link: the connection failed, timed out
// or cut the body short. The bytes written before it are then worth
// continuing, as they are when the process is being stopped (an exception
// that is not an Exception); after anything else (a local write error such
// as a full disk, a body that cannot be decoded) they are not. The
// exception stays pending.
bool broken_link(NativeFunction* fn) {
  Caught e;
  if (!e.take(PyExc_BaseException)) return false;
  bool broken = PyObject_IsInstance(e.value(), PyExc_Exception) == 0 ||
                PyObject_IsInstance(e.value(), PyExc_ConnectionError) == 1 ||
                PyObject_IsInstance(e.value(), PyExc_TimeoutError) == 1;
  Ref requests = broken ? Ref() : lookup(fn, s_requests);
  Ref exceptions = requests ? getattr(requests.get(), s_exceptions) : Ref();
  for (PyObject* name : {s_ConnectionError, s_Timeout, s_ChunkedEncodingError}) {
    Ref cls = exceptions && !broken ? getattr(exceptions.get(), name) : Ref();
    broken = broken || (cls && PyObject_IsInstance(e.value(), cls.get()) == 1);
    PyErr_Clear();  // a lookup that failed counts as no match
  }
  e.restore();
  return broken;
}

// The partial file and its validator go: nothing is to be continued.
void forget_partial(const FetchState& state) {
  ::unlink(state.validator.c_str());
  ::unlink(state.partial.c_str());
}

// A 200 answer: the whole body, from byte 0, into the partial file.
Ref whole_body(NativeFunction* fn, PyObject* response, const FetchState& state,
               PyObject* local_file) {
  Progress progress;
  if (!start_progress(response, &progress)) return Ref();
  // Bytes written in a content coding cannot be continued with a range of
  // the bytes sent.
  std::string validator = encoded(response) ? std::string() : validator_of(response);
  long long total = PyLong_AsLongLong(progress.total.get());
  if (total == -1 && PyErr_Occurred()) PyErr_Clear();

  // The validator is dropped before the partial file is truncated and kept
  // again after: a validator on disk always belongs to the bytes beside it.
  ::unlink(state.validator.c_str());
  Ref path = py_path(state.partial);
  Ref open = path ? lookup(fn, s_open) : Ref();
  Ref file = open ? call(open.get(), {path.get(), s_wb}) : Ref();
  if (!file) return Ref();
  bool resumable = !validator.empty() && total > 0;
  Ref result;
  if (!resumable ||
      write_file(state.validator, validator + "\n" + std::to_string(total) + "\n", false)) {
    result = write_body(fn, response, file.get(), progress);
  }
  if (!finally_close(file.get(), result) || !body_whole(fn, response, progress)) {
    // Without a validator no later attempt may continue these bytes.
    if (!resumable || !broken_link(fn)) forget_partial(state);
    return Ref();
  }
  return complete(state, local_file);
}

// A 206 answer that continues the kept bytes: the rest, appended.
Ref rest_of_body(NativeFunction* fn, PyObject* response, const FetchState& state,
                 PyObject* local_file, const Kept& kept) {
  Progress progress;
  progress.total = Ref::steal(PyLong_FromLongLong(kept.total));
  progress.downloaded = progress.total ? Ref::steal(PyLong_FromLongLong(kept.offset)) : Ref();
  progress.last_pct = progress.downloaded ? integer(-1) : Ref();
  Ref path = progress.last_pct ? py_path(state.partial) : Ref();
  if (!path || !write_file_body(fn, response, path.get(), s_ab, progress)) return Ref();
  return complete(state, local_file);
}

// requests.get(cloud_url, stream=True, timeout=DOWNLOAD_MODEL_TIMEOUT[, headers=headers])
Ref send(NativeFunction* fn, PyObject* cloud_url, PyObject* headers) {
  Ref requests = lookup(fn, s_requests);
  Ref get = requests ? getattr(requests.get(), s_get) : Ref();
  Ref timeout = get ? lookup(fn, s_DOWNLOAD_MODEL_TIMEOUT) : Ref();
  if (!timeout) return Ref();
  if (!headers) return call_kw(get.get(), {cloud_url, Py_True, timeout.get()}, kw.stream_timeout);
  return call_kw(get.get(), {cloud_url, Py_True, timeout.get(), headers},
                 kw.stream_timeout_headers);
}

// The answer to a request for the rest. Sets `again` when the answer cannot
// be used (416, or a 206 that does not continue the kept bytes): the caller
// then fetches the whole archive.
Ref answer_to_rest(NativeFunction* fn, PyObject* response, const FetchState& state,
                   PyObject* local_file, const Kept& kept, bool* again) {
  Ref status;
  int partial = status_is(response, 206, &status);
  if (partial < 0) return Ref();
  if (partial) {
    if (continues(header(response, s_content_range), kept.offset, kept.total) &&
        validator_of(response) == kept.validator && !encoded(response)) {
      return rest_of_body(fn, response, state, local_file, kept);
    }
    *again = true;
    return none();
  }
  int whole = status_is(response, 200, &status);
  if (whole < 0) return Ref();
  if (whole) return whole_body(fn, response, state, local_file);
  int unsatisfiable = status_is(response, 416, &status);
  if (unsatisfiable < 0) return Ref();
  if (unsatisfiable) {
    *again = true;
    return none();
  }
  return refused(fn, status.get());
}

Ref resumable_download(NativeFunction* fn, PyObject* cloud_url, PyObject* local_file,
                       const FetchState& state) {
  Kept kept = read_kept(state);
  if (kept.offset > 0) {
    Ref headers = Ref::steal(PyDict_New());
    Ref range = headers ? Ref::steal(PyUnicode_FromFormat("bytes=%lld-", kept.offset)) : Ref();
    Ref validator = range ? Ref::steal(PyUnicode_DecodeUTF8(
                                kept.validator.data(),
                                static_cast<Py_ssize_t>(kept.validator.size()), "strict"))
                          : Ref();
    if (!validator || PyDict_SetItem(headers.get(), s_range, range.get()) != 0 ||
        PyDict_SetItem(headers.get(), s_if_range, validator.get()) != 0) {
      return Ref();
    }
    Ref response = send(fn, cloud_url, headers.get());
    bool again = false;
    Ref outcome;
    if (response) {
      outcome = finally_close(response.get(),
                              answer_to_rest(fn, response.get(), state, local_file, kept, &again));
    }
    // Only a broken link leaves the kept bytes to be continued: after any
    // other failure the next attempt starts whole.
    if (!outcome && !broken_link(fn)) forget_partial(state);
    if (!outcome || !again) return outcome;
  }
  Ref response = send(fn, cloud_url, nullptr);
  if (!response) return Ref();
  Ref status;
  int ok = status_is(response.get(), 200, &status);
  Ref outcome = ok < 0   ? Ref()
                : ok == 0 ? refused(fn, status.get())
                          : whole_body(fn, response.get(), state, local_file);
  return finally_close(response.get(), outcome);
}

}  // namespace

PyObject* download_file(NativeFunction* fn, PyObject* const* argv) {
  PyObject *cloud_url = argv[0], *local_file = argv[1];
  if (!log_info(fn, Ref::borrow(s_downloading)) ||
      !log_info(fn, concat({s_cloud_url_line, cloud_url})) ||
      !log_info(fn, concat({s_tar_xz_line, local_file}))) {
    return nullptr;
  }
  // Called by download_url for its archive: resumable, through the partial
  // file.
  const FetchState* state = current_fetch();
  if (state && state->archive && PyUnicode_Check(state->archive) && !state->partial.empty()) {
    int same = PyUnicode_Compare(local_file, state->archive);
    if (same == -1 && PyErr_Occurred()) return nullptr;
    if (same == 0) return resumable_download(fn, cloud_url, local_file, *state).release();
  }
  Ref response = send(fn, cloud_url, nullptr);
  if (!response) return nullptr;
  // The response is closed on every path, so that its connection is given
  // back even when the body is not read to the end.
  return finally_close(response.get(), save_body(fn, response.get(), local_file)).release();
}

}  // namespace fetch
