// download_url and download_detection_model: one attempt to bring a model
// archive onto the disk and unpack it, and the retry loop around it.
//
// A model directory is only ever seen complete. A fetch that has to
// download or extract holds the lock beside the archive (place.hpp), so
// that threads and processes sharing the base directory fetch one model
// once; the others wait and then find the finished directory. While an
// extraction into the base directory runs, the journal beside the archive
// says that the model directory is not to be trusted; it goes only once
// the model is complete and flushed to stable storage. A fetch that finds
// a journal removes the model directory it stands for and starts over.
// Where the file system does not lock, each process downloads and extracts
// into names of its own and moves the finished model directory into place
// with one rename.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fetch.hpp"
#include "ombrix/lock.hpp"
#include "place.hpp"
#include "support.hpp"

namespace fetch {

using namespace ombrix;

namespace {

// The longest suffix a file beside the archive takes: ".<id>.staging",
// the id as own_name makes it at its longest.
constexpr size_t kLongestSuffix = 66;

// 64-bit FNV-1a of `text`, as 16 hex digits.
std::string name_hash(const std::string& text) {
  unsigned long long hash = 14695981039346656037ULL;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  char hex[17];
  ::snprintf(hex, sizeof hex, "%016llx", hash);
  return hex;
}

// The files that one fetch keeps beside its archive (see place.hpp).
//
// Their names are the archive's file name with a suffix, as long as that
// fits in a file name of the base directory. Where it does not (an archive
// name of up to the limit itself), the name is derived: the archive's name
// cut short at a character boundary, "~" and a hash of the whole name, then
// the suffix; so a long name gets its side files as a short one does, and
// two long names that begin alike get different ones.
struct Beside {
  std::string base, archive, model_dir, name, lock, journal, partial, validator;
  std::string folder;        // the archive's directory, with its "/"
  std::string archive_name;  // the archive's file name
  std::string stem;          // what side files too long to append to begin with
  size_t name_max = 255;     // the longest file name the base directory takes
  // The model directory is an entry of its own in the base directory (not
  // the base directory itself or its parent, as with a URL path that ends
  // in "/" or ".."), so that it may be removed.
  bool own_dir = false;

  bool init(PyObject* save_dir, PyObject* tar_xz_file, PyObject* model_dir_path,
            PyObject* model_name) {
    if (!fs_path(save_dir, &base) || !fs_path(tar_xz_file, &archive) ||
        !fs_path(model_dir_path, &model_dir) || !fs_path(model_name, &name)) {
      return false;
    }
    own_dir = !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
    size_t slash = archive.rfind('/');
    folder = slash == std::string::npos ? std::string() : archive.substr(0, slash + 1);
    archive_name = archive.substr(folder.size());
    long limit = ::pathconf(base.c_str(), _PC_NAME_MAX);
    if (limit > 0) name_max = static_cast<size_t>(limit);
    size_t keep = name_max > kLongestSuffix + 17 ? name_max - kLongestSuffix - 17 : 0;
    keep = std::min(keep, archive_name.size());
    // not in the middle of a UTF-8 sequence
    while (keep > 0 && keep < archive_name.size() &&
           (static_cast<unsigned char>(archive_name[keep]) & 0xC0) == 0x80) {
      --keep;
    }
    stem = archive_name.substr(0, keep) + "~" + name_hash(archive_name);
    lock = side(".lock");
    journal = side(".journal");
    partial = side(".partial");
    validator = side(".validator");
    return true;
  }

