// download_url and download_detection_model: one attempt to bring a model
// archive onto the disk and unpack it, and the retry loop around it.
#include "fetch.hpp"
#include "ombrix/lock.hpp"
#include "support.hpp"

namespace fetch {

using namespace ombrix;

namespace {

Interned s_urlparse("urlparse"), s_BASE_MODEL_DIR("BASE_MODEL_DIR"), s_makedirs("makedirs"),
    s_path("path"), s_basename("basename"), s_join("join"), s_replace("replace"),
    s_tar_xz(".tar.xz"), s_empty(""), s_isdir("isdir"), s_exists("exists"), s_remove("remove"),
    s_fm("fm"), s_from_file("from_file"), s_find("find"), s_empty_word("empty"),
    s_download_file("download_file"), s_tarfile("tarfile"), s_open("open"), s_r_xz("r|xz"),
    s_safe_extract("_safe_extract"), s_MODEL_TYPE("MODEL_TYPE"), s_INTERNAL("INTERNAL"),
    s_os("os"), s_time("time"), s_sleep("sleep"),
    s_DOWNLOAD_MODEL_TIMEOUT("DOWNLOAD_MODEL_TIMEOUT"),
    s_get_model_url("get_model_url"), s_download_url("download_url"),
    s_dir_exists("model dir already exists, skipping download - "),
    s_remove_file("remove model file (not a directory) - "),
    s_archive_exists("tar.xz file already exists - "),
    s_archive_invalid("tar.xz is invalid, re-downloading - "),
    s_extracting("Extracting model file - "), s_to(" to "),
    s_extract_failed("Failed to extracting tarxz "), s_dash(" - "),
    s_finished("Finished the downloading"), s_download_failed("Failed to download from "),
    s_download_model("Download model"), s_model_failed("Failed download ombrix model: ");

// The truth value of a call's result; -1 when the call failed.
int truth_of(const Ref& result) { return result ? truth(result.get()) : -1; }

// download_file(cloud_url=cloud_url, local_file=tar_xz_file), as a truth
// value. A download that breaks off leaves a partial archive behind, which
// the next attempt would take for a whole one (a cut at a member boundary
// even extracts cleanly into an incomplete model): it is removed before the
// error goes on to the caller's handler.
int fetch_archive(NativeFunction* fn, PyObject* cloud_url, PyObject* tar_xz_file) {
  Ref download_file = lookup(fn, s_download_file);
  if (!download_file) return -1;
  int fetched =
      truth_of(call_kw(download_file.get(), {cloud_url, tar_xz_file}, kw.cloud_url_local_file));
  if (fetched >= 0) return fetched;
  Caught e;
  if (!e.take(PyExc_Exception)) return -1;
  if (!os_call(fn, s_remove, {tar_xz_file})) {
    Caught ignored;
    if (!ignored.take(PyExc_OSError)) return -1;
  }
  e.restore();
  return -1;
}

// An archive already on disk is kept when libmagic describes it and the
// description does not say "empty".
int archive_is_valid(NativeFunction* fn, PyObject* tar_xz_file) {
  Ref fm = lookup(fn, s_fm);
  Ref ret = fm ? call_method(fm.get(), s_from_file, {tar_xz_file}) : Ref();
  if (!ret) return -1;
  if (ret.get() == Py_None) return 0;
  Ref found = call_method(ret.get(), s_find, {s_empty_word});
  Ref missing = found ? Ref::steal(PyLong_FromLong(-1)) : Ref();
  Ref equal = missing ? Ref::steal(PyObject_RichCompare(found.get(), missing.get(), Py_EQ)) : Ref();
  return truth_of(equal);
}

// with tarfile.open(tar_xz_file, "r|xz") as tar:
//     _safe_extract(tar, save_dir)
//     os.remove(tar_xz_file)
bool extract_archive(NativeFunction* fn, PyObject* tar_xz_file, PyObject* save_dir) {
  Ref tarfile = lookup(fn, s_tarfile);
  Ref open = tarfile ? getattr(tarfile.get(), s_open) : Ref();
  Ref tar = open ? call(open.get(), {tar_xz_file, s_r_xz}) : Ref();
  if (!tar) return false;
  // The `with` statement (TarFile.__enter__ hands back the archive itself).
  WithLock with(tar.get());
  if (!with) return false;
  Ref safe_extract = lookup(fn, s_safe_extract);
  Ref extracted = safe_extract ? call(safe_extract.get(), {tar.get(), save_dir}) : Ref();
  Ref removed = extracted ? os_call(fn, s_remove, {tar_xz_file}) : Ref();
  return static_cast<bool>(Ref::steal(with.leave(removed.release())));
}

// Step 7: extraction, with its own handler. The model directory on
// success; None after a failure, the archive removed.
Ref unpack(NativeFunction* fn, PyObject* tar_xz_file, PyObject* save_dir, PyObject* model_dir) {
  if (!log_info(fn, concat({s_extracting, tar_xz_file, s_to, save_dir}))) return Ref();
  if (!extract_archive(fn, tar_xz_file, save_dir)) {
    Caught e;
    if (!e.take(PyExc_Exception)) return Ref();
    if (!log_warning(fn, concat({s_extract_failed, tar_xz_file, s_dash, e.text().get()}))) {
      return Ref();
    }
    if (!os_call(fn, s_remove, {tar_xz_file})) {
      Caught ignored;
      if (!ignored.take(PyExc_OSError)) return Ref();
    }
    return none();
  }
  if (!log_info(fn, Ref::borrow(s_finished))) return Ref();
  return Ref::borrow(model_dir);
}

// Steps 5 and 6: the archive on disk, reused or downloaded. 1 when it is
// there, 0 when the download was refused, -1 on error.
int obtain_archive(NativeFunction* fn, PyObject* cloud_url, PyObject* tar_xz_file) {
  int present = truth_of(os_path(fn, s_exists, {tar_xz_file}));
  if (present <= 0) return present < 0 ? -1 : fetch_archive(fn, cloud_url, tar_xz_file);
  if (!log_info(fn, concat({s_archive_exists, tar_xz_file}))) return -1;
  int valid = archive_is_valid(fn, tar_xz_file);
  if (valid != 0) return valid;
  if (!log_info(fn, concat({s_archive_invalid, tar_xz_file})) ||
      !os_call(fn, s_remove, {tar_xz_file})) {
    return -1;
  }
  return fetch_archive(fn, cloud_url, tar_xz_file);
}

// Steps 1 to 8 of download_url; NULL with the exception step 9 handles.
Ref place_model(NativeFunction* fn, PyObject* cloud_url) {
  Ref urlparse = lookup(fn, s_urlparse);
  Ref a = urlparse ? call(urlparse.get(), {cloud_url}) : Ref();
  Ref save_dir = a ? lookup(fn, s_BASE_MODEL_DIR) : Ref();
  Ref os = save_dir ? lookup(fn, s_os) : Ref();
  Ref makedirs = os ? getattr(os.get(), s_makedirs) : Ref();
  if (!makedirs || !call_kw(makedirs.get(), {save_dir.get(), Py_True}, kw.exist_ok)) return Ref();

  Ref url_path = getattr(a.get(), s_path);
  Ref file_name = url_path ? os_path(fn, s_basename, {url_path.get()}) : Ref();
  Ref model_name = file_name ? call_method(file_name.get(), s_replace, {s_tar_xz, s_empty}) : Ref();
  Ref tar_xz_file = model_name ? os_path(fn, s_join, {save_dir.get(), file_name.get()}) : Ref();
  Ref model_dir = tar_xz_file ? os_path(fn, s_join, {save_dir.get(), model_name.get()}) : Ref();
  if (!model_dir) return Ref();

  int is_dir = truth_of(os_path(fn, s_isdir, {model_dir.get()}));
  if (is_dir < 0) return Ref();
  if (is_dir) {
    if (!log_info(fn, concat({s_dir_exists, model_dir.get()}))) return Ref();
    return model_dir;
  }
  int other = truth_of(os_path(fn, s_exists, {model_dir.get()}));
  if (other < 0) return Ref();
  if (other && (!log_info(fn, concat({s_remove_file, model_dir.get()})) ||
                !os_call(fn, s_remove, {model_dir.get()}))) {
    return Ref();
  }

  int archive = obtain_archive(fn, cloud_url, tar_xz_file.get());
  if (archive <= 0) return archive < 0 ? Ref() : none();
  return unpack(fn, tar_xz_file.get(), save_dir.get(), model_dir.get());
}

// time.time() - s_time < DOWNLOAD_MODEL_TIMEOUT, the budget read afresh.
int within_budget(NativeFunction* fn, PyObject* start) {
  Ref time = lookup(fn, s_time);
  Ref now = time ? call_method(time.get(), s_time, {}) : Ref();
  Ref elapsed = now ? Ref::steal(PyNumber_Subtract(now.get(), start)) : Ref();
  Ref budget = elapsed ? lookup(fn, s_DOWNLOAD_MODEL_TIMEOUT) : Ref();
  return truth_of(budget ? Ref::steal(PyObject_RichCompare(elapsed.get(), budget.get(), Py_LT))
                         : Ref());
}

// time.sleep(1)
bool pause(NativeFunction* fn) {
  Ref time = lookup(fn, s_time);
  Ref one = time ? Ref::steal(PyLong_FromLong(1)) : Ref();
  return one && call_method(time.get(), s_sleep, {one.get()});
}

enum class Attempt { Raised, Found, NotFound, Slept };

// The body of the retry loop's handler: download_url when there is a link,
// else a pause and straight on to the next attempt.
Attempt attempt(NativeFunction* fn, PyObject* model_url, Ref* model_dir) {
  int usable = truth(model_url);
  if (usable < 0) return Attempt::Raised;
  if (!usable) return pause(fn) ? Attempt::Slept : Attempt::Raised;
  Ref download_url = lookup(fn, s_download_url);
  Ref result = download_url ? call_kw(download_url.get(), {model_url}, kw.cloud_url) : Ref();
  if (!result) return Attempt::Raised;
  *model_dir = result;
  return result.get() != Py_None ? Attempt::Found : Attempt::NotFound;
}

}  // namespace

PyObject* download_url(NativeFunction* fn, PyObject* const* argv) {
  PyObject* cloud_url = argv[0];
  Ref model_dir = place_model(fn, cloud_url);
  if (model_dir) return model_dir.release();
  Caught e;
  if (!e.take(PyExc_Exception)) return nullptr;
  if (!log_warning(fn, concat({s_download_failed, cloud_url, s_dash, e.text().get()}))) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* download_detection_model(NativeFunction* fn, PyObject* const* argv) {
  PyObject* model_id = argv[0];
  Ref model_type = lookup(fn, s_MODEL_TYPE);
  Ref internal = model_type ? getattr(model_type.get(), s_INTERNAL) : Ref();
  Ref same = internal ? Ref::steal(PyObject_RichCompare(model_id, internal.get(), Py_EQ)) : Ref();
  int is_internal = truth_of(same);
  if (is_internal < 0) return nullptr;
  if (is_internal) return Ref::borrow(model_id).release();

  Ref time = lookup(fn, s_time);
  Ref start = time ? call_method(time.get(), s_time, {}) : Ref();
  if (!start) return nullptr;
  Ref model_dir = none();
  if (!log_info(fn, Ref::borrow(s_download_model))) return nullptr;

  for (;;) {
    int go_on = within_budget(fn, start.get());
    if (go_on < 0) return nullptr;
    if (!go_on) break;
    Ref get_model_url = lookup(fn, s_get_model_url);
    Ref model_url = get_model_url ? call(get_model_url.get(), {model_id}) : Ref();
    if (!model_url) return nullptr;
    Attempt outcome = attempt(fn, model_url.get(), &model_dir);
    if (outcome == Attempt::Found) return model_dir.release();
    if (outcome == Attempt::Slept) continue;
    if (outcome == Attempt::Raised) {
      Caught e;
      if (!e.take(PyExc_Exception)) return nullptr;
      if (!log_warning(fn, concat({s_model_failed, e.text().get()}))) return nullptr;
    }
    if (!pause(fn)) return nullptr;
  }
  return model_dir.release();
}

}  // namespace fetch
