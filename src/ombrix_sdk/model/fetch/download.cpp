// download_file: one remote file streamed to a local path, 1 MiB at a time,
// with a progress line at every 5-percent step a chunk boundary lands on.
// For download_url's own archive, the transfer goes through a partial file
// and continues where an earlier one broke off (see place.hpp).
//
// A body is whole only when as many bytes came as the server announced (a
// Content-Length beside chunked transfer coding announces nothing):
// some versions of the HTTP library end a body that the connection cut
// short without an error, and such a body is then raised as a broken link,
// as the others raise it.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <string>
#include <vector>

#include "fetch.hpp"
#include "place.hpp"
#include "support.hpp"

namespace fetch {

using namespace ombrix;

namespace {

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
  State& st = state_of(fn);
  Ref iter_content = getattr(response, st.iter_content);
  Ref size = iter_content ? integer(kChunkSize) : Ref();
  Ref chunks = size ? call_kw(iter_content.get(), {size.get()}, st.kw.chunk_size.get()) : Ref();
  Ref iterator = chunks ? Ref::steal(PyObject_GetIter(chunks.get())) : Ref();
  if (!iterator) return Ref();
  while (Ref chunk = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!call_method(file, st.write, {chunk.get()})) return Ref();
    Py_ssize_t length = PyObject_Size(chunk.get());
    if (length < 0 || !progress.advance(fn, length)) return Ref();
  }
  if (PyErr_Occurred()) return Ref();
  return Ref::borrow(Py_True);
}

// The status a response answered, and whether it is `code` (-1 on error).
int status_is(const State& st, PyObject* response, long code, Ref* status) {
  *status = getattr(response, st.status_code);
  Ref wanted = *status ? integer(code) : Ref();
  return wanted ? equal(status->get(), wanted.get()) : -1;
}

// Step 5's refusal: the warning, then False.
Ref refused(NativeFunction* fn, PyObject* status) {
  State& st = state_of(fn);
  if (!log_warning(fn, concat({st.bad_download_status, text_of(status).get()}))) return Ref();
  return Ref::borrow(Py_False);
}

// Step 6: total = int(response.headers.get("Content-Length", 0)).
bool start_progress(const State& st, PyObject* response, Progress* progress) {
  Ref headers = getattr(response, st.headers);
  Ref absent = headers ? integer(0) : Ref();
  Ref length =
      absent ? call_method(headers.get(), st.get, {st.content_length, absent.get()}) : Ref();
  progress->total = length ? Ref::steal(PyNumber_Long(length.get())) : Ref();
  progress->downloaded = progress->total ? integer(0) : Ref();
  progress->last_pct = progress->downloaded ? integer(-1) : Ref();
  return static_cast<bool>(progress->last_pct);
}

// response.headers.get(name) as text in *out; empty when absent, not a
// str, or not text that a header can hold (an Exception while reading it
// counts as absent). False with the exception set for anything else.
bool header(const State& st, PyObject* response, PyObject* name, std::string* out) {
  out->clear();
  Ref headers = getattr(response, st.headers);
  Ref value = headers ? call_method(headers.get(), st.get, {name}) : Ref();
  if (!value) return clear_expected();
  if (!PyUnicode_Check(value.get())) return true;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value.get(), &size);
  if (!text) return clear_expected();
  out->assign(text, static_cast<size_t>(size));
  // A header value never holds a line break; the kept file is line based.
  if (out->find_first_of("\r\n") != std::string::npos) out->clear();
  return true;
}

// The codings a header lists ("a, B" gives "a" and "b"), lower case.
std::vector<std::string> codings(const std::string& value) {
  std::vector<std::string> found;
  size_t start = 0;
  while (start <= value.size()) {
    size_t comma = value.find(',', start);
    if (comma == std::string::npos) comma = value.size();
    std::string item = value.substr(start, comma - start);
    size_t first = item.find_first_not_of(" \t"), last = item.find_last_not_of(" \t");
    item = first == std::string::npos ? std::string() : item.substr(first, last - first + 1);
    for (char& c : item) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    found.push_back(item);
    start = comma + 1;
  }
  return found;
}