  // The path of the side file with `suffix`.
  std::string side(const std::string& suffix) const {
    return folder + (archive_name.size() + suffix.size() <= name_max ? archive_name : stem) +
           suffix;
  }
};

// unlink(path) and flush the directory; a missing file is fine.
bool drop(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return errno == ENOENT || os_error(path);
  return sync_parent(path);
}

// The truth value of a call's result; -1 when the call failed.
int truth_of(const Ref& result) { return result ? truth(result.get()) : -1; }

// download_file(cloud_url=cloud_url, local_file=tar_xz_file), as a truth
// value. A download that breaks off leaves a partial archive behind, which
// the next attempt would take for a whole one (a cut at a member boundary
// even extracts cleanly into an incomplete model): it is removed before the
// error goes on to the caller's handler.
//
// The real download_file is told where to keep a partial transfer, so that
// a transfer that breaks off is continued by the next attempt.
int fetch_archive(NativeFunction* fn, PyObject* cloud_url, PyObject* tar_xz_file,
                  const Beside* beside) {
  State& st = state_of(fn);
  Ref download_file = lookup(fn, st.download_file);
  if (!download_file) return -1;
  FetchState state;
  if (beside) {
    state.archive = tar_xz_file;
    state.partial = beside->partial;
    state.validator = beside->validator;
  }
  FetchScope scope(&state);
  int fetched =
      truth_of(call_kw(download_file.get(), {cloud_url, tar_xz_file},
                       st.kw.cloud_url_local_file.get()));
  if (fetched >= 0) return fetched;
  Caught e;
  if (!e.take(PyExc_Exception)) return -1;
  if (!os_call(fn, st.remove, {tar_xz_file})) {
    Caught ignored;
    if (!ignored.take(PyExc_OSError)) return -1;
  }
  e.restore();
  return -1;
}

// An archive already on disk is kept when libmagic describes it and the
// description does not say "empty".
int archive_is_valid(NativeFunction* fn, PyObject* tar_xz_file) {
  State& st = state_of(fn);
  Ref fm = lookup(fn, st.fm);
  Ref ret = fm ? call_method(fm.get(), st.from_file, {tar_xz_file}) : Ref();
  if (!ret) return -1;
  if (ret.get() == Py_None) return 0;
  Ref found = call_method(ret.get(), st.find, {st.empty_word});
  Ref missing = found ? Ref::steal(PyLong_FromLong(-1)) : Ref();
  Ref equal = missing ? Ref::steal(PyObject_RichCompare(found.get(), missing.get(), Py_EQ)) : Ref();
  return truth_of(equal);
}

// The truth value of obj.<name>; -1 with an exception set on error.
int flag(PyObject* obj, PyObject* name) {
  Ref value = getattr(obj, name);
  return value ? truth(value.get()) : -1;
}

constexpr long kReadSize = 1 << 20;

// The xz stream of the archive file, decoded apart from the extraction up
// to its end: 1 when it reached its end (the end marker, the index and the
// check verified), 0 when the file ends first, -1 with an exception set on
// error (the decoder's, for data that is not a whole xz stream).
int file_reaches_stream_end(const State& st, const std::string& path, PyObject* lzma) {
  Ref decoder = call_method(lzma, st.LZMADecompressor, {});
  Ref limit = decoder ? Ref::steal(PyLong_FromLong(kReadSize)) : Ref();
  Ref nothing = limit ? Ref::steal(PyBytes_FromStringAndSize(nullptr, 0)) : Ref();
  if (!nothing) return -1;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    os_error(path);
    return -1;
  }
  std::vector<char> buffer(static_cast<size_t>(kReadSize));
  int whole = -1;
  for (;;) {
    int end = flag(decoder.get(), st.eof);
    int needs = end == 0 ? flag(decoder.get(), st.needs_input) : -1;
    if (end != 0 || needs < 0) {
      whole = end;
      break;
    }
    Ref data = nothing;
    if (needs) {
      ssize_t n;
      Py_BEGIN_ALLOW_THREADS
      do {
        n = ::read(fd, buffer.data(), buffer.size());
      } while (n < 0 && errno == EINTR);
      Py_END_ALLOW_THREADS
      if (n < 0) {
        os_error(path);
        break;
      }
      if (n == 0) {
        whole = 0;
        break;
      }
      data = Ref::steal(PyBytes_FromStringAndSize(buffer.data(), n));
      if (!data) break;
    }
    if (!call_method(decoder.get(), st.decompress, {data.get(), limit.get()})) break;
  }
  ::close(fd);
  return whole;
}

// After the extraction: the archive was read to the end of its xz stream,
// its end marker, index and check verified. tarfile in stream mode takes a
// read that ends at a member boundary for the end of the archive, and
// never asks whether the compressed stream ended there too: a transfer
// that broke off there (one that no length announced) would extract as a
// complete model. What is left of the stream (the archive's closing blocks,
// the stream's index) is read here through tarfile's own decoder; where
// the archive object has none to show, the file is decoded once more on
// its own. 1 whole, 0 cut short, -1 with an exception set.
int read_to_stream_end(NativeFunction* fn, PyObject* tar, PyObject* tar_xz_file) {
  State& st = state_of(fn);
  Ref lzma = Ref::steal(PyImport_Import(st.lzma));
  Ref decoder_type = lzma ? getattr(lzma.get(), st.LZMADecompressor) : Ref();
  if (!decoder_type) return -1;
  // tarfile's stream and its decoder; an archive object without them
  // (a stand-in) has none to show.
  Ref stream = getattr(tar, st.fileobj);
  if (!stream && !clear_expected(PyExc_AttributeError)) return -1;
  Ref decoder = stream ? getattr(stream.get(), st.cmp) : Ref();
  if (stream && !decoder && !clear_expected(PyExc_AttributeError)) return -1;
  int own = decoder ? PyObject_IsInstance(decoder.get(), decoder_type.get()) : 0;
  if (own < 0) return -1;
  if (!own) {
    std::string path;
    return fs_path(tar_xz_file, &path) ? file_reaches_stream_end(st, path, lzma.get()) : -1;
  }
  Ref size = Ref::steal(PyLong_FromLong(kReadSize));
  if (!size) return -1;
  for (;;) {
    int end = flag(decoder.get(), st.eof);
    if (end != 0) return end;
    Ref rest = call_method(stream.get(), st.read, {size.get()});
    if (!rest) {
      // Bytes after the end of the stream: the decoder had reached it.
      if (!PyErr_ExceptionMatches(PyExc_EOFError)) return -1;
      end = flag(decoder.get(), st.eof);
      return end == 1 && clear_expected(PyExc_EOFError) ? 1 : -1;
    }
    Py_ssize_t length = PyObject_Size(rest.get());
    if (length < 0) return -1;
    if (length == 0) return flag(decoder.get(), st.eof);
  }
}

// The error of an archive cut short: tarfile's own for a stream that ends
// inside a member.
void archive_cut_short(NativeFunction* fn) {
  State& st = state_of(fn);
  Ref tarfile = lookup(fn, st.tarfile);
  Ref error = tarfile ? getattr(tarfile.get(), st.ReadError) : Ref();
  if (!error) {
    if (!clear_expected()) return;
    error = Ref::borrow(PyExc_Exception);
  }
  PyErr_SetString(error.get(), "unexpected end of data");
}

// Removes what the extraction reported it created, newest first, keeping
// the pending exception. False when something other than an Exception
// came up while removing (it is then the pending one).
bool remove_created(FetchState* state) {
  Caught pending;
  pending.take(PyExc_BaseException);
  for (auto path = state->created.rbegin(); path != state->created.rend(); ++path) {
    if (!remove_tree(*path) && !clear_expected()) return false;
  }
  state->created.clear();
  pending.restore();
  return true;
}

// with tarfile.open(tar_xz_file, "r|xz") as tar:
//     _safe_extract(tar, save_dir)
//     os.remove(tar_xz_file)
// and the archive read to the end of its xz stream before it is removed: a
// cut archive fails as a broken one does, and what it extracted goes again.
bool extract_archive(NativeFunction* fn, PyObject* tar_xz_file, PyObject* save_dir,
                     FetchState* state) {
  State& st = state_of(fn);
  FetchScope scope(state);
  Ref tarfile = lookup(fn, st.tarfile);
  Ref open = tarfile ? getattr(tarfile.get(), st.open) : Ref();
  Ref tar = open ? call(open.get(), {tar_xz_file, st.r_xz}) : Ref();
  if (!tar) return false;
  // The `with` statement (TarFile.__enter__ hands back the archive itself).
  WithLock with(st, tar.get());
  if (!with) return false;
  Ref safe_extract = lookup(fn, st.safe_extract);
  Ref extracted = safe_extract ? call(safe_extract.get(), {tar.get(), save_dir}) : Ref();
  int whole = extracted ? read_to_stream_end(fn, tar.get(), tar_xz_file) : -1;
  if (whole == 0) {
    archive_cut_short(fn);
    remove_created(state);
  }
  Ref removed = whole > 0 ? os_call(fn, st.remove, {tar_xz_file}) : Ref();
  return static_cast<bool>(Ref::steal(with.leave(removed.release())));
}

// The extracted model and everything else the extraction created, flushed
// to stable storage; then the journal goes, and with it the last trace of
// the fetch but the lock.
bool make_durable(const Beside& beside, const FetchState& state) {
  if (!sync_tree(beside.model_dir)) return false;  // and the base directory
  // The extraction names what it created by real path (the base directory
  // may be reached through a link).
  char* real = ::realpath(beside.model_dir.c_str(), nullptr);
  const std::string model = real ? real : beside.model_dir, below = model + "/";
  ::free(real);
  for (const std::string& path : state.created) {
    if (path == model || path.compare(0, below.size(), below) == 0) continue;
    if (!sync_tree(path)) return false;
  }
  ::unlink(beside.partial.c_str());
  ::unlink(beside.validator.c_str());
  return drop(beside.journal);
}

// After a failed extraction: the warning with the exception's text, and the
// archive removed (a failure to remove it is ignored). False with an
// exception set when the failure was not an Exception or reporting failed.
bool report_failed_extraction(NativeFunction* fn, PyObject* tar_xz_file) {
  State& st = state_of(fn);
  Caught e;
  if (!e.take(PyExc_Exception)) return false;
  if (!log_warning(fn, concat({st.extract_failed, tar_xz_file, st.dash, e.text().get()}))) {
    return false;
  }
  if (!os_call(fn, st.remove, {tar_xz_file})) {
    Caught ignored;
    if (!ignored.take(PyExc_OSError)) return false;
  }
  return true;
}

// The extraction made the model directory `dir`. An archive without it (one
// with another top-level directory, say) fails as a broken one does, and
// what it extracted goes again: nothing reports a model that is not there.
bool made_model_dir(const State& st, const std::string& dir, PyObject* model_dir,
                    FetchState* state) {
  if (is_dir(dir)) return true;
  if (!remove_created(state)) return false;
  Ref message = concat({st.no_model_dir, model_dir});
  if (message) PyErr_SetObject(PyExc_Exception, message.get());
  return false;
}

// Step 7: extraction, with its own handler. The model directory on
// success; None after a failure, the archive removed.
//
// `beside` is null where nothing is kept beside the archive (a fetch in
// names of its own). `journal_kept`: the journal stays after a failure
// (an earlier extraction left it, or this one wrote some member): the model
// directory may have been seen partly extracted.
Ref unpack(NativeFunction* fn, PyObject* tar_xz_file, PyObject* save_dir, PyObject* model_dir,
           const Beside* beside, bool journal_kept, FetchState* state) {
  State& st = state_of(fn);
  if (!log_info(fn, concat({st.extracting, tar_xz_file, st.to, save_dir}))) return Ref();
  // Only the journal's name matters: its directory is flushed, not its data.
  if (beside && !journal_kept &&
      (!write_file(beside->journal, beside->model_dir + "\n", false) ||
       !sync_path(beside->base))) {
    return Ref();
  }
  state->base = save_dir;
  if (beside && beside->own_dir) state->name = beside->name;
  if (!extract_archive(fn, tar_xz_file, save_dir, state) ||
      (beside && !made_model_dir(st, beside->model_dir, model_dir, state))) {
    if (!report_failed_extraction(fn, tar_xz_file)) return Ref();
    if (beside && !journal_kept && !state->extracted && !lexists(beside->model_dir) &&
        !drop(beside->journal)) {
      return Ref();
    }
    return none();
  }
  if (beside && !make_durable(*beside, *state)) return Ref();
  if (!log_info(fn, Ref::borrow(st.finished))) return Ref();
  return Ref::borrow(model_dir);
}

// Step 7 for a fetch in names of its own: the archive extracted into
// `into`, then removed; the model directory, or None after a failure.
Ref unpack_into(NativeFunction* fn, PyObject* tar_xz_file, PyObject* save_dir, PyObject* into,
                PyObject* model_dir, const Beside& beside, FetchState* state) {
  State& st = state_of(fn);
  if (!log_info(fn, concat({st.extracting, tar_xz_file, st.to, save_dir}))) return Ref();
  state->base = into;
  if (beside.own_dir) state->name = beside.name;
  std::string extracted_dir;
  if (!fs_path(into, &extracted_dir)) return Ref();
  extracted_dir += "/" + beside.name;
  if (!extract_archive(fn, tar_xz_file, into, state) ||
      !made_model_dir(st, extracted_dir, model_dir, state)) {
    if (!report_failed_extraction(fn, tar_xz_file)) return Ref();
    return none();
  }
  return Ref::borrow(model_dir);
}

// Steps 5 and 6: the archive on disk, reused or downloaded. 1 when it is
// there, 0 when the download was refused, -1 on error.
int obtain_archive(NativeFunction* fn, PyObject* cloud_url, PyObject* tar_xz_file,
                   const Beside* beside) {
  State& st = state_of(fn);
  int present = truth_of(os_path(fn, st.exists, {tar_xz_file}));
  if (present <= 0) return present < 0 ? -1 : fetch_archive(fn, cloud_url, tar_xz_file, beside);
  if (!log_info(fn, concat({st.archive_exists, tar_xz_file}))) return -1;
  int valid = archive_is_valid(fn, tar_xz_file);
  if (valid != 0) return valid;
  if (!log_info(fn, concat({st.archive_invalid, tar_xz_file})) ||
      !os_call(fn, st.remove, {tar_xz_file})) {
    return -1;
  }
  return fetch_archive(fn, cloud_url, tar_xz_file, beside);
}

// A name no other fetch uses: the process id and a per-process counter,
// with the clock against a reused process id. The counter is the process's,
// not an interpreter's (their fetches share the process id), and atomic:
// interpreters with a lock of their own fetch at the same time.
std::string own_name() {
  static std::atomic<unsigned long> counter{0};
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  char text[64];
  ::snprintf(text, sizeof text, "%ld-%lu-%lx", static_cast<long>(::getpid()), ++counter,
             static_cast<unsigned long>(ts.tv_nsec) ^ static_cast<unsigned long>(ts.tv_sec));
  return text;
}

// An entry of the base directory that a fetch in names of its own left:
// "<archive>.<pid>-<counter>-<hex>.part" or ".staging" (<archive> the
// archive's name or, for a name too long, the stem of its side files).
bool own_leftover(const std::string& name, const std::string& archive_name) {
  if (archive_name.empty()) return false;
  if (name.compare(0, archive_name.size() + 1, archive_name + ".") != 0) return false;
  std::string rest = name.substr(archive_name.size() + 1);
  for (const char* suffix : {".part", ".staging"}) {
    size_t length = std::strlen(suffix);
    if (rest.size() <= length || rest.compare(rest.size() - length, length, suffix) != 0) continue;
    std::string id = rest.substr(0, rest.size() - length);
    int dashes = 0;
    for (char c : id) {
      if (c == '-') {
        ++dashes;
      } else if (!std::isxdigit(static_cast<unsigned char>(c))) {
        return false;
      }
    }
    return dashes == 2;
  }
  return false;
}

// Where the lock works, no fetch in names of its own runs beside this one:
// what such fetches left after a crash goes.
bool remove_own_leftovers(const Beside& beside) {
  if (beside.archive_name.empty()) return true;
  DIR* dir = ::opendir(beside.base.c_str());
  if (!dir) return true;
  std::vector<std::string> found;
  while (struct dirent* entry = ::readdir(dir)) {
    if (own_leftover(entry->d_name, beside.archive_name) ||
        own_leftover(entry->d_name, beside.stem)) {
      found.push_back(entry->d_name);
    }
  }
  ::closedir(dir);
  for (const std::string& name : found) {
    if (!remove_tree(beside.base + "/" + name)) return false;
  }
  return true;
}

// Moves every entry of `staging` into `base`, each with one rename that
// never replaces what is there: an entry that another fetch placed first
// stays (it is complete too) and ours goes with the staging directory.
bool publish(const std::string& staging, const std::string& base) {
  DIR* dir = ::opendir(staging.c_str());
  if (!dir) return os_error(staging);
  bool ok = true;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string from = staging + "/" + name, to = base + "/" + name;
#ifdef SYS_renameat2
    long rc = ::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(),
                        1 /* RENAME_NOREPLACE */);
    if (rc != 0 && errno == EEXIST) continue;
    if (rc != 0 && errno != EINVAL && errno != ENOSYS) {
      ok = os_error(from);
      break;
    }
    if (rc == 0) continue;
#endif
    // No renameat2 here: the check and the rename are two steps.
    if (lexists(to)) continue;
    if (::rename(from.c_str(), to.c_str()) != 0 && errno != EEXIST && errno != ENOTEMPTY) {
      ok = os_error(from);
      break;
    }
  }
  ::closedir(dir);
  return ok && sync_path(base);
}

