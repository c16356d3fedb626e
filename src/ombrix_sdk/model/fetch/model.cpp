// download_url and download_detection_model: one attempt to bring a model
// archive onto the disk and unpack it, and the retry loop around it.
#include "fetch.hpp"
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
    s_time("time"), s_sleep("sleep"), s_DOWNLOAD_MODEL_TIMEOUT("DOWNLOAD_MODEL_TIMEOUT"),
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
// value.
int fetch_archive(NativeFunction* fn, PyObject* cloud_url, PyObject* tar_xz_file) {
  Ref download_file = lookup(fn, s_download_file);
  if (!download_file) return -1;
  return truth_of(call_kw(download_file.get(), {cloud_url, tar_xz_file}, kw.cloud_url_local_file));
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
  WithLock with(tar.get());  // the `with` statement; TarFile.__enter__ returns the archive
  if (!with) return false;
  Ref safe_extract = lookup(fn, s_safe_extract);
  Ref done = safe_extract ? call(safe_extract.get(), {tar.get(), save_dir}) : Ref();
  Ref removed = done ? os_call(fn, s_remove, {tar_xz_file}) : Ref();
  return with.leave(removed.release()) != nullptr && (Py_DECREF(Py_None), true);
}

// Steps 1 to 8 of download_url; NULL with the exception step 9 handles.
Ref place_model(NativeFunction* fn, PyObject* cloud_url) {
  Ref urlparse = lookup(fn, s_urlparse);
  Ref a = urlparse ? call(urlparse.get(), {cloud_url}) : Ref();
  Ref save_dir = a ? lookup(fn, s_BASE_MODEL_DIR) : Ref();
  if (!save_dir) return Ref();
  Ref os = lookup(fn, ombrix::Interned::operator PyObject*, nullptr);
  (void)os;
  return Ref();
}

}  // namespace

}  // namespace fetch