// The body is sent in a content coding (gzip, ...): the bytes written are
// not the bytes sent. 1 yes, 0 no, -1 on error.
int encoded(const State& st, PyObject* response) {
  std::string coding;
  if (!header(st, response, st.content_encoding, &coding)) return -1;
  std::vector<std::string> listed = codings(coding);
  return listed.size() == 1 && (listed[0].empty() || listed[0] == "identity") ? 0 : 1;
}

// The body comes in chunked transfer coding, which ends it by itself: a
// Content-Length beside it is to be ignored, as the HTTP library does. 1
// yes, 0 no, -1 on error.
int chunked(const State& st, PyObject* response) {
  std::string coding;
  if (!header(st, response, st.transfer_encoding, &coding)) return -1;
  for (const std::string& item : codings(coding)) {
    if (item == "chunked") return 1;
  }
  return 0;
}

// After the body: as many bytes came as the server announced (the
// progress total; 0 when it announced none). The Content-Length of a 200
// binds only without chunked transfer coding; the total of a
// Content-Range (`ranged`) always does. In a content coding the bytes
// counted are those read from the connection. A shorter body is raised as
// requests raises a body that the connection cut short.
bool body_whole(NativeFunction* fn, PyObject* response, const Progress& progress,
                bool ranged) {
  State& st = state_of(fn);
  Ref zero = integer(0);
  int unknown = zero ? equal(progress.total.get(), zero.get()) : -1;
  if (unknown != 0) return unknown == 1;
  int unbound = ranged ? 0 : chunked(st, response);
  if (unbound != 0) return unbound == 1;
  Ref received = progress.downloaded;
  int coded = encoded(st, response);
  if (coded < 0) return false;
  if (coded) {
    Ref raw = getattr(response, st.raw);
    received = raw ? call_method(raw.get(), st.tell, {}) : Ref();
    if (!received) return false;
  }
  int whole = equal(received.get(), progress.total.get());
  if (whole != 0) return whole == 1;
  Ref requests = lookup(fn, st.requests);
  Ref exceptions = requests ? getattr(requests.get(), st.exceptions) : Ref();
  Ref broken = exceptions ? getattr(exceptions.get(), st.ChunkedEncodingError) : Ref();
  if (!broken) {
    // A stand-in for requests without the class: the built-in one.
    if (!clear_expected()) return false;
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
                    Progress& progress, bool ranged) {
  State& st = state_of(fn);
  Ref open = lookup(fn, st.open);
  Ref file = open ? call(open.get(), {path, mode}) : Ref();
  if (!file) return Ref();
  Ref written = finally_close(st, file.get(), write_body(fn, response, file.get(), progress));
  return written && body_whole(fn, response, progress, ranged) ? written : Ref();
}

// Steps 5 to 9, with the response open.
Ref save_body(NativeFunction* fn, PyObject* response, PyObject* local_file) {
  State& st = state_of(fn);
  Ref status;
  int ok = status_is(st, response, 200, &status);
  if (ok != 1) return ok < 0 ? Ref() : refused(fn, status.get());
  Progress progress;
  if (!start_progress(st, response, &progress)) return Ref();
  return write_file_body(fn, response, local_file, st.wb, progress, false);
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
// ("" when it sent neither). False with an exception set on error.
bool validator_of(const State& st, PyObject* response, std::string* validator) {
  if (!header(st, response, st.etag, validator)) return false;
  if (validator->compare(0, 2, "W/") == 0) validator->clear();  // weak: no use in If-Range
  return !validator->empty() || header(st, response, st.last_modified, validator);
}

// The pending exception is a broken link: the connection failed, timed out
// or cut the body short. The bytes written before it are then worth
// continuing, as they are when the process is being stopped (an exception
// that is not an Exception); after anything else (a local write error such
// as a full disk, a body that cannot be decoded) they are not. The
// exception stays pending.
bool broken_link(NativeFunction* fn) {
  State& st = state_of(fn);
  Caught e;
  if (!e.take(PyExc_BaseException)) return false;
  bool broken = PyObject_IsInstance(e.value(), PyExc_Exception) == 0 ||
                PyObject_IsInstance(e.value(), PyExc_ConnectionError) == 1 ||
                PyObject_IsInstance(e.value(), PyExc_TimeoutError) == 1;
  Ref requests = broken ? Ref() : lookup(fn, st.requests);
  Ref exceptions = requests ? getattr(requests.get(), st.exceptions) : Ref();
  // A lookup that failed counts as no match. Anything but an Exception
  // (the process being stopped) goes on in the caught one's place, and
  // keeps the bytes as such a stop does.
  if (!broken && !exceptions && !clear_expected()) return true;
  for (PyObject* name :
       {st.ConnectionError.get(), st.Timeout.get(), st.ChunkedEncodingError.get()}) {
    Ref cls = exceptions && !broken ? getattr(exceptions.get(), name) : Ref();
    if (exceptions && !broken && !cls && !clear_expected()) return true;
    int match = cls ? PyObject_IsInstance(e.value(), cls.get()) : 0;
    if (match < 0 && !clear_expected()) return true;
    broken = broken || match == 1;
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
  State& st = state_of(fn);
  Progress progress;
  if (!start_progress(st, response, &progress)) return Ref();
  // Bytes written in a content coding cannot be continued with a range of
  // the bytes sent; a Content-Length beside chunked coding tells no size.
  int coded = encoded(st, response);
  int unbound = coded < 0 ? -1 : chunked(st, response);
  std::string validator;
  if (unbound < 0 || (!coded && !validator_of(st, response, &validator))) return Ref();
  long long total = PyLong_AsLongLong(progress.total.get());
  if (total == -1 && PyErr_Occurred() && !clear_expected(PyExc_OverflowError)) return Ref();
  if (unbound) total = 0;

  // The validator is dropped before the partial file is truncated and kept
  // again after: a validator on disk always belongs to the bytes beside it.
  ::unlink(state.validator.c_str());
  Ref path = py_path(state.partial);
  Ref open = path ? lookup(fn, st.open) : Ref();
  Ref file = open ? call(open.get(), {path.get(), st.wb}) : Ref();
  if (!file) return Ref();
  bool resumable = !validator.empty() && total > 0;
  Ref result;
  if (!resumable ||
      write_file(state.validator, validator + "\n" + std::to_string(total) + "\n", false)) {
    result = write_body(fn, response, file.get(), progress);
  }
  if (!finally_close(st, file.get(), result) || !body_whole(fn, response, progress, false)) {
    // Without a validator no later attempt may continue these bytes.
    if (!resumable || !broken_link(fn)) forget_partial(state);
    return Ref();
  }
  return complete(state, local_file);
}

// A 206 answer that continues the kept bytes: the rest, appended.
Ref rest_of_body(NativeFunction* fn, PyObject* response, const FetchState& state,
                 PyObject* local_file, const Kept& kept) {
  State& st = state_of(fn);
  Progress progress;
  progress.total = Ref::steal(PyLong_FromLongLong(kept.total));
  progress.downloaded = progress.total ? Ref::steal(PyLong_FromLongLong(kept.offset)) : Ref();
  progress.last_pct = progress.downloaded ? integer(-1) : Ref();
  Ref path = progress.last_pct ? py_path(state.partial) : Ref();
  if (!path || !write_file_body(fn, response, path.get(), st.ab, progress, true)) return Ref();
  return complete(state, local_file);
}

// requests.get(cloud_url, stream=True, timeout=DOWNLOAD_MODEL_TIMEOUT[, headers=headers])
Ref send(NativeFunction* fn, PyObject* cloud_url, PyObject* headers) {
  State& st = state_of(fn);
  Ref requests = lookup(fn, st.requests);
  Ref get = requests ? getattr(requests.get(), st.get) : Ref();
  Ref timeout = get ? lookup(fn, st.DOWNLOAD_MODEL_TIMEOUT) : Ref();
  if (!timeout) return Ref();
  if (!headers) {
    return call_kw(get.get(), {cloud_url, Py_True, timeout.get()}, st.kw.stream_timeout.get());
  }
  return call_kw(get.get(), {cloud_url, Py_True, timeout.get(), headers},
                 st.kw.stream_timeout_headers.get());
}

// The answer to a request for the rest. Sets `again` when the answer cannot
// be used (416, or a 206 that does not continue the kept bytes): the caller
// then fetches the whole archive.
Ref answer_to_rest(NativeFunction* fn, PyObject* response, const FetchState& state,
                   PyObject* local_file, const Kept& kept, bool* again) {
  State& st = state_of(fn);
  Ref status;
  int partial = status_is(st, response, 206, &status);
  if (partial < 0) return Ref();
  if (partial) {
    std::string range, validator;
    int coded = header(st, response, st.content_range, &range) &&
                        validator_of(st, response, &validator)
                    ? encoded(st, response)
                    : -1;
    if (coded < 0) return Ref();
    if (continues(range, kept.offset, kept.total) && validator == kept.validator && !coded) {
      return rest_of_body(fn, response, state, local_file, kept);
    }
    *again = true;
    return none();
  }
  int whole = status_is(st, response, 200, &status);
  if (whole < 0) return Ref();
  if (whole) return whole_body(fn, response, state, local_file);
  int unsatisfiable = status_is(st, response, 416, &status);
  if (unsatisfiable < 0) return Ref();
  if (unsatisfiable) {
    *again = true;
    return none();
  }
  return refused(fn, status.get());
}

Ref resumable_download(NativeFunction* fn, PyObject* cloud_url, PyObject* local_file,
                       const FetchState& state) {
  State& st = state_of(fn);
  Kept kept = read_kept(state);
  if (kept.offset > 0) {
    Ref headers = Ref::steal(PyDict_New());
    Ref range = headers ? Ref::steal(PyUnicode_FromFormat("bytes=%lld-", kept.offset)) : Ref();
    Ref validator = range ? Ref::steal(PyUnicode_DecodeUTF8(
                                kept.validator.data(),
                                static_cast<Py_ssize_t>(kept.validator.size()), "strict"))
                          : Ref();
    if (!validator || PyDict_SetItem(headers.get(), st.range, range.get()) != 0 ||
        PyDict_SetItem(headers.get(), st.if_range, validator.get()) != 0) {
      return Ref();
    }
    Ref response = send(fn, cloud_url, headers.get());
    bool again = false;
    Ref outcome;
    if (response) {
      outcome = finally_close(st, response.get(),
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
  int ok = status_is(st, response.get(), 200, &status);
  Ref outcome = ok < 0   ? Ref()
                : ok == 0 ? refused(fn, status.get())
                          : whole_body(fn, response.get(), state, local_file);
  return finally_close(st, response.get(), outcome);
}

}  // namespace

PyObject* download_file(NativeFunction* fn, PyObject* const* argv) {
  State& st = state_of(fn);
  PyObject *cloud_url = argv[0], *local_file = argv[1];
  if (!log_info(fn, Ref::borrow(st.downloading)) ||
      !log_info(fn, concat({st.cloud_url_line, cloud_url})) ||
      !log_info(fn, concat({st.tar_xz_line, local_file}))) {
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
  return finally_close(st, response.get(), save_body(fn, response.get(), local_file)).release();
}

}  // namespace fetch