// Step 3 alone: a model directory in place is the result (set in *found).
// 1 found, 0 not, -1 on error.
int model_in_place(NativeFunction* fn, PyObject* model_dir, Ref* found) {
  State& st = state_of(fn);
  int is_dir = truth_of(os_path(fn, st.isdir, {model_dir}));
  if (is_dir <= 0) return is_dir;
  if (!log_info(fn, concat({st.dir_exists, model_dir}))) return -1;
  *found = Ref::borrow(model_dir);
  return 1;
}

// Steps 3 and 4: a model directory already in place is the result (set in
// *found); a file in its place is removed. Another fetch may place the model,
// or remove the file, between the checks and the removal: a removal that
// fails then finds the other's model (the result) or nothing left to remove.
// False with an exception set on failure.
bool existing_model(NativeFunction* fn, PyObject* model_dir, Ref* found) {
  State& st = state_of(fn);
  int in_place = model_in_place(fn, model_dir, found);
  if (in_place != 0) return in_place > 0;
  int other = truth_of(os_path(fn, st.exists, {model_dir}));
  if (other <= 0) return other == 0;
  if (!log_info(fn, concat({st.remove_file, model_dir}))) return false;
  if (os_call(fn, st.remove, {model_dir})) return true;
  Caught failed;
  if (!failed.take(PyExc_OSError)) return false;
  in_place = model_in_place(fn, model_dir, found);
  if (in_place != 0) return in_place > 0;
  if (PyErr_GivenExceptionMatches(failed.value(), PyExc_FileNotFoundError)) return true;
  failed.restore();
  return false;
}

// The identity of a file on disk.
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool known = false;

  bool read(const std::string& path) {
    struct stat st = {};
    known = ::lstat(path.c_str(), &st) == 0;
    dev = st.st_dev;
    ino = st.st_ino;
    return known;
  }
};

// Where nothing locks, an archive on disk may be in use by another fetch at
// any moment: this fetch takes it under its own name, as a hard link (a copy
// where the file system has none), and extracts and removes only that. 1
// taken, with the identity of the archive taken in `id`; 0 when it went
// meanwhile; -1 on error.
int take_archive(NativeFunction* fn, PyObject* tar_xz_file, const std::string& archive,
                 PyObject* own_archive, const std::string& own, FileId* id) {
  State& st = state_of(fn);
  if (::link(archive.c_str(), own.c_str()) == 0) {
    id->read(own);
    return 1;
  }
  if (errno == ENOENT) return 0;
  id->read(archive);
  Ref shutil = lookup(fn, st.shutil);
  Ref copyfile = shutil ? getattr(shutil.get(), st.copyfile) : Ref();
  if (copyfile && call(copyfile.get(), {tar_xz_file, own_archive})) return 1;
  ::unlink(own.c_str());
  Caught gone;
  return gone.take(PyExc_FileNotFoundError) ? 0 : -1;
}

// The error of a lock file that cannot be opened, for an attempt that
// cannot go on without it; always null.
Ref locked_out(const Beside& beside) {
  errno = EACCES;
  os_error(beside.lock);
  return Ref();
}

// Steps 3 to 8 where the file system does not lock: the archive goes to a
// name of this process's own (or a usable one on disk is taken under such a
// name), is extracted into a staging directory of its own beside it, and the
// finished model directory is moved into place with one rename. Nothing
// another process may be using is touched; at worst each downloads. The
// archive that was on disk goes after the extraction, if it is still the
// one taken.
//
// `beside_locked`: other fetches may hold the lock (its file could not be
// opened here) and extract in place; a model directory with their journal
// beside it is then not complete, and the attempt fails as the lock file
// itself did (see locked_out).
Ref place_unlocked(NativeFunction* fn, PyObject* cloud_url, PyObject* save_dir,
                   PyObject* tar_xz_file, PyObject* model_dir, const Beside& beside,
                   bool beside_locked) {
  State& st = state_of(fn);
  if (beside_locked && lexists(beside.journal)) return locked_out(beside);
  Ref found;
  if (!existing_model(fn, model_dir, &found)) return Ref();
  if (found) return found;

  std::string id = "." + own_name();
  std::string own = beside.side(id + ".staging");
  own.resize(own.size() - std::strlen(".staging"));
  Ref own_archive = py_path(own + ".part");
  Ref staging = own_archive ? py_path(own + ".staging") : Ref();
  if (!staging) return Ref();
  FileId taken;
  int took = 0;
  int present = truth_of(os_path(fn, st.exists, {tar_xz_file}));
  if (present < 0) return Ref();
  if (present) {
    if (!log_info(fn, concat({st.archive_exists, tar_xz_file}))) return Ref();
    int valid = archive_is_valid(fn, tar_xz_file);
    if (valid < 0) return Ref();
    if (valid) {
      took = take_archive(fn, tar_xz_file, beside.archive, own_archive.get(), own + ".part",
                          &taken);
      if (took < 0) return Ref();
    } else if (!log_info(fn, concat({st.archive_invalid, tar_xz_file})) ||
               !os_call(fn, st.remove, {tar_xz_file})) {
      return Ref();
    }
  }
  if (!took) {
    int fetched = fetch_archive(fn, cloud_url, own_archive.get(), nullptr);
    if (fetched <= 0) return fetched < 0 ? Ref() : none();
  }
  Ref source = own_archive;

  if (::mkdir((own + ".staging").c_str(), 0755) != 0) {
    os_error(own + ".staging");
    return Ref();
  }
  FetchState state;
  Ref placed = unpack_into(fn, source.get(), save_dir, staging.get(), model_dir, beside, &state);
  if (placed && placed.get() != Py_None &&
      (!sync_tree(own + ".staging") || !publish(own + ".staging", beside.base) ||
       (beside_locked && lexists(beside.journal) && !locked_out(beside)))) {
    placed = Ref();
  }
  Caught pending;
  if (!placed) pending.take(PyExc_BaseException);
  // A staging directory that cannot be removed is left for the next fetch
  // that holds the lock.
  if (!remove_tree(own + ".staging") && !clear_expected()) return Ref();
  if (!placed) {
    pending.restore();
    return Ref();
  }
  // The archive taken goes as an archive extracted under the lock goes:
  // after the extraction, whether it succeeded or failed.
  FileId still;
  if (taken.known && still.read(beside.archive) && still.dev == taken.dev &&
      still.ino == taken.ino) {
    ::unlink(beside.archive.c_str());
  }
  if (placed.get() == Py_None) return placed;
  if (!log_info(fn, Ref::borrow(st.finished))) return Ref();
  return placed;
}

// How long a fetch may wait for another one: what is left of
// download_detection_model's budget, else DOWNLOAD_MODEL_TIMEOUT.
bool wait_limit(NativeFunction* fn, double* seconds) {
  State& st = state_of(fn);
  if (retry_budget() >= 0) {
    *seconds = retry_budget();
    return true;
  }
  Ref timeout = lookup(fn, st.DOWNLOAD_MODEL_TIMEOUT);
  *seconds = timeout ? PyFloat_AsDouble(timeout.get()) : -1;
  return !(*seconds == -1 && PyErr_Occurred());
}

// Steps 3 to 8 under the lock: a journal left by an unfinished extraction
// is acted on first (its model directory removed), then the steps as they
// stand.
Ref place_locked(NativeFunction* fn, PyObject* cloud_url, PyObject* save_dir,
                 PyObject* tar_xz_file, PyObject* model_dir, const Beside& beside) {
  State& st = state_of(fn);
  if (!remove_own_leftovers(beside)) return Ref();
  bool journal_kept = lexists(beside.journal);
  if (journal_kept && beside.own_dir && lexists(beside.model_dir)) {
    if (!log_info(fn, concat({st.unfinished, model_dir})) || !remove_tree(beside.model_dir)) {
      return Ref();
    }
  }

  Ref found;
  if (!existing_model(fn, model_dir, &found)) return Ref();
  if (found) return found;

  int archive = obtain_archive(fn, cloud_url, tar_xz_file, &beside);
  if (archive <= 0) return archive < 0 ? Ref() : none();
  FetchState state;
  return unpack(fn, tar_xz_file, save_dir, model_dir, &beside, journal_kept, &state);
}

// Steps 1 to 8 of download_url; NULL with the exception step 9 handles.
Ref place_model(NativeFunction* fn, PyObject* cloud_url) {
  State& st = state_of(fn);
  Ref urlparse = lookup(fn, st.urlparse);
  Ref a = urlparse ? call(urlparse.get(), {cloud_url}) : Ref();
  Ref save_dir = a ? lookup(fn, st.BASE_MODEL_DIR) : Ref();
  Ref os = save_dir ? lookup(fn, st.os) : Ref();
  Ref makedirs = os ? getattr(os.get(), st.makedirs) : Ref();
  if (!makedirs || !call_kw(makedirs.get(), {save_dir.get(), Py_True}, st.kw.exist_ok.get())) {
    return Ref();
  }

  Ref url_path = getattr(a.get(), st.path);
  Ref file_name = url_path ? os_path(fn, st.basename, {url_path.get()}) : Ref();
  Ref model_name =
      file_name ? call_method(file_name.get(), st.replace, {st.tar_xz, st.empty}) : Ref();
  Ref tar_xz_file = model_name ? os_path(fn, st.join, {save_dir.get(), file_name.get()}) : Ref();
  Ref model_dir = tar_xz_file ? os_path(fn, st.join, {save_dir.get(), model_name.get()}) : Ref();
  if (!model_dir) return Ref();
  Beside beside;
  if (!beside.init(save_dir.get(), tar_xz_file.get(), model_dir.get(), model_name.get())) {
    return Ref();
  }

  // A model directory without a journal is complete (one that an earlier
  // version of the SDK extracted included): returned at once, unlocked.
  if (is_dir(beside.model_dir) && !lexists(beside.journal)) {
    int is_dir = truth_of(os_path(fn, st.isdir, {model_dir.get()}));
    if (is_dir < 0) return Ref();
    if (is_dir) {
      if (!log_info(fn, concat({st.dir_exists, model_dir.get()}))) return Ref();
      return model_dir;
    }
  }

  double seconds;
  if (!wait_limit(fn, &seconds)) return Ref();
  FetchLock lock;
  FetchLock::Outcome locked = lock.acquire(beside.lock, seconds);
  if (locked == FetchLock::Error) return Ref();
  if (locked != FetchLock::Held) {
    return place_unlocked(fn, cloud_url, save_dir.get(), tar_xz_file.get(), model_dir.get(),
                          beside, locked == FetchLock::Unopenable);
  }
  return place_locked(fn, cloud_url, save_dir.get(), tar_xz_file.get(), model_dir.get(), beside);
}

// time.time() - st.time < DOWNLOAD_MODEL_TIMEOUT, the budget read afresh.
// `left`: the seconds that remain of it (0 when they cannot be told).
int within_budget(NativeFunction* fn, PyObject* start, double* left) {
  State& st = state_of(fn);
  Ref time = lookup(fn, st.time);
  Ref now = time ? call_method(time.get(), st.time, {}) : Ref();
  Ref elapsed = now ? Ref::steal(PyNumber_Subtract(now.get(), start)) : Ref();
  Ref budget = elapsed ? lookup(fn, st.DOWNLOAD_MODEL_TIMEOUT) : Ref();
  int within =
      truth_of(budget ? Ref::steal(PyObject_RichCompare(elapsed.get(), budget.get(), Py_LT))
                      : Ref());
  if (within == 1) {
    Ref remaining = Ref::steal(PyNumber_Subtract(budget.get(), elapsed.get()));
    *left = remaining ? PyFloat_AsDouble(remaining.get()) : -1;
    // Seconds that cannot be told are none: a waiting fetch then gives up
    // at once.
    if (*left == -1 && PyErr_Occurred() && !clear_expected()) return -1;
    if (*left < 0) *left = 0;
  }
  return within;
}

// Hands download_detection_model's remaining budget to the download_url it
// calls, for the life of the scope.
class BudgetScope {
 public:
  explicit BudgetScope(double left) : previous_(retry_budget()) { retry_budget() = left; }
  ~BudgetScope() { retry_budget() = previous_; }
  BudgetScope(const BudgetScope&) = delete;
  BudgetScope& operator=(const BudgetScope&) = delete;

 private:
  double previous_;
};

// time.sleep(1)
bool pause(NativeFunction* fn) {
  State& st = state_of(fn);
  Ref time = lookup(fn, st.time);
  Ref one = time ? Ref::steal(PyLong_FromLong(1)) : Ref();
  return one && call_method(time.get(), st.sleep, {one.get()});
}

enum class Attempt { Raised, Found, NotFound, Slept };

// The body of the retry loop's handler: download_url when there is a link,
// else a pause and straight on to the next attempt.
Attempt attempt(NativeFunction* fn, PyObject* model_url, Ref* model_dir, double left) {
  State& st = state_of(fn);
  int usable = truth(model_url);
  if (usable < 0) return Attempt::Raised;
  if (!usable) return pause(fn) ? Attempt::Slept : Attempt::Raised;
  BudgetScope budget(left);
  Ref download_url = lookup(fn, st.download_url);
  Ref result =
      download_url ? call_kw(download_url.get(), {model_url}, st.kw.cloud_url.get()) : Ref();
  if (!result) return Attempt::Raised;
  *model_dir = result;
  return result.get() != Py_None ? Attempt::Found : Attempt::NotFound;
}

}  // namespace

PyObject* download_url(NativeFunction* fn, PyObject* const* argv) {
  State& st = state_of(fn);
  PyObject* cloud_url = argv[0];
  Ref model_dir = place_model(fn, cloud_url);
  if (model_dir) return model_dir.release();
  Caught e;
  if (!e.take(PyExc_Exception)) return nullptr;
  if (!log_warning(fn, concat({st.download_failed, cloud_url, st.dash, e.text().get()}))) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* download_detection_model(NativeFunction* fn, PyObject* const* argv) {
  State& st = state_of(fn);
  PyObject* model_id = argv[0];
  Ref model_type = lookup(fn, st.MODEL_TYPE);
  Ref internal = model_type ? getattr(model_type.get(), st.INTERNAL) : Ref();
  Ref same = internal ? Ref::steal(PyObject_RichCompare(model_id, internal.get(), Py_EQ)) : Ref();
  int is_internal = truth_of(same);
  if (is_internal < 0) return nullptr;
  if (is_internal) return Ref::borrow(model_id).release();

  Ref time = lookup(fn, st.time);
  Ref start = time ? call_method(time.get(), st.time, {}) : Ref();
  if (!start) return nullptr;
  Ref model_dir = none();
  if (!log_info(fn, Ref::borrow(st.download_model))) return nullptr;

  for (;;) {
    double left = 0;
    int go_on = within_budget(fn, start.get(), &left);
    if (go_on < 0) return nullptr;
    if (!go_on) break;
    Ref get_model_url = lookup(fn, st.get_model_url);
    Ref model_url = get_model_url ? call(get_model_url.get(), {model_id}) : Ref();
    if (!model_url) return nullptr;
    Attempt outcome = attempt(fn, model_url.get(), &model_dir, left);
    if (outcome == Attempt::Found) return model_dir.release();
    if (outcome == Attempt::Slept) continue;
    if (outcome == Attempt::Raised) {
      Caught e;
      if (!e.take(PyExc_Exception)) return nullptr;
      if (!log_warning(fn, concat({st.model_failed, e.text().get()}))) return nullptr;
    }
    if (!pause(fn)) return nullptr;
  }
  return model_dir.release();
}

}  // namespace fetch
